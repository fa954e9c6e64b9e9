#include "engine/phase_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/debug_out.h"

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Reads up to n bytes at offset, fewer only at the end of the file or on an error.
size_t read_some(int fd, uint8_t* buf, size_t n, uint64_t offset) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd, buf + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    return done;
}

// Reads exactly n bytes at offset.
bool read_exact(int fd, uint8_t* buf, size_t n, uint64_t offset) {
    return read_some(fd, buf, n, offset) == n;
}

} // namespace

int ImageKind(const char* path) {
    if (!path) return IMAGE_KIND_OTHER;
    const char* dot = std::strrchr(path, '.');
    const char* ext = dot ? dot + 1 : path;
    if (strcasecmp(ext, "ZQEN") == 0) return IMAGE_KIND_ZQEN;
    if (strcasecmp(ext, "ZQDE") == 0) return IMAGE_KIND_ZQDE;
    if (strcasecmp(ext, "BIN") == 0) return IMAGE_KIND_BIN;
    if (strcasecmp(ext, "HEX") == 0) return IMAGE_KIND_HEX;
    return IMAGE_KIND_OTHER;
}

// ---- Crypt ----

Crypt::Crypt(const char* key) : m_key(key ? key : "") {
    uint64_t acc = kKeySeed;
    for (unsigned char c : m_key) {
        // Signed byte, widened, 0x80 ORed in, widened again as signed: a byte above 0x7F also
        // flips the high word.
        int32_t v = static_cast<int32_t>(static_cast<int8_t>(c)) | 0x80;
        acc ^= static_cast<uint64_t>(static_cast<int64_t>(v));
    }
    m_keyLow = static_cast<uint32_t>(acc);
    m_keyHigh = static_cast<uint32_t>(acc >> 32);
}

uint8_t Crypt::Mask() const {
    return static_cast<uint8_t>((m_keyLow & 0xFF) ^ ((m_dataLength - 5) & 0xFF));
}

int Crypt::DecryptCopy(const uint8_t* source, size_t n, uint8_t* target) const {
    if (m_dataLength == 0 || !source || !target) return 0;
    const uint8_t m = Mask();
    for (size_t i = 0; i < n; ++i)
        target[i] = static_cast<uint8_t>(source[i] ^ m);
    return 1;
}

uint8_t* Crypt::DecryptInPlace(uint8_t* buffer, size_t n) const {
    if (m_dataLength == 0 || !buffer) return nullptr;
    const uint8_t m = Mask();
    for (size_t i = 0; i < n; ++i)
        buffer[i] ^= m;
    return buffer;
}

// ---- CPhaseImage ----

CPhaseImage::CPhaseImage() = default;

CPhaseImage::~CPhaseImage() {
    CloseImage();
}

int CPhaseImage::OpenImage(const char* path, int shareMode) {
    (void)shareMode;
    if (!path) return 0;
    if (IsHandleValid()) CloseImage();
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        fd = -1;
        errno = EISDIR;
    }
    if (fd < 0) {
        sondrel::DebugPrintf("\n===open file %s failed, error code is %d", path, errno);
        m_handle = -1;
        return 0;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size >= kImageSizeLimit) {
        // Sizes and entry offsets are 32-bit: a larger file would be read at the wrong bytes.
        sondrel::DebugPrintf("\n===open file %s failed, it holds %llu bytes, 4 GiB or more", path,
                             static_cast<unsigned long long>(size));
        ::close(fd);
        m_handle = -1;
        return 0;
    }
    m_kind = ImageKind(path);
    m_fileSize = size;
    m_plainPos = 0;
    m_aheadLen = 0;
    if (!IsContainer()) {
        m_handle = fd;
        return 1;
    }

    auto record = std::make_unique<ContainerRecord>();
    std::memset(record.get(), 0, sizeof(ContainerRecord));
    auto fail = [&] {
        ::close(fd);
        m_handle = -1;
        return 0;
    };
    if (size < kContainerHeaderSize || !read_exact(fd, record->header, kContainerHeaderSize, 0)) {
        return fail();
    }
    if (m_kind == IMAGE_KIND_ZQEN) {
        m_crypt.SetLength(size);
        if (!m_crypt.DecryptInPlace(record->header, kContainerHeaderSize)) return fail();
    }
    if (std::strncmp(reinterpret_cast<const char*>(record->header), kContainerMagic,
                     sizeof kContainerMagic) != 0) {
        return fail();
    }
    const int count = record->header[kContainerCountOffset];
    // The record has read positions for 48 entries only.
    if (count > kContainerMaxEntries) return fail();
    for (int i = 0; i < count; ++i) {
        const uint8_t* e = record->header + kContainerTableOffset + kContainerEntrySize * i;
        const uint64_t end = uint64_t{le32(e + kEntryDataOffset)} + le32(e + kEntryDataSize);
        // A container cut short (or a damaged table) is refused whole at open, before any of
        // its bytes reach a phone, not when a read runs into its end halfway through an image.
        if (end > size) {
            sondrel::DebugPrintf("\n===open file %s failed, entry %d ends at byte %llu, past the "
                                 "file's end at %llu",
                                 path, i, static_cast<unsigned long long>(end),
                                 static_cast<unsigned long long>(size));
            return fail();
        }
        record->positions[i] = le32(e + kEntryDataOffset);
    }
    record->fd = fd;
    m_record = std::move(record);
    m_handle = reinterpret_cast<intptr_t>(m_record.get());
    return 1;
}

