#pragma once
// Software preparation: before a slot can run, the chosen package is checked once: its eleven
// modem files found (and test-loaded), the two HEX programmers converted to ".bin" files with
// their start values read, the package description read and the six Android images loaded. The
// result is one immutable `Software` that every slot started from it shares; a later
// preparation makes a new one, so slots still running keep the images they started with.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/emmc_download.h"
#include "engine/emmc_xml.h"
#include "station/config.h"
#include "station/fastboot_flash.h"
#include "station/station_ui.h"

namespace tw::station {

// In the order they are checked.
inline constexpr const char* kModemFiles[] = {
    "ENPRG7627A.hex", "NPRG7627A.hex",       "amsshd.mbn",    "amss.mbn",
    "oemsblhd.mbn",   "oemsbl.mbn",          "partition.mbn", "appsboothd.mbn",
    "appsboot.mbn",   "qcsblhd_cfgdata.mbn", "qcsbl.mbn"};
inline constexpr const char* kEnprgFile = "ENPRG7627A.hex";
inline constexpr const char* kNprgFile = "NPRG7627A.hex";
inline constexpr const char* kNvListFile = "NVFrom.txt";

struct Software {
    std::string folder; // as stored under "PhoneSoftwarePathName"
    RomInfo rom;
    uint32_t enprg_start = 0; // start values of the two programmers
    uint32_t nprg_start = 0;
    bool nprg_ready = false; // the second conversion succeeded
    ImageTable images;
    std::string images_folder; // where boot's image was found
    // The raw-programming plan when the package has one; the record points into it.
    emmc::EmmcPlan plan;
    XMLDATA xml{};
    bool loaded() const { return images.loaded() && nprg_ready; }
};

// Where the backup reads its item list: the package's own "NVFrom.txt" when it has one, else
// the station folder's. With a trailing '/'.
std::string NvListFolder(const std::string& package, const std::string& station_root);

// Each modem file found by name in folder or below and test-loaded; the first one missing or
// unreadable shows its box ("Can't find file: <name>") and ends the check with false.
bool CheckModemFiles(const std::string& folder, StationUi& ui, Language lang);

// The whole preparation of folder (after the caller stored the paths): modem files, both
// programmers, the description and the images. Null when a step failed (its box shown).
std::shared_ptr<Software> PrepareSoftware(const std::string& folder, StationUi& ui, Language lang);

} // namespace tw::station
