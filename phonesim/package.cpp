#include "phonesim/package.h"

#include <algorithm>
#include <cstdio>

#include "phonesim/nv.h"

namespace phonesim {

namespace {

std::string hex_record(uint8_t type, uint16_t addr, const uint8_t* data, size_t n) {
    char buf[16];
    uint8_t sum = static_cast<uint8_t>(n + (addr >> 8) + (addr & 0xFF) + type);
    std::string s = ":";
    std::snprintf(buf, sizeof buf, "%02X%04X%02X", static_cast<unsigned>(n), addr, type);
    s += buf;
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", data[i]);
        s += buf;
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    std::snprintf(buf, sizeof buf, "%02X", static_cast<uint8_t>(-sum) & 0xFF);
    s += buf;
    s += "\r\n";
    return s;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

Bytes random_bytes(Rng& r, size_t n) {
    Bytes b(n);
    r.fill(b.data(), n);
    return b;
}

// A 40-byte image header: ten little-endian words describing the image that follows it.
Bytes image_header(uint32_t id, uint32_t dest, uint32_t size) {
    Bytes h;
    for (uint32_t w : {id, 3u, 0u, dest, size, size, dest + size, 0u, dest + size, 0u})
        put_le32(h, w);
    return h;
}

// A partition table well under the 512 bytes one packet carries.
Bytes partition_table() {
    static const char* names[] = {"0:QCSBL", "0:OEMSBL",   "0:AMSS",     "0:APPSBL",
                                  "0:APPS",  "0:RECOVERY", "0:MISC",     "0:SYSTEM",
                                  "0:CACHE", "0:PERSIST",  "0:USERDATA", "0:EFS2"};
    Bytes t;
    put_le32(t, 0x54505754); // "TWPT"
    put_le32(t, 0x00010003);
    put_le32(t, 3);
    put_le32(t, static_cast<uint32_t>(std::size(names)));
    uint32_t start = 0;
    for (size_t i = 0; i < std::size(names); ++i) {
        char name[16] = {};
        std::snprintf(name, sizeof name, "%s", names[i]);
        t.insert(t.end(), name, name + 16);
        uint32_t len =
            i + 1 == std::size(names) ? 0xFFFFFFFF : 8u * (1 + static_cast<uint32_t>(i % 5));
        put_le32(t, start);
        put_le32(t, len);
        put_le32(t, i == 2 ? 0x00FF0100u : 0x00FF0000u);
        start += len;
    }
    return t;
}

std::string bytes_text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

} // namespace

std::string make_intel_hex(const Bytes& data, uint32_t load, uint32_t start) {
    std::string out;
    out.reserve(data.size() * 3);
    uint32_t upper = 0xFFFFFFFF;
    for (size_t off = 0; off < data.size();) {
        uint32_t addr = load + static_cast<uint32_t>(off);
        if ((addr >> 16) != upper) {
            upper = addr >> 16;
            uint8_t u[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            out += hex_record(0x04, 0, u, 2);
        }
        // A record never crosses a 64 KiB boundary.
        size_t n =
            std::min<size_t>({size_t{16}, data.size() - off, size_t{0x10000} - (addr & 0xFFFF)});
        out += hex_record(0x00, static_cast<uint16_t>(addr & 0xFFFF), data.data() + off, n);
        off += n;
    }
    uint8_t s[4] = {static_cast<uint8_t>(start >> 24), static_cast<uint8_t>(start >> 16),
                    static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start)};
    out += hex_record(0x05, 0, s, 4);
    out += hex_record(0x01, 0, nullptr, 0);
    return out;
}

bool parse_intel_hex(std::string_view text, Bytes& data, uint32_t& load,
                     std::optional<uint32_t>& start, std::string& err) {
    struct Chunk {
        uint32_t addr;
        size_t off;
        size_t len;
    };
    std::vector<Chunk> chunks;
    Bytes pool;
    uint32_t base = 0;
    bool eof = false;
    start.reset();
    size_t pos = 0;
    int line_no = 0;
    while (pos < text.size() && !eof) {
        size_t nl = text.find('\n', pos);
        std::string_view line =
            text.substr(pos, nl == std::string_view::npos ? text.npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        ++line_no;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.remove_suffix(1);
        if (line.empty()) continue;
        auto fail = [&](const std::string& what) {
            err = "line " + std::to_string(line_no) + ": " + what;
            return false;
        };
        if (line[0] != ':' || line.size() < 11 || (line.size() - 1) % 2 != 0)
            return fail("not a HEX record");
        Bytes rec;
        for (size_t i = 1; i < line.size(); i += 2) {
            int hi = hexval(line[i]), lo = hexval(line[i + 1]);
            if (hi < 0 || lo < 0) return fail("bad hex digit");
            rec.push_back(static_cast<uint8_t>(hi << 4 | lo));
        }
        if (rec.size() != static_cast<size_t>(rec[0]) + 5) return fail("length mismatch");
        uint8_t sum = 0;
        for (uint8_t b : rec)
            sum = static_cast<uint8_t>(sum + b);
        if (sum != 0) return fail("checksum mismatch");
        uint8_t n = rec[0], type = rec[3];
        uint16_t off = be16(&rec[1]);
        const uint8_t* d = &rec[4];
        switch (type) {
        case 0x00:
            chunks.push_back({base + off, pool.size(), n});
            pool.insert(pool.end(), d, d + n);
            break;
        case 0x01:
            eof = true;
            break;
        case 0x02:
            if (n != 2) return fail("bad segment record");
            base = static_cast<uint32_t>(be16(d)) << 4;
            break;
        case 0x03:
            if (n != 4) return fail("bad start segment record");
            break;
        case 0x04:
            if (n != 2) return fail("bad linear address record");
            base = static_cast<uint32_t>(be16(d)) << 16;
            break;
        case 0x05:
            if (n != 4) return fail("bad start linear address record");
            start = be32(d);
            break;
        default:
            return fail("unknown record type");
        }
    }
    if (!eof) {
        err = "no end-of-file record";
        return false;
    }
    if (chunks.empty()) {
        err = "no data records";
        return false;
    }
    uint32_t lo = 0xFFFFFFFF;
    uint64_t hi = 0;
    for (const auto& c : chunks) {
        lo = std::min(lo, c.addr);
        hi = std::max<uint64_t>(hi, static_cast<uint64_t>(c.addr) + c.len);
    }
    if (hi - lo > (64u << 20)) {
        err = "data spans more than 64 MiB";
        return false;
    }
    data.assign(static_cast<size_t>(hi - lo), 0xFF);
    for (const auto& c : chunks)
        std::copy(pool.begin() + static_cast<long>(c.off),
                  pool.begin() + static_cast<long>(c.off + c.len), data.begin() + (c.addr - lo));
    load = lo;
    return true;
}

bool load_programmer(const std::string& path, Programmer& out, std::string& err) {
    std::string text;
    if (!read_text(path, text)) {
        err = path + ": cannot be read";
        return false;
    }
    std::optional<uint32_t> start;
    std::string why;
    if (!parse_intel_hex(text, out.bytes, out.load, start, why)) {
        err = path + ": " + why;
        return false;
    }
    out.start = start.value_or(out.load);
    size_t slash = path.rfind('/');
    out.file = slash == std::string::npos ? path : path.substr(slash + 1);
    return true;
}

bool load_programmers(const std::string& package_dir, std::vector<Programmer>& out,
                      std::string& err) {
    out.clear();
    for (const char* name : kProgrammerFiles) {
        Programmer p;
        std::string why;
        if (!load_programmer(package_dir + "/modem/" + name, p, why) &&
            !load_programmer(package_dir + "/" + name, p, why)) {
            err = why;
            return false;
        }
        out.push_back(std::move(p));
    }
    return true;
}

std::vector<std::string> package_paths() {
    std::vector<std::string> v;
    for (const char* f : kProgrammerFiles)
        v.push_back(std::string("modem/") + f);
    for (const char* f : kModemFiles)
        v.push_back(std::string("modem/") + f);
    for (const char* f : kAndroidFiles)
        v.push_back(std::string("android/") + f);
    v.push_back("ROMINFO.ini");
    v.push_back("NVFrom.txt");
    return v;
}

bool make_package(const std::string& dir, const PackageOptions& opt, std::string& err) {
    if (opt.android_mb < 1 || opt.android_mb > 256) {
        err = "--android-mb must be 1 to 256";
        return false;
    }
    if (!make_dirs(dir + "/modem") || !make_dirs(dir + "/android")) {
        err = dir + ": cannot create the package folders";
        return false;
    }
    Rng r(mix_seed(opt.seed, 0x9ACC));
    auto put = [&](const std::string& rel, std::string_view content) {
        if (write_file_atomic(dir + "/" + rel, content)) return true;
        err = dir + "/" + rel + ": cannot be written";
        return false;
    };

    const size_t prg_sizes[] = {80 * 1024 + 112, 96 * 1024 + 48};
    for (size_t i = 0; i < 2; ++i) {
        Bytes code = random_bytes(r, prg_sizes[i]);
        if (!put(std::string("modem/") + kProgrammerFiles[i],
                 make_intel_hex(code, kProgrammerLoad, kProgrammerStart)))
            return false;
    }

    struct Body {
        const char* header;
        const char* body;
        uint32_t id;
        uint32_t dest;
        size_t size;
    };
    const Body bodies[] = {{nullptr, "qcsbl.mbn", 0, 0, 48 * 1024 + 200},
                           {"oemsblhd.mbn", "oemsbl.mbn", 4, 0x00200000, 160 * 1024 + 24},
                           {"amsshd.mbn", "amss.mbn", 5, 0x00400000, 1024 * 1024 + 4000},
                           {"appsboothd.mbn", "appsboot.mbn", 10, 0x08000000, 128 * 1024 + 76}};
    // The configuration data block carries its own header at the front.
    {
        Bytes cfg = image_header(2, 0x00100000, 2008);
        Bytes rest = random_bytes(r, 2008);
        cfg.insert(cfg.end(), rest.begin(), rest.end());
        if (!put("modem/qcsblhd_cfgdata.mbn", bytes_text(cfg))) return false;
    }
    for (const auto& b : bodies) {
        Bytes body = random_bytes(r, b.size);
        if (b.header && !put(std::string("modem/") + b.header,
                             bytes_text(image_header(b.id, b.dest, static_cast<uint32_t>(b.size)))))
            return false;
        if (!put(std::string("modem/") + b.body, bytes_text(body))) return false;
    }
    if (!put("modem/partition.mbn", bytes_text(partition_table()))) return false;

    const size_t mb = static_cast<size_t>(opt.android_mb);
    const size_t android_sizes[] = {256 * 1024 * mb,  256 * 1024 * mb + 2048,
                                    1024 * 1024 * mb, 512 * 1024 * mb,
                                    128 * 1024 * mb,  128 * 1024 * mb + 4096};
    for (size_t i = 0; i < std::size(kAndroidFiles); ++i)
        if (!put(std::string("android/") + kAndroidFiles[i],
                 bytes_text(random_bytes(r, android_sizes[i]))))
            return false;

    std::string rominfo = "[Config]\r\nSW_Ver=TW7627A_SIM_V1." + std::to_string(opt.seed) +
                          "\r\nBrand=Tarnwell\r\nModel=SIM7627A\r\n";
    if (!put("ROMINFO.ini", rominfo)) return false;
    return put("NVFrom.txt", nvfrom_text());
}

} // namespace phonesim