int CPhaseImage::EntryCount() const {
    if (!m_record) return 0;
    return m_record->header[kContainerCountOffset];
}

const uint8_t* CPhaseImage::Entry(int index) const {
    return m_record->header + kContainerTableOffset + kContainerEntrySize * index;
}

uint32_t CPhaseImage::EntryOffset(int index) const {
    return le32(Entry(index) + kEntryDataOffset);
}

uint32_t CPhaseImage::EntrySize(int index) const {
    return le32(Entry(index) + kEntryDataSize);
}

uint32_t CPhaseImage::EntryPosition(int index) const {
    if (!m_record || index < 0 || index >= EntryCount()) return 0;
    return m_record->positions[index];
}

int CPhaseImage::FindEntry(int id) const {
    if (!IsContainer() || !m_record) return -2;
    const int count = EntryCount();
    for (int i = 0; i < count; ++i) {
        if (Entry(i)[kEntryIdOffset] == id) return i;
    }
    return -1;
}

int CPhaseImage::SelectedIndex() const {
    int index = FindEntry(m_selectedId);
    if (index < 0) return index;
    if (m_selectedId == 1 || m_selectedId == 2) {
        // Ids 1 and 2 read the third entry; a container without one has nothing to give.
        index = 2;
        if (index >= EntryCount()) return -1;
    }
    return index;
}

int CPhaseImage::GetImageSize(uint32_t& offset, uint32_t& size, char* name, size_t nameSize) {
    if (!IsHandleValid()) return 0;
    if (!IsContainer()) {
        offset = 0;
        size = static_cast<uint32_t>(m_fileSize);
        return 1;
    }
    const int index = SelectedIndex();
    if (index < 0) return 0;
    offset = EntryOffset(index);
    size = EntrySize(index);
    if (name && nameSize > 0) {
        const char* src = reinterpret_cast<const char*>(Entry(index) + kEntryNameOffset);
        size_t len = strnlen(src, kEntryNameMax - 1);
        if (len > nameSize - 1) len = nameSize - 1;
        std::memcpy(name, src, len);
        name[len] = '\0';
    }
    return 1;
}

bool CPhaseImage::ReadAt(int fd, uint8_t* out, uint32_t n, uint64_t pos, uint64_t limit) {
    if (n == 0) return true;
    if (m_aheadLen > 0 && pos >= m_aheadAt && pos - m_aheadAt + n <= m_aheadLen) {
        std::memcpy(out, m_ahead.get() + (pos - m_aheadAt), n);
        return true;
    }
    if (!m_ahead && n < kReadAhead / 2) m_ahead.reset(new (std::nothrow) uint8_t[kReadAhead]);
    if (!m_ahead || n >= kReadAhead / 2) return read_exact(fd, out, n, pos);
    // Up to the end of what may be read, at least the bytes asked for; a file cut short meanwhile
    // fails the first read that reaches past its new end, as reading block by block would.
    const uint64_t left = limit > pos ? limit - pos : 0;
    const size_t want =
        static_cast<size_t>(std::max<uint64_t>(std::min<uint64_t>(left, kReadAhead), n));
    m_aheadLen = 0;
    const size_t got = read_some(fd, m_ahead.get(), want, pos);
    m_aheadAt = pos;
    m_aheadLen = static_cast<uint32_t>(got);
    if (got < n) return false;
    std::memcpy(out, m_ahead.get(), n);
    return true;
}

int CPhaseImage::ReadImage(void* buffer, uint32_t n) {
    if (!IsHandleValid() || (!buffer && n > 0)) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    if (!IsContainer()) {
        if (!ReadAt(static_cast<int>(m_handle), out, n, m_plainPos, m_fileSize)) return 0;
        m_plainPos += n;
        return 1;
    }
    const int index = SelectedIndex();
    if (index < 0) return 0;
    const uint64_t end = uint64_t{EntryOffset(index)} + EntrySize(index);
    const uint64_t pos = m_record->positions[index];
    // Measured against what is left of the entry, so a read never runs into the next entry's
    // bytes; a refused read leaves the position where it was.
    if (pos > end || n > end - pos) return 0;
    if (!ReadAt(static_cast<int>(m_record->fd), out, n, pos, end)) return 0;
    if (n > 0 && m_kind == IMAGE_KIND_ZQEN && !m_crypt.DecryptInPlace(out, n)) return 0;
    m_record->positions[index] = static_cast<uint32_t>(pos + n);
    return 1;
}

int CPhaseImage::CloseImage() {
    m_aheadLen = 0;
    if (!IsHandleValid()) return 1;
    int rc = 0;
    if (!IsContainer()) {
        rc = ::close(static_cast<int>(m_handle));
    } else {
        rc = ::close(static_cast<int>(m_record->fd));
        // The descriptor is released even when close reports an error; closing it again could
        // close a descriptor another thread has been given since.
        m_record.reset();
    }
    m_handle = 0;
    return rc == 0 ? 1 : 0;
}
