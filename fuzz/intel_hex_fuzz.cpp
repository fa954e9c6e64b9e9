// Intel HEX programmers on any text: an accepted file stays within the programmer limit, and
// its image written back as HEX records reads as the same bytes, load address and start value.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "engine/hex_convert.h"
#include "fuzz/fuzz_input.h"

namespace {

std::string Record(uint8_t type, uint16_t address, const uint8_t* data, size_t n) {
    char buf[16];
    std::string line = ":";
    unsigned sum = static_cast<unsigned>(n) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(buf, sizeof buf, "%02X%04X%02X", static_cast<unsigned>(n), address, type);
    line += buf;
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", data[i]);
        line += buf;
        sum += data[i];
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf;
}

std::string Write(const sondrel::hex::HexImage& img) {
    std::string text;
    uint32_t upper = 0xFFFFFFFF;
    for (size_t i = 0; i < img.bytes.size();) {
        const uint32_t a = img.load + static_cast<uint32_t>(i);
        if (a >> 16 != upper) {
            upper = a >> 16;
            const uint8_t hi[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            text += Record(4, 0, hi, 2);
        }
        // Never across a 64 KiB boundary: the record's address is 16 bits.
        size_t n = std::min<size_t>({16, img.bytes.size() - i, 0x10000 - (a & 0xFFFF)});
        text += Record(0, static_cast<uint16_t>(a), img.bytes.data() + i, n);
        i += n;
    }
    if (img.has_start) {
        const uint8_t s[4] = {
            static_cast<uint8_t>(img.start >> 24), static_cast<uint8_t>(img.start >> 16),
            static_cast<uint8_t>(img.start >> 8), static_cast<uint8_t>(img.start)};
        text += Record(5, 0, s, 4);
    }
    return text + Record(1, 0, nullptr, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    sondrel::hex::HexImage img;
    std::string error;
    const int rc = sondrel::hex::ParseIntelHex(text, img, error);
    if (rc != sondrel::hex::kHexOk) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(img.bytes.size() <= sondrel::hex::kMaxImageBytes);
    // The image's last byte has an address: it does not run past 4 GiB.
    FUZZ_CHECK(uint64_t{img.load} + img.bytes.size() <= (uint64_t{1} << 32));

    sondrel::hex::HexImage back;
    FUZZ_CHECK(sondrel::hex::ParseIntelHex(Write(img), back, error) == sondrel::hex::kHexOk);
    FUZZ_CHECK(back.bytes == img.bytes && back.has_start == img.has_start && back.has_end);
    FUZZ_CHECK(img.bytes.empty() || back.load == img.load);
    FUZZ_CHECK(!img.has_start || back.start == img.start);

    // The quick start-value read used when the .bin is up to date agrees with the whole parse.
    if (img.has_start) {
        const int fd = ::memfd_create("hex", MFD_CLOEXEC);
        FUZZ_CHECK(fd >= 0 && ::write(fd, data, size) == static_cast<ssize_t>(size));
        uint32_t start = ~img.start;
        const int quick =
            sondrel::hex::ReadHexStartRecord("/proc/self/fd/" + std::to_string(fd), start, error);
        ::close(fd);
        FUZZ_CHECK(quick == sondrel::hex::kHexOk && start == img.start);
    }
    return 0;
}
