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
        DebugLine("\n  Convert HEX file To Bin file Failed!\n");
        DebugLine("%s: %s", path.c_str(), conv.error.c_str());
        ui.MessageBox(Tr(Text::UpdateFailedBilingual, lang), kCaption, MessageIcon::Error);
        return false;
    }
    DebugLine("\n  Convert HEX file To Bin file Successfully!\n");
    start = conv.start;
    return true;
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
    }
    return true;
}

std::shared_ptr<Software> PrepareSoftware(const std::string& folder, StationUi& ui, Language lang) {
    auto sw = std::make_shared<Software>();
    sw->folder = folder;
    sw->rom = ReadRomInfo(FindRomInfo(folder));
    if (!CheckModemFiles(folder, ui, lang)) return nullptr;
    if (!PrepareProgrammer(folder, kEnprgFile, sw->enprg_start, ui, lang)) return nullptr;
    // The cycle sends this one; a package whose second programmer does not convert cannot
    // update any phone, so the preparation fails here rather than at every phone.
    if (!PrepareProgrammer(folder, kNprgFile, sw->nprg_start, ui, lang)) return nullptr;
    sw->nprg_ready = true;
    if (!sw->images.LoadFrom(folder, ui)) return nullptr;
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
