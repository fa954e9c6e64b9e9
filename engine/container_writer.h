#pragma once
// Writes merged container files (ZQDE, ZQEN), the inverse of CPhaseImage, so packages and
// tests can be made. Entries go in the order given, their data packed one after another
// from 0x4000; a ZQEN file is enciphered whole, header included, with its final length.
#include <cstdint>
#include <string>
#include <vector>

struct ContainerSource {
    int id = 0;       // 0..255
    std::string path; // file whose bytes become the entry
    std::string name; // entry name; empty: the file's base name
};

struct ContainerEntryInfo {
    int id = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
    std::string name;
};

constexpr int PACK_OK = 0;
constexpr int PACK_BAD_INPUT = -1; // refused before anything was written (message says why)
constexpr int PACK_IO_ERROR = -2;  // reading a source or writing the output failed

// kind is IMAGE_KIND_ZQDE or IMAGE_KIND_ZQEN. The file appears whole or not at all (written
// to a temporary file beside it, then renamed). Refused: more than 48 entries, an id outside
// 0..255 or given twice, id 1 or 2 anywhere but the third entry (the reader maps both ids to
// the third entry), a name of 245 bytes or more, a file that would reach 4 GiB.
int WriteContainer(const std::string& outPath, int kind,
                   const std::vector<ContainerSource>& entries,
                   std::vector<ContainerEntryInfo>* layout, std::string& error);
