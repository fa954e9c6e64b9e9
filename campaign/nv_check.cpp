#include "campaign/nv_check.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "phonesim/nv.h"

namespace campaign {

namespace {

bool HexByte(const char* p, uint8_t& out) {
    unsigned v = 0;
    for (int i = 0; i < 2; ++i) {
        const char c = p[i];
        const int d = (c >= '0' && c <= '9')   ? c - '0'
                      : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                      : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                               : -1;
        if (d < 0) return false;
        v = v * 16 + static_cast<unsigned>(d);
    }
    out = static_cast<uint8_t>(v);
    return true;
}

} // namespace

NvImage ParseNvText(const std::string& text) {
    NvImage out;
    std::istringstream in(text);
    int ctx = 0, item = 0;
    std::string act, rw, hex;
    while (in >> ctx >> item >> act >> rw >> hex) {
        NvItem it;
        it.active = act == "active";
        for (size_t i = 0; i < it.data.size() && 2 * i + 1 < hex.size(); ++i)
            HexByte(hex.c_str() + 2 * i, it.data[i]);
        out[{ctx, item}] = it;
    }
    return out;
}

NvValues BackupOf(const NvImage& nv) {
    static const std::set<NvKey> listed = [] {
        std::set<NvKey> s;
        for (const auto& e : phonesim::nv_catalog())
            if (e.listed) s.insert({e.context, e.item});
        return s;
    }();
    NvValues v;
    for (const auto& [key, it] : nv)
        if (it.active && listed.count(key)) v[key] = it.data;
    return v;
}

bool ImeiReadable(const NvImage& nv) {
    auto it = nv.find({0, phonesim::kNvImeiItem});
    if (it == nv.end() || !it->second.active) return false;
    for (uint8_t b : it->second.data)
        if (b) return true;
    return false;
}

std::optional<NvValues> ReadQcnText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string line;
    auto next = [&]() {
        if (!std::getline(in, line)) return false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    };
    if (!next() || line != "NV Items:") return std::nullopt;
    NvValues out;
    while (next()) {
        if (line.empty()) continue;
        int item = -1, ctx = 0;
        char tail[16] = {};
        if (std::sscanf(line.c_str(), "NV item (SIM 1): %d %15s", &item, tail) == 2)
            ctx = 1;
        else if (std::sscanf(line.c_str(), "NV item: %d %15s", &item, tail) != 2)
            return std::nullopt;
        if (std::strcmp(tail, "index") != 0 || item < 0 || item > 0xFFFF) return std::nullopt;
        NvData d{};
        for (int row = 0; row < 8; ++row) {
            const std::string want = std::to_string(row) + ": ";
            if (!next() || line.rfind(want, 0) != 0 || line.size() != want.size() + 16 * 3 - 1)
                return std::nullopt;
            for (int i = 0; i < 16; ++i) {
                const char* p = line.c_str() + want.size() + 3 * i;
                if ((i < 15 && p[2] != ' ') || !HexByte(p, d[static_cast<size_t>(row * 16 + i)]))
                    return std::nullopt;
            }
        }
        if (!out.emplace(NvKey{ctx, item}, d).second) return std::nullopt; // an item twice
    }
    return out;
}

} // namespace campaign
