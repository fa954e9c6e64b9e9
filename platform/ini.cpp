#include "platform/ini.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::ini {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (is_blank(s.front()) || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (is_blank(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// A value wrapped in one pair of matching quotes reads without them.
std::string_view unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

bool has_any(std::string_view s, std::string_view chars) {
    return s.find_first_of(chars) != std::string_view::npos;
}

// Cuts n bytes of s back to the start of a UTF-8 character.
size_t utf8_cut(std::string_view s, size_t n) {
    if (n >= s.size()) return s.size();
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
        --n;
    return n;
}

bool read_file(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            out.clear();
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Read-modify-write of one file must not interleave with another in this process.
std::mutex& write_mutex() {
    static std::mutex m;
    return m;
}

bool valid_section(std::string_view s) {
    return !has_any(s, std::string_view("\r\n]\0", 4));
}

bool valid_key(std::string_view k) {
    std::string_view t = trim(k);
    return !t.empty() && t.front() != '[' && t.front() != ';' &&
           !has_any(k, std::string_view("\r\n=\0", 4));
}

bool valid_value(std::string_view v) {
    return !has_any(v, std::string_view("\r\n\0", 3));
}

template <class Change> bool modify(const std::string& file, Change change) {
    std::lock_guard<std::mutex> g(write_mutex());
    Document doc;
    std::string text;
    if (read_file(file, text)) doc = Document::parse(text);
    bool changed = false;
    if (!change(doc, changed)) return false;
    if (!changed) return true;
    return write_file_atomic(file, doc.text());
}

} // namespace

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

Document Document::parse(std::string_view text) {
    Document d;
    if (text.substr(0, kBom.size()) == kBom) {
        d.bom_ = true;
        text.remove_prefix(kBom.size());
    }
    size_t nl = text.find('\n');
    if (nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r') d.eol_ = "\r\n";
    d.last_has_eol_ = text.empty() || text.back() == '\n';
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        // The line's own end, whole: a last line without one keeps none.
        const char* eol = "";
        if (end != std::string_view::npos) {
            eol = "\n";
            if (!raw.empty() && raw.back() == '\r') {
                raw.remove_suffix(1);
                eol = "\r\n";
            }
        }
        Line line;
        line.eol = eol;
        line.raw = std::string(raw);
        std::string_view t = trim(raw);
        if (!t.empty() && t.front() == '[') {
            line.kind = Line::Section;
            std::string_view name = t.substr(1);
            size_t close = name.find(']');
            if (close != std::string_view::npos) name = name.substr(0, close);
            line.name = std::string(trim(name));
        } else if (!t.empty() && t.front() != ';' && t.find('=') != std::string_view::npos) {
            size_t eq = t.find('=');
            line.kind = Line::Key;
            line.name = std::string(trim(t.substr(0, eq)));
            line.value = std::string(unquote(trim(t.substr(eq + 1))));
        }
        d.lines_.push_back(std::move(line));
    }
    return d;
}

bool Document::load(const std::string& path, Document& out) {
    std::string text;
    if (!read_file(path, text)) {
        out = Document();
        return false;
    }
    out = parse(text);
    return true;
}

size_t Document::find_section(std::string_view section) const {
    section = trim(section);
    for (size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Line::Section && iequals(lines_[i].name, section)) return i;
    return std::string::npos;
}

size_t Document::section_end(size_t h) const {
    size_t i = h + 1;
    while (i < lines_.size() && lines_[i].kind != Line::Section)
        ++i;
    return i;
}

size_t Document::find_key(size_t h, std::string_view key) const {
    key = trim(key);
    size_t end = section_end(h);
    for (size_t i = h + 1; i < end; ++i)
        if (lines_[i].kind == Line::Key && iequals(lines_[i].name, key)) return i;
    return std::string::npos;
}

std::optional<std::string> Document::get(std::string_view section, std::string_view key) const {
    size_t h = find_section(section);
    if (h == std::string::npos) return std::nullopt;
    size_t k = find_key(h, key);
    if (k == std::string::npos) return std::nullopt;
    return lines_[k].value;
}

bool Document::has_section(std::string_view section) const {
    return find_section(section) != std::string::npos;
}

std::vector<std::string> Document::sections() const {
    std::vector<std::string> v;
    for (const auto& l : lines_) {
        if (l.kind != Line::Section) continue;
        bool seen = false;
        for (const auto& s : v)
            seen = seen || iequals(s, l.name);
        if (!seen) v.push_back(l.name);
    }
    return v;
}

std::vector<std::string> Document::keys(std::string_view section) const {
    std::vector<std::string> v;
    size_t h = find_section(section);
    if (h == std::string::npos) return v;
    size_t end = section_end(h);
    for (size_t i = h + 1; i < end; ++i) {
        if (lines_[i].kind != Line::Key) continue;
        bool seen = false;
        for (const auto& s : v)
            seen = seen || iequals(s, lines_[i].name);
        if (!seen) v.push_back(lines_[i].name);
    }
    return v;
}

