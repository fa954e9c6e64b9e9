#include "engine/hex_convert.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/debug_out.h"

namespace sondrel::hex {
namespace {

constexpr uint8_t kData = 0, kEnd = 1, kSegment = 2, kStartSegment = 3, kLinear = 4, kStart = 5;
// HEX text is about 2.8 characters per byte; anything far beyond is not a programmer.
constexpr size_t kMaxTextBytes = size_t{kMaxImageBytes} * 3;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int Fail(std::string& error, int line, int code, const std::string& what) {
    error = "line " + std::to_string(line) + ": " + what;
    return code;
}

bool ReadWhole(const std::string& path, std::string& text, int& code, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error =
            path + ": cannot be opened" +
            (fd < 0 ? std::string(" (") + std::strerror(errno) + ")" : std::string(" as a file"));
        if (fd >= 0) ::close(fd);
        code = kHexCannotRead;
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxTextBytes) {
        ::close(fd);
        error = path + ": too large for a programmer";
        code = kHexTooLarge;
        return false;
    }
    text.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < text.size()) {
        ssize_t r = ::read(fd, text.data() + got, text.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    ::close(fd);
    if (got != text.size()) {
        error = path + ": read failed";
        code = kHexCannotRead;
        return false;
    }
    return true;
}

// The whole bytes or nothing: a temporary file beside the target, renamed over it.
bool WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    std::string tmp = path + ".XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        error = path + ": cannot be written (" + std::strerror(errno) + ")";
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    const bool ok = done == bytes.size() && ::fchmod(fd, 0644) == 0;
    if (::close(fd) != 0 || !ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        error = path + ": cannot be written (" + std::strerror(errno) + ")";
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

int Load(const std::string& hexPath, HexImage& image, std::string& error) {
    std::string text;
    int code = kHexOk;
    if (!ReadWhole(hexPath, text, code, error)) return code;
    code = ParseIntelHex(text, image, error);
    if (code != kHexOk) {
        error = hexPath + ", " + error;
        return code;
    }
    if (!image.has_end) {
        // A programmer cut short loses its last records, and with them bytes of its code.
        error = hexPath + ": no end-of-file record; the file may be cut short";
        return kHexNoEnd;
    }
    if (!image.has_start) {
        error = hexPath + ": no Start Linear Address record, so no start value";
        return kHexNoStart;
    }
    if (image.bytes.empty()) {
        error = hexPath + ": no data records";
        return kHexNoData;
    }
    return kHexOk;
}

} // namespace

namespace {

// The next non-blank line of text from pos (trailing CR, spaces and tabs removed); false at the
// end of the text. line_no counts every line, blank ones included.
bool NextLine(std::string_view text, size_t& pos, int& line_no, std::string_view& line) {
    while (pos < text.size()) {
        const size_t nl = text.find('\n', pos);
        line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        ++line_no;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (!line.empty()) return true;
    }
    return false;
}

// Decodes one record line into rec (count, address, type, data, checksum) and checks its form
// and checksum; rec holds 5 + 255 bytes.
int DecodeRecord(std::string_view line, int line_no, uint8_t* rec, std::string& error) {
    if (line[0] != ':') return Fail(error, line_no, kHexBadRecord, "a record must begin with ':'");
    // Characters 1-2 are the byte count; the record is 11 + 2 x count characters long.
    auto byte_at = [&](size_t i, uint8_t& b) {
        const size_t c = 1 + 2 * i;
        if (c + 1 >= line.size()) return false;
        const int hi = HexDigit(line[c]), lo = HexDigit(line[c + 1]);
        if (hi < 0 || lo < 0) return false;
        b = static_cast<uint8_t>(hi << 4 | lo);
        return true;
    };
    if (line.size() < 11)
        return Fail(error, line_no, kHexBadRecord, "the record is shorter than its fields");
    if (!byte_at(0, rec[0]))
        return Fail(error, line_no, kHexBadRecord, "the byte count is not hexadecimal");
    const size_t n = rec[0];
    const size_t need = 11 + 2 * n;
    if (line.size() < need)
        return Fail(error, line_no, kHexBadRecord,
                    "the record's length (" + std::to_string(n) +
                        " data bytes) runs past the line");
    if (line.size() > need)
        return Fail(error, line_no, kHexBadRecord, "characters after the checksum");
    unsigned sum = 0;
    for (size_t i = 0; i < n + 5; ++i) {
        if (!byte_at(i, rec[i]))
            return Fail(error, line_no, kHexBadRecord,
                        "character " + std::to_string(2 + 2 * i) + " is not hexadecimal");
        sum += rec[i];
    }
    if ((sum & 0xFF) != 0) return Fail(error, line_no, kHexBadChecksum, "wrong checksum");
    if (rec[3] > kStart)
        return Fail(error, line_no, kHexBadType, "unknown record type " + std::to_string(rec[3]));
    return kHexOk;
}

uint32_t StartValueOf(const uint8_t* rec) {
    const uint8_t* data = rec + 4;
    return uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16 | uint32_t{data[2]} << 8 | data[3];
}

} // namespace

int ParseIntelHex(std::string_view text, HexImage& out, std::string& error) {
    out = HexImage{};
    uint32_t base = 0;
    uint64_t next = 0; // the address after the last byte placed
    uint8_t rec[5 + 255];
    size_t pos = 0;
    int line_no = 0;
    std::string_view line;
    while (NextLine(text, pos, line_no, line)) {
        const int code = DecodeRecord(line, line_no, rec, error);
        if (code != kHexOk) return code;
        const size_t n = rec[0];
        const uint8_t type = rec[3];
        const uint32_t offset = uint32_t{rec[1]} << 8 | rec[2];
        const uint8_t* data = rec + 4;
        switch (type) {
        case kData: {
            if (n == 0) break;
            const uint64_t a = uint64_t{base} + offset;
            if (out.bytes.empty()) {
                out.load = static_cast<uint32_t>(a);
                next = a;
            }
            if (a < next)
                return Fail(error, line_no, kHexOverlap,
                            "data below bytes already placed (records out of order)");
            if (a + n - out.load > kMaxImageBytes)
                return Fail(error, line_no, kHexTooLarge, "the image grows past its limit");
            out.bytes.resize(static_cast<size_t>(a - out.load), 0xFF);
            out.bytes.insert(out.bytes.end(), data, data + n);
            next = a + n;
            break;
        }
        case kEnd:
            out.has_end = true;
            return kHexOk;
        case kSegment:
        case kLinear:
            if (n != 2)
                return Fail(error, line_no, kHexBadRecord, "an address record holds 2 bytes");
            base = (uint32_t{data[0]} << 8 | data[1]) << (type == kSegment ? 4 : 16);
            break;
        case kStartSegment:
            break;
        case kStart:
            if (n != 4)
                return Fail(error, line_no, kHexBadRecord, "a start address record holds 4 bytes");
            out.start = StartValueOf(rec);
            out.has_start = true;
            break;
        }
    }
    return kHexOk;
}

std::string BinPathFor(const std::string& hexPath) {
    const size_t slash = hexPath.rfind('/');
    const size_t dot = hexPath.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return hexPath + ".bin";
    return hexPath.substr(0, dot + 1) + "bin";
}

int ConvertHexToBin(const std::string& hexPath, HexConversion& out) {
    out = HexConversion{};
    out.bin_path = BinPathFor(hexPath);
    HexImage image;
    int code = kHexOk;
    if (out.bin_path == hexPath) {
        out.error = hexPath + ": its .bin would replace it; a programmer's name ends in .hex";
        code = kHexSameFile;
    }
    if (code == kHexOk) code = Load(hexPath, image, out.error);
    if (code == kHexOk && !WriteWhole(out.bin_path, image.bytes, out.error)) code = kHexCannotWrite;
    if (code != kHexOk) {
        DebugOutput("\n  Convert HEX file To Bin file Failed!\n");
        return code;
    }
    out.start = image.start;
    out.load = image.load;
    out.size = static_cast<uint32_t>(image.bytes.size());
    DebugOutput("\n  Convert HEX file To Bin file Successfully!\n");
    return kHexOk;
}

int ReadHexStartValue(const std::string& hexPath, uint32_t& start, std::string& error) {
    HexImage image;
    const int code = Load(hexPath, image, error);
    if (code == kHexOk) start = image.start;
    return code;
}

int ReadHexStartRecord(const std::string& hexPath, uint32_t& start, std::string& error) {
    int fd = ::open(hexPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error =
            hexPath + ": cannot be opened" +
            (fd < 0 ? std::string(" (") + std::strerror(errno) + ")" : std::string(" as a file"));
        if (fd >= 0) ::close(fd);
        return kHexCannotRead;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxTextBytes) {
        ::close(fd);
        error = hexPath + ": too large for a programmer";
        return kHexTooLarge;
    }
    // The record type sits at characters 7-8; only the end record and start records are decoded.
    auto type_of = [](std::string_view line) {
        if (line.size() < 11 || line[0] != ':') return -1;
        const int hi = HexDigit(line[7]), lo = HexDigit(line[8]);
        return hi < 0 || lo < 0 ? -1 : hi << 4 | lo;
    };
    uint8_t rec[5 + 255];
    bool found = false;
    int line_no = 0;
    int code = kHexOk;
    // 1: the end record; the rest of the file does not count.
    auto take = [&](std::string_view line) {
        ++line_no;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        const int type = type_of(line);
        if (type == kEnd) return 1;
        if (type != kStart) return 0;
        code = DecodeRecord(line, line_no, rec, error);
        if (code == kHexOk && rec[0] != 4)
            code = Fail(error, line_no, kHexBadRecord, "a start address record holds 4 bytes");
        if (code != kHexOk) return -1;
        start = StartValueOf(rec);
        found = true;
        return 0;
    };
    // Read through a small buffer line by line: the file is read once, never held whole. A line
    // longer than the buffer is no record and is passed over.
    constexpr size_t kChunk = 16384;
    std::unique_ptr<char[]> buf(new char[kChunk]);
    size_t have = 0;
    bool eof = false, overlong = false, failed = false;
    int result = 0;
    while (result == 0) {
        if (!eof) {
            const ssize_t r = ::read(fd, buf.get() + have, kChunk - have);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                failed = true;
                break;
            }
            if (r == 0) eof = true;
            have += static_cast<size_t>(r);
        }
        size_t pos = 0;
        while (result == 0 && pos < have) {
            const auto* nl =
                static_cast<const char*>(std::memchr(buf.get() + pos, '\n', have - pos));
            if (!nl && !eof) break;
            const size_t end = nl ? static_cast<size_t>(nl - buf.get()) : have;
            if (overlong)
                ++line_no;
            else
                result = take(std::string_view(buf.get() + pos, end - pos));
            overlong = false;
            pos = nl ? end + 1 : have;
        }
        if (eof) break;
        std::memmove(buf.get(), buf.get() + pos, have - pos);
        have -= pos;
        if (have == kChunk) {
            overlong = true;
            have = 0;
        }
    }
    ::close(fd);
    if (failed) {
        error = hexPath + ": read failed";
        return kHexCannotRead;
    }
    if (result < 0) {
        error = hexPath + ", " + error;
        return code;
    }
    if (!found) {
        error = hexPath + ": no Start Linear Address record, so no start value";
        return kHexNoStart;
    }
    return kHexOk;
}

} // namespace sondrel::hex
