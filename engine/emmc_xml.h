#pragma once
// Reads a package's raw-programming description ("rawprogram0.xml" and "patch0.xml") into the
// eMMC image plan, which then fills an XMLDATA record.
//
// Mapping, labels compared without regard to case, the first program of a label counting:
//   SBL1, SBL2, SBL3, RPM, ABOOT, TZ -> the program with that label
//   MBR0 -> the program labelled MBR; EBR0 -> the first program labelled EBR
//   patches -> the first two <patch> elements whose filename is not "DISK", in file order;
//     their file (both must name the same) is PATCH_FileName, byte_offset the byte offset,
//     start_sector the block index, and the disk sector is the start_sector of that file's
//     program plus the block index.
// A missing entry leaves its fields zero, as the station's cleared record has them.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/emmc_download.h"

namespace emmc {

constexpr char kRawProgramFile[] = "rawprogram0.xml";
constexpr char kPatchFile[] = "patch0.xml";

enum class XmlResult {
    Ok = 0,
    Missing,   // a file is absent or unreadable
    Malformed, // not well-formed, or an entry the plan uses is incomplete or contradictory
};

struct PlanImage {
    std::string filename;
    uint32_t start_sector = 0;
    bool found = false;
};

struct PlanPatch {
    uint32_t byte_offset = 0;
    uint32_t block_index = 0;
    uint32_t disk_start_sector = 0;
    bool found = false;
};

// What the package says. The XMLDATA it fills points into it, so it must outlive the record's
// use; it is neither copied nor moved for that reason.
class EmmcPlan {
  public:
    EmmcPlan() = default;
    EmmcPlan(const EmmcPlan&) = delete;
    EmmcPlan& operator=(const EmmcPlan&) = delete;

    PlanImage sbl1, sbl2, sbl3, rpm, aboot, tz, mbr0, ebr0;
    std::string patch_filename;
    PlanPatch patch1, patch2;

    // Sets every name, sector and patch field of the record (reserved fields untouched).
    // Names of missing entries are null.
    void Fill(XMLDATA& record) const;
    // Names of the entries the package did not give ("SBL2", "PATCH2", ...), in plan order.
    std::vector<std::string> MissingEntries() const;
    void Clear();
};

// Reads both files from the folder into plan. On failure plan is cleared and error says what
// and where, e.g. "patch0.xml: <patch> 2 has byte_offset 510, above 508".
XmlResult ReadEmmcPlan(const std::string& folder, EmmcPlan& plan, std::string& error);
// The same from the two documents' text (tests, and callers that hold the files already).
XmlResult ParseEmmcPlan(const std::string& rawprogram_xml, const std::string& patch_xml,
                        EmmcPlan& plan, std::string& error);

// A number of the description: decimal digits with an optional '.' at the end ("8193."),
// surrounding blanks allowed. False for anything else or a value above 32 bits.
bool ParseXmlNumber(const char* text, uint32_t& out);

} // namespace emmc
