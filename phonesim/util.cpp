#include "phonesim/util.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace phonesim {

void Rng::fill(uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        uint64_t v = next();
        for (int k = 0; k < 8 && i < n; ++k, ++i)
            p[i] = static_cast<uint8_t>(v >> (8 * k));
    }
}

uint64_t mix_seed(uint64_t a, uint64_t b, uint64_t c) {
    Rng r(a * 0x100000001B3ull ^ (b + 0x51ED27ull) * 0x9E3779B97F4A7C15ull ^ (c << 17));
    r.next();
    return r.next();
}

std::string hex_string(const uint8_t* p, size_t n, size_t max) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    size_t shown = n < max ? n : max;
    s.reserve(shown * 3 + 4);
    for (size_t i = 0; i < shown; ++i) {
        if (i) s.push_back(' ');
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    if (shown < n) s += " ...";
    return s;
}

std::string hex_packed(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string s(n * 2, '0');
    for (size_t i = 0; i < n; ++i) {
        s[2 * i] = digits[p[i] >> 4];
        s[2 * i + 1] = digits[p[i] & 15];
    }
    return s;
}

namespace {
int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
} // namespace

bool parse_hex_bytes(std::string_view text, Bytes& out) {
    out.clear();
    int hi = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            if (hi >= 0) return false;
            continue;
        }
        int v = nibble(c);
        if (v < 0) return false;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return hi < 0;
}

bool write_file_atomic(const std::string& path, std::string_view content) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = dir + "/." + base + "." + std::to_string(::getpid()) + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool read_file(const std::string& path, Bytes& out) {
    out.clear();
    FILE* f = std::fopen(path.c_str(), "rbe");
    if (!f) return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool read_text(const std::string& path, std::string& out) {
    Bytes b;
    if (!read_file(path, b)) return false;
    out.assign(b.begin(), b.end());
    return true;
}

bool make_dirs(const std::string& path) {
    if (path.empty()) return false;
    std::string cur;
    size_t i = 0;
    while (i <= path.size()) {
        size_t next = path.find('/', i);
        if (next == std::string::npos) next = path.size();
        cur = path.substr(0, next);
        if (!cur.empty()) ::mkdir(cur.c_str(), 0755);
        i = next + 1;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace phonesim