bool Document::set(std::string_view section, std::string_view key, std::string_view value) {
    if (!valid_section(section) || !valid_key(key) || !valid_value(value)) return false;
    auto key_line = [&](std::string_view name) {
        Line l;
        l.kind = Line::Key;
        l.name = std::string(trim(name));
        l.raw = l.name + "=" + std::string(value);
        l.value = std::string(unquote(trim(value)));
        return l;
    };
    size_t h = find_section(section);
    if (h == std::string::npos) {
        Line s;
        s.kind = Line::Section;
        s.name = std::string(trim(section));
        s.raw = "[" + s.name + "]";
        lines_.push_back(std::move(s));
        lines_.push_back(key_line(key));
        return true;
    }
    size_t k = find_key(h, key);
    if (k != std::string::npos) {
        std::string eol = std::move(lines_[k].eol);
        lines_[k] = key_line(lines_[k].name); // keep the spelling already in the file
        lines_[k].eol = std::move(eol);
        return true;
    }
    // After the section's last key, so trailing blank lines and comments stay before the next one.
    size_t at = h + 1;
    for (size_t i = h + 1; i < section_end(h); ++i)
        if (lines_[i].kind == Line::Key) at = i + 1;
    lines_.insert(lines_.begin() + static_cast<long>(at), key_line(key));
    return true;
}

bool Document::remove_key(std::string_view section, std::string_view key) {
    size_t h = find_section(section);
    if (h == std::string::npos) return false;
    size_t k = find_key(h, key);
    if (k == std::string::npos) return false;
    lines_.erase(lines_.begin() + static_cast<long>(k));
    return true;
}

bool Document::remove_section(std::string_view section) {
    size_t h = find_section(section);
    if (h == std::string::npos) return false;
    lines_.erase(lines_.begin() + static_cast<long>(h),
                 lines_.begin() + static_cast<long>(section_end(h)));
    return true;
}

std::string Document::text() const {
    std::string out;
    if (bom_) out += kBom;
    // Each line keeps its own end; an added line takes the first line's. The last line ends
    // as the file's last line did, so a file without a final line end gets none added.
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& l = lines_[i];
        out += l.raw;
        if (i + 1 == lines_.size() && !last_has_eol_) break;
        out += l.eol.empty() ? eol_ : l.eol;
    }
    return out;
}

size_t get_string(const char* section, const char* key, const char* def, char* buf, size_t size,
                  const std::string& file) {
    if (!buf || size == 0) return 0;
    Document doc;
    Document::load(file, doc);
    if (!section || !key) {
        std::vector<std::string> names = section ? doc.keys(section) : doc.sections();
        std::string list;
        for (const auto& n : names) {
            list += n;
            list += '\0';
        }
        // The list ends with a second zero; an empty list is two zeros.
        if (list.size() + 1 <= size) {
            std::memcpy(buf, list.data(), list.size());
            buf[list.size()] = '\0';
            if (list.empty() && size > 1) buf[1] = '\0';
            return list.size();
        }
        if (size < 2) {
            buf[0] = '\0';
            return 0;
        }
        size_t n = utf8_cut(list, size - 2);
        std::memcpy(buf, list.data(), n);
        std::memset(buf + n, 0, size - n);
        return size - 2;
    }
    std::string value;
    if (auto v = doc.get(section, key)) {
        value = std::move(*v);
    } else {
        std::string_view d = def ? def : "";
        while (!d.empty() && is_blank(d.back()))
            d.remove_suffix(1);
        value = std::string(d);
    }
    size_t n = utf8_cut(value, size - 1);
    std::memcpy(buf, value.data(), n);
    buf[n] = '\0';
    return n;
}

std::string read_string(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view def) {
    Document doc;
    if (!Document::load(file, doc)) return std::string(def);
    auto v = doc.get(section, key);
    return v ? *v : std::string(def);
}

long read_int(const std::string& file, std::string_view section, std::string_view key, long def) {
    Document doc;
    if (!Document::load(file, doc)) return def;
    auto v = doc.get(section, key);
    if (!v) return def;
    const char* p = v->c_str();
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE) return 0;
    return n;
}

bool write_string(const std::string& file, std::string_view section, std::string_view key,
                  std::string_view value) {
    return modify(file, [&](Document& d, bool& changed) {
        changed = d.set(section, key, value);
        return changed;
    });
}

bool delete_key(const std::string& file, std::string_view section, std::string_view key) {
    return modify(file, [&](Document& d, bool& changed) {
        changed = d.remove_key(section, key);
        return true;
    });
}

bool delete_section(const std::string& file, std::string_view section) {
    return modify(file, [&](Document& d, bool& changed) {
        changed = d.remove_section(section);
        return true;
    });
}

bool write_file_atomic(const std::string& path, std::string_view content) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty()) return false;
    std::string tmp = dir + "/." + base + ".tmp.XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) return false;
    struct stat st {};
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    bool ok = ::fchmod(fd, mode) == 0 && write_all(fd, content) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

std::string program_dir() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./";
    std::string p(buf, static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "./" : p.substr(0, slash + 1);
}

} // namespace tw::ini
