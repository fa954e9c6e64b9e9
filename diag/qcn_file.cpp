#include "diag/qcn_file.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>
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

// One line at a time, the line end (LF or CR LF) removed; the buffer is reused.
class LineReader {
  public:
    explicit LineReader(FILE* f) : f_(f) {}
    ~LineReader() { std::free(buf_); }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool Next(std::string_view& line) {
        ssize_t n = ::getline(&buf_, &cap_, f_);
        if (n < 0) return false;
        size_t len = static_cast<size_t>(n);
        if (len && buf_[len - 1] == '\n') --len;
        if (len && buf_[len - 1] == '\r') --len;
        line = std::string_view(buf_, len);
        return true;
    }

  private:
    FILE* f_;
    char* buf_ = nullptr;
    size_t cap_ = 0;
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

void Say(FILE* m, const char* fmt, auto... args) {
    if (m) std::fprintf(m, fmt, args...);
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
    f_ = std::fopen(work_path.c_str(), "wb");
    if (!f_) return false;
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

bool QcnTextWriter::Close() {
    if (!f_) return false;
    if (std::fflush(f_) != 0 || std::ferror(f_)) failed_ = true;
    // The calibration must be on disk before the file gets the name a restore looks for.
    if (!failed_ && ::fsync(fileno(f_)) != 0) failed_ = true;
    if (std::fclose(f_) != 0) failed_ = true;
    f_ = nullptr;
    return !failed_;
}

bool QcnTextWriter::Commit(const std::string& final_path) {
    if (!Close()) return false;
    return std::rename(path_.c_str(), final_path.c_str()) == 0;
}

int ConvertQcnText(FILE* text, FILE* hex, std::vector<QcnRecord>* records, FILE* m,
                   ConvertError* err) {
    auto fail = [&](uint32_t item, std::string reason) {
        if (err) *err = {item, std::move(reason)};
        return -1;
    };
    LineReader reader(text);
    std::string_view line;
    if (!reader.Next(line)) {
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
