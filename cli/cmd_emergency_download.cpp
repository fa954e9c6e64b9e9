// `emergency-download`: a phone's QDLoader port gets the package's programmer over DMSS and the
// modem images over the streaming protocol. The HEX programmer is converted to its ".bin" first
// when that is missing or older; the start value comes from the HEX file (from its start record
// alone when the .bin is up to date) unless --address.
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <unistd.h>

#include "cli/qcn_cli.h"
#include "engine/hex_convert.h"

namespace fs = std::filesystem;

namespace {

std::atomic<bool> g_json{false};
std::atomic<bool> g_bar{false};
std::atomic<bool> g_lines{false};
std::mutex g_last_lock;
std::string g_last_status; // lines mode: a status is printed once, not for every packet

int OnProgress(Download* d) {
    if (!d) return 0;
    const char* status = d->pStatus ? d->pStatus : "";
    if (g_json.load()) {
        cli::JsonLine()
            .str("event", "progress")
            .num("position", d->iProgress)
            .num("port", d->iPortNumber)
            .str("status", status)
            .print();
    } else if (g_bar.load()) {
        std::fprintf(stderr, "\r%3d%% %-48.48s", d->iProgress, status);
        std::fflush(stderr);
    } else if (g_lines.load()) {
        std::lock_guard<std::mutex> l(g_last_lock);
        if (g_last_status != status) {
            g_last_status = status;
            std::fprintf(stderr, "%3d%% %s\n", d->iProgress, status);
        }
    }
    return 0;
}

std::string Hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

bool ParseAddress(std::string s, uint32_t& out) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
    if (s.empty() || s.size() > 8) return false;
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    out = static_cast<uint32_t>(std::stoul(s, nullptr, 16));
    return true;
}

// True when the .bin is missing or older than the HEX file.
bool NeedsConversion(const std::string& hex, const std::string& bin) {
    std::error_code ec1, ec2;
    if (!fs::exists(bin, ec1)) return true;
    const auto tb = fs::last_write_time(bin, ec1), th = fs::last_write_time(hex, ec2);
    return ec1 || ec2 || tb < th;
}

