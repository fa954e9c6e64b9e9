#include "station/software.h"

#include <cstdio>
#include <filesystem>

#include "engine/flashboot.h"
#include "engine/hex_convert.h"
#include "fastboot/fastboot.h"
#include "platform/clock.h"
#include "station/debug_line.h"

namespace fs = std::filesystem;

namespace tw::station {

namespace {

constexpr int kOpenAttempts = 30;

// The HEX programmer the engine will send: found the way the engine finds it.
std::string ProgrammerPath(const std::string& folder, const char* name) {
    std::string path;
    Flashboot::FindFileInTree(folder.c_str(), name, path);
    return path;
}

bool Openable(const std::string& path) {
    for (int i = 0; i < kOpenAttempts; ++i) {
        if (FILE* f = std::fopen(path.c_str(), "rb")) {
            std::fclose(f);
            return true;
        }
        if (path.empty()) break;
    }
    return false;
}

// The failed conversion's box: the station's own text, then which file and why.
void ConversionFailed(const std::string& why, StationUi& ui, Language lang) {
    DebugLine("\n  Convert HEX file To Bin file Failed!\n");
    DebugLine("%s", why.c_str());
    ui.MessageBox(std::string(Tr(Text::UpdateFailedBilingual, lang)) + "\n" + why, kCaption,
                  MessageIcon::Error);
}

// Reads a programmer whole without writing anything: false (its box shown) when it cannot be
// opened or is not a valid programmer.
bool CheckProgrammer(const std::string& folder, const char* name, StationUi& ui, Language lang) {
    const std::string path = ProgrammerPath(folder, name);
    if (!Openable(path)) {
        ui.MessageBox(Tr(Text::CanNotOpenDisk, lang), kCaption, MessageIcon::Error);
        return false;
    }
    uint32_t start = 0;
    std::string why;
    if (sondrel::hex::ReadHexStartValue(path, start, why) != sondrel::hex::kHexOk) {
        ConversionFailed(why, ui, lang);
        return false;
    }
    return true;
}

// Converts one programmer to its ".bin" and reads its start value.
bool PrepareProgrammer(const std::string& folder, const char* name, uint32_t& start, StationUi& ui,
                       Language lang) {
    const std::string path = ProgrammerPath(folder, name);
    if (!Openable(path)) {
        ui.MessageBox(Tr(Text::CanNotOpenDisk, lang), kCaption, MessageIcon::Error);
        return false;
    }
    sondrel::hex::HexConversion conv;
    if (sondrel::hex::ConvertHexToBin(path, conv) != sondrel::hex::kHexOk) {
        ConversionFailed(conv.error, ui, lang);
        return false;
    }
    DebugLine("\n  Convert HEX file To Bin file Successfully!\n");
    start = conv.start;
    return true;
}

// A file of the package with nothing in it cannot be sent to a phone.
bool NotEmpty(const std::string& path, uint64_t size, StationUi& ui, Language lang) {
    if (size > 0) return true;
    ui.MessageBox(std::string(Tr(Text::FileEmpty, lang)) + path, kCaption, MessageIcon::Error);
    return false;
}

} // namespace

std::string NvListFolder(const std::string& package, const std::string& station_root) {
    const std::string found = package.empty() ? "" : FindFileByName(package, kNvListFile);
    if (!found.empty()) return fs::path(found).parent_path().string() + "/";
    return station_root;
}

bool CheckModemFiles(const std::string& folder, StationUi& ui, Language lang) {
    for (const char* name : kModemFiles) {
        const std::string path = FindFileByName(folder, name);
        if (path.empty()) {
            ui.MessageBox(std::string(Tr(Text::CantFindFile, lang)) + name, kCaption,
                          MessageIcon::Error);
            return false;
        }
        // A test load: the file must be readable as a whole, with the library's own boxes.
        ImageTable probe;
        if (!probe.LoadImage(path, kBoot, ui)) return false;
        if (!NotEmpty(path, probe.images()[kBoot].size, ui, lang)) return false;
    }
    return true;
}

std::shared_ptr<Software> PrepareSoftware(const std::string& folder, StationUi& ui, Language lang) {
    auto sw = std::make_shared<Software>();
    sw->folder = folder;
    sw->rom = ReadRomInfo(FindRomInfo(folder));
    if (!CheckModemFiles(folder, ui, lang)) return nullptr;
    // Both programmers are read before either ".bin" is written: a package refused here leaves
    // no file behind.
    if (!CheckProgrammer(folder, kEnprgFile, ui, lang) ||
        !CheckProgrammer(folder, kNprgFile, ui, lang))
        return nullptr;
    if (!PrepareProgrammer(folder, kEnprgFile, sw->enprg_start, ui, lang)) return nullptr;
    // The cycle sends this one; a package whose second programmer does not convert cannot
    // update any phone, so the preparation fails here rather than at every phone.
    if (!PrepareProgrammer(folder, kNprgFile, sw->nprg_start, ui, lang)) return nullptr;
    sw->nprg_ready = true;
    if (!sw->images.LoadFrom(folder, ui)) return nullptr;
    for (ImageEntry e : kLoadOrder)
        if (!NotEmpty(FindFileByName(folder, kImageSpecs[e].file),
                      sw->images.images()[static_cast<size_t>(e)].size, ui, lang))
            return nullptr;
    const std::string boot = FindFileByName(folder, kImageSpecs[kBoot].file);
    sw->images_folder = fs::path(boot).parent_path().string();
    // The raw-programming plan is optional: a package without one simply has no eMMC stage.
    std::string why;
    if (emmc::ReadEmmcPlan(folder, sw->plan, why) == emmc::XmlResult::Ok)
        sw->plan.Fill(sw->xml);
    else
        DebugLine("no raw-programming plan in %s: %s", folder.c_str(), why.c_str());
    return sw;
}

} // namespace tw::station
