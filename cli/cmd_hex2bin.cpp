// `hex2bin`: turns an Intel HEX programmer into the raw ".bin" beside it and prints its start
// value, as the station does when a software package is selected.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "cli/command.h"
#include "cli/json.h"
#include "engine/hex_convert.h"

namespace {

std::string Hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    cli::ParsedArgs pa;
    std::string error;
    if (!cli::parse_args(args, {{}, {}}, pa, error)) return cli::usage_error("hex2bin: " + error);
    if (pa.positional.size() != 1) return cli::usage_error("hex2bin: give one FILE.hex");
    const std::string hex = pa.positional[0];
    std::error_code ec;
    if (std::filesystem::is_directory(hex, ec))
        return cli::usage_error("hex2bin: " + hex + " is a folder, not a HEX file");
    if (!std::filesystem::is_regular_file(hex, ec))
        return cli::usage_error("hex2bin: there is no file " + hex);

    sondrel::hex::HexConversion out;
    const int r = sondrel::hex::ConvertHexToBin(hex, out);
    if (r != sondrel::hex::kHexOk) {
        // A file that is no valid programmer is bad input; only a failed write is a failure.
        const bool input = r != sondrel::hex::kHexCannotWrite;
        if (g.json) {
            cli::JsonLine()
                .str("event", "result")
                .str("command", "hex2bin")
                .num("result", r)
                .str("error", out.error)
                .print();
        } else {
            std::cerr << "tarnwell-cli: hex2bin: " << out.error << "\n";
        }
        return input ? cli::kExitUsage : cli::kExitFailed;
    }
    if (g.json) {
        cli::JsonLine()
            .str("event", "result")
            .str("command", "hex2bin")
            .num("result", 0)
            .str("bin", out.bin_path)
            .str("start", Hex32(out.start))
            .num("start_value", out.start)
            .str("load", Hex32(out.load))
            .num("size", out.size)
            .print();
        return cli::kExitOk;
    }
    std::cout << Hex32(out.start) << "\n";
    if (!g.quiet) std::cerr << out.bin_path << ": " << out.size << " bytes\n";
    if (!g.quiet && out.load != out.start)
        std::cerr << "note: the data begins at " << Hex32(out.load) << ", not at the start value\n";
    return cli::kExitOk;
}

cli::CommandRegistrar reg({"hex2bin", "FILE.hex",
                           "write the raw .bin beside an Intel HEX programmer; prints its start "
                           "value",
                           run});

} // namespace
