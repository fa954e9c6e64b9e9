// `pack`: makes a merged container (ZQDE plain, ZQEN enciphered) from image files, so packages
// and tests can be built without the vendor's tools.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/json.h"
#include "engine/container_writer.h"
#include "engine/phase_image.h"

namespace {

int run(const cli::Globals& g, const std::vector<std::string>& args) {
    cli::ParsedArgs pa;
    std::string error;
    if (!cli::parse_args(args, {{"--kind", "--out"}, {}}, pa, error))
        return cli::usage_error("pack: " + error);
    const std::string kind_text = pa.get("--kind");
    int kind = 0;
    if (kind_text == "zqde") {
        kind = IMAGE_KIND_ZQDE;
    } else if (kind_text == "zqen") {
        kind = IMAGE_KIND_ZQEN;
    } else {
        return cli::usage_error("pack: --kind must be zqde or zqen");
    }
    const std::string out = pa.get("--out");
    if (out.empty()) return cli::usage_error("pack: --out FILE is required");
    if (ImageKind(out) != kind)
        return cli::usage_error(
            "pack: readers tell the kind from the extension: name the output ." + kind_text);
    if (pa.positional.empty()) return cli::usage_error("pack: give at least one ID=PATH");
    // Where the output goes is checked before any input is read.
    std::error_code ec;
    const std::filesystem::path out_path(out);
    const std::filesystem::path folder =
        out_path.has_parent_path() ? out_path.parent_path() : std::filesystem::path(".");
    if (std::filesystem::is_directory(out_path, ec))
        return cli::usage_error("pack: --out " + out + " is a folder; name the container file");
    if (!std::filesystem::is_directory(folder, ec))
        return cli::usage_error("pack: cannot write " + out + ": the folder " + folder.string() +
                                " does not exist");

    std::vector<ContainerSource> sources;
    for (const auto& item : pa.positional) {
        auto eq = item.find('=');
        long long id = -1;
        if (eq == std::string::npos || eq == 0 || eq + 1 == item.size())
            return cli::usage_error("pack: '" + item + "' is not ID=PATH");
        std::string id_text = item.substr(0, eq);
        bool ok = id_text.rfind("0x", 0) == 0 ? cli::parse_int(id_text.substr(2), id, 16)
                                              : cli::parse_int(id_text, id, 10);
        if (!ok || id < 0 || id > 255)
            return cli::usage_error("pack: entry id '" + id_text + "' is not a number 0..255");
        sources.push_back({static_cast<int>(id), item.substr(eq + 1), ""});
    }

    std::vector<ContainerEntryInfo> layout;
    int rc = WriteContainer(out, kind, sources, &layout, error);
    if (rc == PACK_BAD_INPUT) return cli::usage_error("pack: " + error);
    if (rc != PACK_OK) {
        if (g.json) {
            cli::JsonLine().str("event", "result").num("code", rc).str("error", error).print();
        } else {
            std::cerr << "tarnwell-cli: pack failed: " << error << "\n";
        }
        return cli::kExitFailed;
    }
    for (size_t i = 0; i < layout.size(); ++i) {
        const auto& e = layout[i];
        if (g.json) {
            cli::JsonLine()
                .str("event", "entry")
                .num("index", static_cast<long long>(i))
                .num("id", e.id)
                .num("offset", e.offset)
                .num("size", e.size)
                .str("name", e.name)
                .print();
        } else if (!g.quiet) {
            std::printf("entry %zu: id %d, offset 0x%08X, %u bytes, %s\n", i, e.id, e.offset,
                        e.size, e.name.c_str());
        }
    }
    if (g.json) {
        cli::JsonLine()
            .str("event", "result")
            .num("code", 0)
            .str("file", out)
            .num("entries", static_cast<long long>(layout.size()))
            .print();
    } else {
        std::printf("wrote %s (%s, %zu entries)\n", out.c_str(), kind_text.c_str(), layout.size());
    }
    return cli::kExitOk;
}

cli::CommandRegistrar reg({"pack", "--kind zqde|zqen --out FILE ID=PATH...",
                           "make a merged image container from files (ids 0..255)", run});

} // namespace