// The modem files the upload sends, each found the way the engine finds it, and the header
// it announces each of the last three with (from the image's own folder). "" when all are
// there and none is empty; otherwise what is wrong. Checked before the port is opened.
std::string CheckModemFiles(const std::string& package) {
    static const char* const kImages[] = {"partition.mbn", "qcsblhd_cfgdata.mbn",
                                          "qcsbl.mbn",     "oemsbl.mbn",
                                          "amss.mbn",      "appsboot.mbn"};
    auto usable = [](const std::string& path) -> std::string {
        std::error_code ec;
        if (!fs::is_regular_file(path, ec)) return path + " is not a file";
        if (fs::file_size(path, ec) == 0 || ec) return path + " is empty";
        return "";
    };
    for (const char* name : kImages) {
        std::string path;
        Flashboot::FindFileInTree(package.c_str(), name, path);
        if (path.empty() || fs::path(path).filename() != name)
            return std::string("the package holds no ") + name +
                   (path.empty() ? "" : " (only " + path + ")");
        if (std::string why = usable(path); !why.empty()) return why;
        const std::string n = name;
        const char* header = n == "oemsbl.mbn"     ? "oemsblhd.mbn"
                             : n == "amss.mbn"     ? "amsshd.mbn"
                             : n == "appsboot.mbn" ? "appsboothd.mbn"
                                                   : nullptr;
        if (!header) continue;
        const std::string hpath = (fs::path(path).parent_path() / header).string();
        if (!fs::exists(hpath)) return hpath + " is missing: " + name + " is announced with it";
        if (std::string why = usable(hpath); !why.empty()) return why;
    }
    return "";
}

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    const char* cmd = "emergency-download";
    cli::ParsedArgs pa;
    std::string error;
    if (!cli::parse_args(args, {{"--port", "--package", "--programmer", "--address"}, {}}, pa,
                         error))
        return cli::usage_error(std::string(cmd) + ": " + error);
    if (!pa.positional.empty())
        return cli::usage_error(std::string(cmd) + ": unexpected '" + pa.positional[0] + "'");
    int port = 0, code = 0;
    if (!cli::qcn::PortOf(pa, cmd, port, code)) return code;
    const std::string package = pa.get("--package");
    std::error_code ec;
    if (package.empty() || !fs::is_directory(package, ec))
        return cli::usage_error(std::string(cmd) + ": --package DIR must name a folder");
    const std::string which = pa.get("--programmer", "nprg");
    if (which != "nprg" && which != "enprg")
        return cli::usage_error(std::string(cmd) + ": --programmer is nprg or enprg");
    const int selector = which == "nprg" ? 1 : 0;
    uint32_t address = 0;
    const bool given = pa.has("--address");
    if (given && !ParseAddress(pa.get("--address"), address))
        return cli::usage_error(std::string(cmd) + ": --address needs a 32-bit hexadecimal value");

    // The same search the engine makes, so the file converted is the file it sends.
    const char* name = selector ? "NPRG7627A.hex" : "ENPRG7627A.hex";
    std::string hex;
    Flashboot::FindFileInTree(package.c_str(), name, hex);
    // The search takes a name that only contains the one sought ("ENPRG7627A.hex" for
    // "NPRG7627A.hex") when the package lacks it: the other programmer is not the one asked for.
    if (hex.empty() || fs::path(hex).filename() != name)
        return cli::usage_error(std::string(cmd) + ": the package holds no " + name +
                                (hex.empty() ? "" : " (only " + hex + ")"));
    if (const std::string why = CheckModemFiles(package); !why.empty())
        return cli::usage_error(std::string(cmd) + ": " + why + "; the phone was not touched");
    const std::string bin = sondrel::hex::BinPathFor(hex);
    uint32_t start = 0;
    int r = 0;
    std::string why;
    bool converted = false;
    if (NeedsConversion(hex, bin)) {
        sondrel::hex::HexConversion conv;
        r = sondrel::hex::ConvertHexToBin(hex, conv);
        start = conv.start;
        why = conv.error;
        converted = r == sondrel::hex::kHexOk;
    } else {
        // The HEX file was checked whole when its .bin was made from it; its start record is
        // all that is needed now.
        r = sondrel::hex::ReadHexStartRecord(hex, start, why);
    }
    if (r != sondrel::hex::kHexOk) {
        if (r == sondrel::hex::kHexCannotWrite) return cli::qcn::Failed(g, cmd, r, why);
        return cli::usage_error(std::string(cmd) + ": " + why);
    }
    if (!given) address = start;
    if (g.json)
        cli::JsonLine()
            .str("event", "programmer")
            .str("hex", hex)
            .str("bin", bin)
            .boolean("converted", converted)
            .str("address", Hex32(address))
            .print();

    cli::qcn::Module m(g, port);
    if (!m.Opened(g, cmd, port)) return cli::kExitFailed;
    g_json = g.json;
    g_bar = !g.json && !g.quiet && ::isatty(STDERR_FILENO);
    g_lines = !g.json && !g.quiet && !g_bar.load();
    Flashboot* module = m.get();
    module->m_callbackfunc = OnProgress;
    std::string folder = package;
    const int result = module->Emergency_Download_Kestrin(module, folder.data(), address, selector);
    if (g_bar.load()) std::fprintf(stderr, "\n");
    if (result != 0) {
        return cli::qcn::Failed(g, cmd, result,
                                "the emergency download failed (last protocol code " +
                                    std::to_string(module->LastError()) + ")");
    }
    if (g.json) {
        cli::JsonLine()
            .str("event", "result")
            .str("command", cmd)
            .num("result", 0)
            .num("port", port)
            .str("address", Hex32(address))
            .print();
    } else if (!g.quiet) {
        std::cerr << "emergency download done; the phone was told to reset\n";
    }
    return cli::kExitOk;
}

cli::CommandRegistrar reg({"emergency-download",
                           "--port N --package DIR [--programmer nprg|enprg] [--address HEX]",
                           "write the programmer and the modem images to a phone on its "
                           "QDLoader port",
                           run});

} // namespace
