// Merged image containers (".zqde" plain, ".zqen" enciphered) on any bytes: an opened
// container's entries lie inside the file, each entry reads back exactly its own bytes in
// chunks of any size, and a read longer than what is left fails without moving the entry.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/phase_image.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/scratch.h"

namespace {

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const bool enciphered = in.u8() & 1;
    uint32_t chunk_seed = in.u16();
    const std::vector<uint8_t> file = in.rest();
    const std::string path = fuzz::ScratchDir() + (enciphered ? "/c.zqen" : "/c.zqde");
    fuzz::WriteFile(path, file.data(), file.size());

    CPhaseImage img;
    if (!img.OpenImage(path.c_str())) return 0;
    FUZZ_CHECK(img.IsContainer() && file.size() >= kContainerHeaderSize);
    // The magic's first byte tells the mask of a ZQEN file, without the cipher's key.
    const uint8_t mask = enciphered ? static_cast<uint8_t>(file[0] ^ 'Z') : 0;
    std::vector<uint8_t> header(file.begin(), file.begin() + kContainerHeaderSize);
    for (auto& b : header)
        b ^= mask;
    const int count = header[kContainerCountOffset];
    FUZZ_CHECK(count <= kContainerMaxEntries && img.EntryCount() == count);

    std::vector<bool> used(static_cast<size_t>(count), false);
    std::vector<uint8_t> buf;
    for (int i = 0; i < count; ++i) {
        const uint8_t* e = header.data() + kContainerTableOffset + kContainerEntrySize * i;
        const uint32_t offset = Le32(e + kEntryDataOffset), length = Le32(e + kEntryDataSize);
        // Every entry of an opened container can be read whole.
        FUZZ_CHECK(uint64_t{offset} + length <= file.size());

        const int id = e[kEntryIdOffset];
        // The first entry with the id is read; ids 1 and 2 read the third entry.
        int index = i;
        for (int k = 0; k < i; ++k)
            if (header[kContainerTableOffset + kContainerEntrySize * k] == id) {
                index = k;
                break;
            }
        if (id == 1 || id == 2) index = 2;
        img.SelectEntry(id);
        uint32_t got_offset = 0, got_size = 0;
        if (index >= count) {
            FUZZ_CHECK(!img.GetImageSize(got_offset, got_size));
            continue;
        }
        const uint8_t* te = header.data() + kContainerTableOffset + kContainerEntrySize * index;
        FUZZ_CHECK(img.GetImageSize(got_offset, got_size));
        FUZZ_CHECK(got_offset == Le32(te + kEntryDataOffset) &&
                   got_size == Le32(te + kEntryDataSize));
        if (used[static_cast<size_t>(index)]) continue; // its read position is spent
        used[static_cast<size_t>(index)] = true;

        uint32_t done = 0;
        while (done < got_size) {
            chunk_seed = chunk_seed * 1103515245u + 12345u;
            const uint32_t left = got_size - done;
            const uint32_t n = std::min<uint32_t>(1 + (chunk_seed >> 16) % 5000, left);
            buf.assign(n + 1, 0);
            // One byte more than what is left is refused, and the position stays.
            if (n == left) FUZZ_CHECK(!img.ReadImage(buf.data(), n + 1));
            FUZZ_CHECK(img.ReadImage(buf.data(), n));
            for (uint32_t k = 0; k < n; ++k)
                FUZZ_CHECK(buf[k] == (file[got_offset + done + k] ^ mask));
            done += n;
        }
        FUZZ_CHECK(!img.ReadImage(buf.data(), 1));
    }
    return 0;
}
