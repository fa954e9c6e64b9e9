// `emmc-download`: programs a phone whose eMMC shows as a disk, from the package's
// raw-programming description.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/command.h"
#include "cli/json.h"
#include "engine/emmc_download.h"
#include "engine/emmc_xml.h"
#include "engine/flashboot.h"
#include "platform/disk.h"

namespace {

// The callback is a plain function; the one command a process runs keeps its settings here.
std::atomic<bool> g_json{false};
std::atomic<bool> g_bar{false};
std::atomic<int> g_last{0}; // the last position reported

// The step that runs after a report at this position.
const char* StepAfter(int position) {
    switch (position) {
    case 60:
        return "SBL1";
    case 65:
        return "SBL2";
    case 70:
        return "RPM";
    case 75:
        return "SBL3";
    case 80:
        return "ABOOT";
    case 85:
        return "TZ";
    case 90:
        return "MBR0";
    case 91:
        return "EBR0";
    case 93:
        return "PATCH1";
    case 96:
        return "PATCH2";
    default:
        return "next";
    }
}

int OnProgress(Download* d) {
    if (!d) return 0;
    g_last = d->iProgress;
    if (g_json.load()) {
        cli::JsonLine l;
        l.str("event", "progress").num("position", d->iProgress);
        if (d->pStatus) l.str("status", d->pStatus);
        if (d->pText) l.str("disk", d->pText);
        l.print();
    } else if (g_bar.load()) {
        std::fprintf(stderr, "\r%3d%% %-44.44s", d->iProgress, d->pStatus ? d->pStatus : "");
        std::fflush(stderr);
    }
    return 0;
}

void EndBar() {
    if (g_bar.load()) std::fprintf(stderr, "\n");
}

// A regular file or a block device.
bool IsDisk(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

int Fail(const cli::Globals& g, int code, const std::string& why) {
    EndBar();
    if (g.json) {
        cli::JsonLine()
            .str("event", "result")
            .str("command", "emmc-download")
            .num("result", code)
            .str("error", why)
            .print();
    } else {
        std::cerr << "tarnwell-cli: emmc-download failed (result " << code << "): " << why << "\n";
    }
    return cli::kExitFailed;
}

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    cli::ParsedArgs pa;
    std::string error;
    if (!cli::parse_args(args, {{"--disk", "--package"}, {}}, pa, error))
        return cli::usage_error("emmc-download: " + error);
    if (!pa.positional.empty())
        return cli::usage_error("emmc-download: unexpected '" + pa.positional[0] + "'");
    const std::string disk = pa.get("--disk");
    const std::string package = pa.get("--package");
    if (disk.empty() || package.empty())
        return cli::usage_error("emmc-download: --disk PATH and --package DIR are required");
    std::error_code ec;
    if (!std::filesystem::is_directory(package, ec))
        return cli::usage_error("emmc-download: the package folder " + package + " does not exist");

    // Everything the plan needs is checked before the disk is opened.
    emmc::EmmcPlan plan;
    if (emmc::ReadEmmcPlan(package, plan, error) != emmc::XmlResult::Ok)
        return cli::usage_error("emmc-download: " + error);
    const auto missing = plan.MissingEntries();
    if (!missing.empty()) {
        std::string list;
        for (const auto& m : missing)
            list += (list.empty() ? "" : ", ") + m;
        return cli::usage_error("emmc-download: the package's raw-programming description "
                                "gives no " +
                                list);
    }
    XMLDATA record{};
    plan.Fill(record);
    for (const char* name : {record.SBL1_FileName, record.SBL2_FileName, record.RPM_FileName,
                             record.SBL3_FileName, record.ABOOT_FileName, record.TZ_FileName,
                             record.MBR0_FileName, record.EBR0_FileName, record.PATCH_FileName}) {
        const std::string path = emmc::SourcePath(package.c_str(), name);
        if (!std::filesystem::is_regular_file(path, ec))
            return cli::usage_error("emmc-download: the package has no " + path);
    }
    const std::string disk_file = tw::resolve_disk_path(disk);
    if (std::filesystem::is_directory(disk_file, ec))
        return cli::usage_error("emmc-download: --disk " + disk + " is a folder, not a disk");
    if (!IsDisk(disk_file)) return cli::usage_error("emmc-download: no disk at " + disk);
    // The whole plan against the disk, before a single sector is written.
    {
        tw::Disk probe;
        if (const int e = probe.open(disk); e != 0)
            return Fail(g, EMMC_DOWNLOAD_NO_DISK,
                        "the disk " + disk + " cannot be opened: " + std::strerror(e));
        if (!emmc::CheckPlan(package.c_str(), record, probe.size(), error))
            return cli::usage_error("emmc-download: " + disk + ": " + error + "; nothing written");
    }

    g_json = g.json;
    g_bar = !g.json && !g.quiet && ::isatty(STDERR_FILENO);
    emmc::SetMessageBox([&g](const char* text, const char* caption) {
        if (g.json) {
            cli::JsonLine()
                .str("event", "message")
                .str("caption", caption)
                .str("text", text)
                .print();
        } else {
            std::cerr << caption << ": " << text << "\n";
        }
    });

    Flashboot* module = CreateModuleForDiskDownload();
    if (!module) return Fail(g, -1, "no module could be created");
    Download status{};
    module->m_pDownload = &status;
    module->m_portNumber = -1;
    module->m_callbackfunc = OnProgress;
    const int r = module->EmmcDownloadMBNS(module, disk.c_str(), package.c_str(), &record);
    deleteModuleForDiskDownload(module);
    emmc::SetMessageBox(nullptr);

    if (r == EMMC_DOWNLOAD_NO_DISK) return Fail(g, r, "the disk " + disk + " cannot be opened");
    if (r != EMMC_DOWNLOAD_OK)
        return Fail(g, r,
                    std::string("the ") + StepAfter(g_last.load()) +
                        " step failed (TARNWELL_DEBUG=1 shows the engine's lines)");
    EndBar();
    if (g.json) {
        cli::JsonLine()
            .str("event", "result")
            .str("command", "emmc-download")
            .num("result", r)
            .str("disk", disk)
            .print();
    } else if (!g.quiet) {
        std::cout << "emmc-download: " << disk << " programmed from " << package << "\n";
    }
    return cli::kExitOk;
}

cli::CommandRegistrar reg({"emmc-download", "--disk PATH --package DIR",
                           "write the package's boot images, partition records and patches "
                           "straight to a phone's eMMC disk (an image file, a block device or a "
                           "disk's device interface path)",
                           run});

} // namespace
