#pragma once
// Intel HEX programmers turned into the raw ".bin" files the emergency download sends, and the
// start value the programmer is loaded and started at (its Start Linear Address record).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sondrel::hex {

// Result codes (0 is success).
constexpr int kHexOk = 0;
constexpr int kHexCannotRead = -1;  // the HEX file cannot be opened or read
constexpr int kHexBadRecord = -2;   // not a record: no ':', a non-hex character, a bad length
constexpr int kHexBadChecksum = -3; // the record's bytes do not sum to 0 modulo 256
constexpr int kHexBadType = -4;     // a record type above 5
constexpr int kHexNoStart = -5;     // no Start Linear Address record: no start value
constexpr int kHexNoData = -6;      // no data bytes at all
constexpr int kHexOverlap = -7;     // a data record below bytes already placed
constexpr int kHexTooLarge = -8;    // the image would exceed kMaxImageBytes
constexpr int kHexCannotWrite = -9; // the ".bin" file cannot be written
constexpr int kHexNoEnd = -10;      // no end-of-file record: the file may be cut short
constexpr int kHexSameFile = -11;   // the ".bin" would replace the input (it is no ".hex" file)

// A programmer larger than this is no programmer; the limit also bounds gap filling.
constexpr uint32_t kMaxImageBytes = 64u << 20;

struct HexImage {
    std::vector<uint8_t> bytes; // from the first data address on; gaps filled with 0xFF
    uint32_t load = 0;          // address of the first data byte
    uint32_t start = 0;         // Start Linear Address, when has_start
    bool has_start = false;
    bool has_end = false; // an end-of-file record was met
};

// Parses the records of an Intel HEX text, LF or CR LF line ends alike. Data records go to
// their addresses (extended segment and linear addresses applied); parsing stops at the
// end-of-file record, and text without one ends with its last line. On failure error says
// what and where ("line 12: ...").
int ParseIntelHex(std::string_view text, HexImage& out, std::string& error);

// The ".bin" beside a HEX file: its last three characters replaced by "bin".
std::string BinPathFor(const std::string& hexPath);

struct HexConversion {
    std::string bin_path;
    uint32_t start = 0; // the start value
    uint32_t load = 0;  // where the data begins
    uint32_t size = 0;  // bytes written
    std::string error;  // set on failure
};

// Converts hexPath into its ".bin" (written whole or not at all) and reads the start value.
// A file without a Start Linear Address record or without the end-of-file record is refused,
// and so is one whose ".bin" name is its own. Writes the debug line of success or
// failure.
int ConvertHexToBin(const std::string& hexPath, HexConversion& out);

// Only the start value of a HEX file (the whole file is checked as for a conversion).
int ReadHexStartValue(const std::string& hexPath, uint32_t& start, std::string& error);

// The start value from the file's Start Linear Address records alone (the last one before the
// end record), checked as a conversion checks them; other records are not decoded. For a HEX
// file already checked whole, when its .bin was made from it.
int ReadHexStartRecord(const std::string& hexPath, uint32_t& start, std::string& error);

} // namespace sondrel::hex
