#include "diag/qcn_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace diag {
namespace {

constexpr char kHex[] = "0123456789abcdef";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::atomic<FILE*>& MessageSink() {
    static std::atomic<FILE*> f{stdout};
    return f;
}

// One line at a time, the line end (LF or CR LF) removed, into a fixed buffer: a file without
// line ends (or an endless one) cannot make the reader grow.
class LineReader {
  public:
    explicit LineReader(FILE* f) : f_(f) {}

    // False at the end of the file, on a read error, and on a line too long for the buffer
    // (then too_long() is set).
    bool Next(std::string_view& line) {
        size_t n = 0;
        int c;
        bool any = false;
        while ((c = std::getc(f_)) != EOF) {
            any = true;
            if (c == '\n') break;
            // Room is kept for the line end and the terminator, as a line buffer of this size
            // would need.
            if (n + 2 >= kLineBuffer) {
                too_long_ = true;
                return false;
            }
            buf_[n++] = static_cast<char>(c);
        }
        if (!any) return false;
        if (n && buf_[n - 1] == '\r') --n;
        line = std::string_view(buf_, n);
        return true;
    }
    bool too_long() const { return too_long_; }

  private:
    FILE* f_;
    char buf_[kLineBuffer];
    bool too_long_ = false;
};

// The item number after a header marker: leading digits, at most 65535.
bool HeaderItem(std::string_view line, size_t after, uint32_t& item) {
    size_t p = after;
    if (p >= line.size() || line[p] < '0' || line[p] > '9') return false;
    item = 0;
    for (; p < line.size() && line[p] >= '0' && line[p] <= '9'; ++p) {
        item = item * 10 + static_cast<uint32_t>(line[p] - '0');
        if (item > 0xFFFF) return false;
    }
    return true;
}

// A data line: 16 values of two hex digits, 3 characters apart, starting 2 after the first ": ".
// Nothing but blanks may follow the last value.
bool ParseDataLine(std::string_view line, uint8_t* out16, std::string& why) {
    size_t d = line.find(": ");
    if (d == std::string_view::npos) {
        why = "a data line has no \": \"";
        return false;
    }
    d += 2;
    for (size_t i = 0; i < 16; ++i) {
        size_t p = d + 3 * i;
        if (p + 1 >= line.size() || (i < 15 && p + 2 >= line.size())) {
            why = "a data line holds fewer than 16 values";
            return false;
        }
        int hi = HexValue(line[p]), lo = HexValue(line[p + 1]);
        if (hi < 0 || lo < 0 || (i < 15 && line[p + 2] != ' ')) {
            why = "a data line holds a value that is not two hexadecimal digits";
            return false;
        }
        out16[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    for (size_t p = d + 47; p < line.size(); ++p) {
        if (line[p] != ' ' && line[p] != '\t') {
            why = "a data line holds more than 16 values";
            return false;
        }
    }
    return true;
}

[[gnu::format(printf, 2, 3)]] void Say(FILE* m, const char* fmt, ...) {
    if (!m) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(m, fmt, ap);
    va_end(ap);
}

} // namespace

size_t FormatQcnBlock(NvKind kind, uint16_t item, const uint8_t* data, char* out) {
    int n = std::snprintf(out, kBlockMax,
                          kind == NvKind::Main ? "NV item: %u index\r\n"
                                               : "NV item (SIM 1): %u index\r\n",
                          static_cast<unsigned>(item));
    char* p = out + n;
    for (int line = 0; line < 8; ++line) {
        *p++ = static_cast<char>('0' + line);
        *p++ = ':';
        for (int i = 0; i < 16; ++i) {
            uint8_t b = data[line * 16 + i];
            *p++ = ' ';
            *p++ = kHex[b >> 4];
            *p++ = kHex[b & 15];
        }
        *p++ = '\r';
        *p++ = '\n';
    }
    return static_cast<size_t>(p - out);
}

void SerializeRecord(const QcnRecord& r, uint8_t out[kRecordSize]) {
    out[0] = static_cast<uint8_t>(r.length);
    out[1] = static_cast<uint8_t>(r.length >> 8);
    out[2] = static_cast<uint8_t>(r.length >> 16);
    out[3] = static_cast<uint8_t>(r.length >> 24);
    std::memcpy(out + 4, r.area.data(), r.area.size());
}

bool ParseRecord(const uint8_t in[kRecordSize], QcnRecord& r) {
    r.length = static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
               static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
    std::memcpy(r.area.data(), in + 4, r.area.size());
    return r.length == kNvRequestLength || r.length == kNvSimRequestLength;
}

QcnTextWriter::~QcnTextWriter() {
    if (f_) std::fclose(f_);
}

bool QcnTextWriter::Open(const std::string& work_path) {
    path_ = work_path;
    failed_ = false;
    // The lock, not the file's existence, says whether a writer is at work: a file left by a
    // failed run is nobody's. After taking the lock the name must still be ours, since its
    // holder may have renamed it between our open and our lock.
    for (int attempt = 0; attempt < 5 && !f_; ++attempt) {
        int fd = ::open(work_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) return false;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            ::close(fd);
            errno = e == EWOULDBLOCK ? EBUSY : e;
            return false;
        }
        struct stat held {
        }, named{};
        if (::fstat(fd, &held) != 0 || ::stat(work_path.c_str(), &named) != 0 ||
            held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
            ::close(fd);
            continue;
        }
        if (::ftruncate(fd, 0) != 0) {
            int e = errno;
            ::close(fd);
            errno = e;
            return false;
        }
        f_ = ::fdopen(fd, "wb");
        if (!f_) {
            ::close(fd);
            return false;
        }
    }
    if (!f_) {
        errno = EBUSY;
        return false;
    }
    if (std::fprintf(f_, "%s%s", kQcnFirstLine, kLineEnd) < 0) failed_ = true;
    return !failed_;
}

bool QcnTextWriter::AppendBlock(NvKind kind, uint16_t item, const uint8_t* data128) {
    if (!f_) return false;
    char block[kBlockMax];
    size_t n = FormatQcnBlock(kind, item, data128, block);
    if (std::fwrite(block, 1, n, f_) != n) failed_ = true;
    return !failed_;
}

bool QcnTextWriter::Flush() {
    if (!f_) return false;
    if (std::fflush(f_) != 0 || std::ferror(f_)) failed_ = true;
    // The calibration must be on disk before the file gets the name a restore looks for.
    if (!failed_ && ::fsync(fileno(f_)) != 0) failed_ = true;
    return !failed_;
}

bool QcnTextWriter::Close() {
    if (!f_) return false;
    if (std::fflush(f_) != 0 || std::ferror(f_)) failed_ = true;
    if (std::fclose(f_) != 0) failed_ = true;
    f_ = nullptr;
    return !failed_;
}

int ConvertQcnText(FILE* text, FILE* hex, std::vector<QcnRecord>* records, FILE* m,
                   ConvertError* err) {
    auto fail = [&](uint32_t item, std::string reason) {
        if (err) *err = {item, std::move(reason)};
        return -1;
    };
    LineReader reader(text);
    std::string_view line;
    auto too_long = [&](uint32_t item) {
        Say(m, "Error in the source file: a line does not fit the %zu-byte line buffer\n",
            kLineBuffer);
        return fail(item,
                    "a line does not fit the " + std::to_string(kLineBuffer) + "-byte line buffer");
    };
    if (!reader.Next(line)) {
        if (reader.too_long()) return too_long(0);
        Say(m, "The source file is empty\n");
        return fail(0, "the file is empty");
    }
    if (line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    if (line.substr(0, std::strlen(kQcnFirstLine)) != kQcnFirstLine) {
        Say(m, "The source file does not begin with \"%s\"\n", kQcnFirstLine);
        return fail(0, "the file does not begin with \"NV Items:\"");
    }
    constexpr std::string_view kMain = "NV item: ";
    constexpr std::string_view kSim1 = "NV item (SIM 1): ";
    int count = 0;
    QcnRecord rec;
    uint8_t raw[kRecordSize];
    std::string why;
    while (reader.Next(line)) {
        size_t mpos = line.find(kMain);
        size_t spos = line.find(kSim1);
        if (line.find("index") == std::string_view::npos ||
            (mpos == std::string_view::npos && spos == std::string_view::npos))
            continue;
        NvKind kind = mpos != std::string_view::npos ? NvKind::Main : NvKind::Sim1;
        size_t after = kind == NvKind::Main ? mpos + kMain.size() : spos + kSim1.size();
        uint32_t item = 0;
        if (!HeaderItem(line, after, item)) {
            Say(m, "Error in item header \"%.*s\": no item number from 0 to 65535\n",
                static_cast<int>(line.size()), line.data());
            return fail(0, "an item header has no item number from 0 to 65535");
        }
        ++count;
        uint8_t data[kNvDataSize];
        for (int k = 0; k < 8; ++k) {
            if (!reader.Next(line)) {
                if (reader.too_long()) return too_long(item);
                Say(m,
                    "Error reading item %u from source file, an error or an end-of-file "
                    "occurred\n",
                    item);
                return fail(item, "the file ends inside the item's data lines");
            }
            if (kind == NvKind::Main) {
                size_t d = line.find(": ");
                std::string_view shown =
                    d == std::string_view::npos ? std::string_view{} : line.substr(d + 2);
                Say(m, "%.*s\n", static_cast<int>(shown.size()), shown.data());
            }
            if (!ParseDataLine(line, data + 16 * k, why)) {
                Say(m, "Error in item %u, data line %d: %s\n", item, k, why.c_str());
                return fail(item, why + " (data line " + std::to_string(k) + ")");
            }
        }
        rec.length = BuildWrite(kind, static_cast<uint16_t>(item), data, rec.area);
        if (hex) {
            SerializeRecord(rec, raw);
            if (std::fwrite(raw, 1, kRecordSize, hex) != kRecordSize) {
                Say(m, "Error writing item %u to hex file\n", item);
                return fail(item, "the record file cannot be written");
            }
        }
        if (records) records->push_back(rec);
    }
    if (reader.too_long()) return too_long(0);
    if (std::ferror(text)) {
        Say(m, "Error reading the source file\n");
        return fail(0, "the file cannot be read");
    }
    Say(m, "%d items have been converted to binary\n", count);
    return count;
}

bool ReadRecordFile(FILE* hex, std::vector<QcnRecord>& out) {
    uint8_t raw[kRecordSize];
    QcnRecord r;
    for (;;) {
        size_t n = std::fread(raw, 1, kRecordSize, hex);
        if (n == 0) return !std::ferror(hex);
        if (n < kRecordSize || !ParseRecord(raw, r)) return false;
        out.push_back(r);
    }
}

std::string JoinFolder(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string QcnTextPath(const std::string& folder, const std::string& imei) {
    return JoinFolder(folder, imei + ".txt");
}

std::string PartialPath(const std::string& final_path) {
    return final_path + ".partial";
}

namespace {

bool IsDigits(std::string_view s, size_t n) {
    if (s.size() != n) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Renames without ever replacing `to`; errno EEXIST when it exists. Filesystems without an
// atomic no-replace rename (or without hard links) get a check first.
bool MoveNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    if (::link(from.c_str(), to.c_str()) == 0) return ::unlink(from.c_str()) == 0;
    if (errno == EEXIST) return false;
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}

// Moves `from` to the first free dated name of `final_path`; the name taken goes to `to`.
bool MoveToDated(const std::string& from, const std::string& final_path, long long when,
                 std::string& to) {
    for (int n = 1; n <= 1000; ++n) {
        to = DatedPath(final_path, when, n);
        if (MoveNoReplace(from, to)) return true;
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

} // namespace

std::string DatedPath(const std::string& final_path, long long when, int n) {
    std::string stem = final_path;
    if (stem.size() >= 4 && stem.compare(stem.size() - 4, 4, ".txt") == 0)
        stem.resize(stem.size() - 4);
    std::time_t t = static_cast<std::time_t>(when);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    std::string out = stem + "." + stamp;
    if (n > 1) out += "-" + std::to_string(n);
    return out + ".txt";
}

int CountQcnItems(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return -1;
    int n = ConvertQcnText(f, nullptr, nullptr, nullptr, nullptr);
    std::fclose(f);
    return n;
}

bool PlaceBackup(const std::string& work_path, const std::string& final_path, int items,
                 Placement& out) {
    out = {};
    struct stat earlier {};
    if (::stat(final_path.c_str(), &earlier) != 0) {
        if (errno != ENOENT) return false;
        if (!MoveNoReplace(work_path, final_path)) {
            // Another backup of this phone got there first: ours must not replace it blindly.
            if (errno != EEXIST) return false;
            return PlaceBackup(work_path, final_path, items, out);
        }
        out.written = out.current = final_path;
        return true;
    }
    // A file that does not convert has nothing a restore could use.
    out.earlier_items = std::max(CountQcnItems(final_path), 0);
    if (items < out.earlier_items) {
        struct stat mine {};
        long long when = ::stat(work_path.c_str(), &mine) == 0
                             ? static_cast<long long>(mine.st_mtime)
                             : static_cast<long long>(std::time(nullptr));
        if (!MoveToDated(work_path, final_path, when, out.written)) return false;
        out.current = final_path;
        return true;
    }
    if (!MoveToDated(final_path, final_path, static_cast<long long>(earlier.st_mtime), out.kept))
        return false;
    if (std::rename(work_path.c_str(), final_path.c_str()) != 0) {
        int e = errno;
        std::rename(out.kept.c_str(), final_path.c_str());
        out.kept.clear();
        errno = e;
        return false;
    }
    out.written = out.current = final_path;
    return true;
}

std::string ImeiOfQcnFile(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string_view name(path);
    if (slash != std::string::npos) name.remove_prefix(slash + 1);
    if (name.size() < 19 || name.substr(name.size() - 4) != ".txt") return "";
    std::string_view imei = name.substr(0, 15);
    if (!IsDigits(imei, 15)) return "";
    std::string_view rest = name.substr(15, name.size() - 19);
    if (rest.empty()) return std::string(imei);
    // ".YYYYMMDD-HHMMSS" with an optional "-n"
    if (rest.size() < 16 || rest[0] != '.' || !IsDigits(rest.substr(1, 8), 8) || rest[9] != '-' ||
        !IsDigits(rest.substr(10, 6), 6))
        return "";
    rest.remove_prefix(16);
    if (rest.empty()) return std::string(imei);
    if (rest[0] != '-' || rest.size() < 2 || !IsDigits(rest.substr(1), rest.size() - 1)) return "";
    return std::string(imei);
}

std::string RecordPathFor(const std::string& text_path) {
    size_t slash = text_path.rfind('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::string dir = text_path.substr(0, base);
    std::string name = text_path.substr(base);
    bool replaced = false;
    for (size_t p = name.find(".txt"); p != std::string::npos; p = name.find(".txt", p + 4)) {
        name.replace(p, 4, ".hex");
        replaced = true;
    }
    if (!replaced) name += ".hex";
    return dir + name;
}

void SetMessageStream(FILE* f) {
    MessageSink().store(f);
}
FILE* MessageStream() {
    return MessageSink().load();
}

} // namespace diag
