#pragma once
// Image files: every byte the engine sends comes through CPhaseImage, either a plain file read
// front to back or one entry of a merged container (ZQDE stored plain, ZQEN enciphered with
// Crypt) that holds up to 48 images behind a 16 KiB header.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Codes of ImageKind(path), from the text after the last '.', case ignored.
constexpr int IMAGE_KIND_OTHER = 0;
constexpr int IMAGE_KIND_ZQEN = 1; // container, enciphered
constexpr int IMAGE_KIND_ZQDE = 2; // container, plain
constexpr int IMAGE_KIND_BIN = 3;
constexpr int IMAGE_KIND_HEX = 4;

int ImageKind(const char* path);
inline int ImageKind(const std::string& path) {
    return ImageKind(path.c_str());
}

// Container layout.
constexpr char kContainerMagic[] = "ZQSH_MERGED_BIN"; // 15 characters and a NUL
constexpr size_t kContainerHeaderSize = 0x4000;
constexpr size_t kContainerCountOffset = 0x0FFF;
constexpr size_t kContainerTableOffset = 0x1000;
constexpr size_t kContainerEntrySize = 256;
constexpr int kContainerMaxEntries = 48;
constexpr size_t kEntryIdOffset = 0;
constexpr size_t kEntryDataOffset = 3;
constexpr size_t kEntryDataSize = 7;
constexpr size_t kEntryNameOffset = 11;
constexpr size_t kEntryNameMax = 245; // terminating NUL included

// Every image reader constructs its cipher with this key text.
constexpr char kImageKeyText[] = "quenvoral";

// Sizes and offsets are 32-bit, so a file is readable only below 4 GiB.
constexpr uint64_t kImageSizeLimit = uint64_t{1} << 32;

// The byte cipher of ZQEN files. Each byte is XORed with the low byte of the key value and the
// low byte of (data length - 5); position plays no part, so any stretch of a file deciphers on
// its own once the whole file's length is set. Enciphering and deciphering are the same.
class Crypt {
  public:
    // The key value starts from this seed ("tarnwell" in ASCII, read big-endian) before the key
    // text is folded in. Fixed: containers written with one seed are unreadable with another.
    static constexpr uint64_t kKeySeed = 0x7461726E77656C6CULL;

    explicit Crypt(const char* key);
    virtual ~Crypt() = default;
    Crypt(const Crypt&) = default;
    Crypt& operator=(const Crypt&) = default;

    void SetLength(uint64_t n) { m_dataLength = n; }
    uint64_t Length() const { return m_dataLength; }
    uint64_t KeyValue() const { return (uint64_t{m_keyHigh} << 32) | m_keyLow; }
    // The byte every data byte is XORed with; meaningful only with a length set.
    uint8_t Mask() const;

    // 1 on success; 0 when the length is 0 or a pointer is null.
    int DecryptCopy(const uint8_t* source, size_t n, uint8_t* target) const;
    // The buffer, or null on refusal.
    uint8_t* DecryptInPlace(uint8_t* buffer, size_t n) const;

  private:
    uint64_t m_dataLength = 0;
    std::string m_key;
    uint32_t m_keyLow = 0;
    uint32_t m_keyHigh = 0;
};

// The in-memory form of an open container.
struct ContainerRecord {
    uint8_t header[kContainerHeaderSize]; // deciphered for ZQEN
    intptr_t fd;
    uint32_t positions[kContainerMaxEntries];
};

class CPhaseImage {
  public:
    CPhaseImage();
    // Closes what the caller left open (the file and the container record).
    virtual ~CPhaseImage();
    CPhaseImage(const CPhaseImage&) = delete;
    CPhaseImage& operator=(const CPhaseImage&) = delete;

    // 1 on success, 0 on failure. shareMode is kept for callers; Linux has no share modes.
    int OpenImage(const char* path, int shareMode = 0);
    void SelectEntry(int id) { m_selectedId = id; }
    int SelectedEntry() const { return m_selectedId; }
    // Offset and size of the plain file (0, its size) or of the selected entry. The entry's
    // name is copied into name (cut to nameSize - 1 bytes) when one is given.
    int GetImageSize(uint32_t& offset, uint32_t& size, char* name = nullptr, size_t nameSize = 0);
    // 1 when exactly n bytes were delivered, else 0. Reads ahead in one window: a file changed
    // while it is read may give bytes it had when the window was filled.
    int ReadImage(void* buffer, uint32_t n);
    int CloseImage();
    // Entry index of id; -1 when none has it, -2 when not a container.
    int FindEntry(int id) const;
    bool IsContainer() const { return m_kind == IMAGE_KIND_ZQEN || m_kind == IMAGE_KIND_ZQDE; }
    // The test callers make before closing: the handle is neither -1 nor 0.
    bool IsHandleValid() const { return m_handle != -1 && m_handle != 0; }
    int Kind() const { return m_kind; }
    // Entries of the open container (0 for a plain file).
    int EntryCount() const;
    // The current read position of an entry slot, for callers that check progress.
    uint32_t EntryPosition(int index) const;

  private:
    // Index the selected id reads: FindEntry, with ids 1 and 2 reading the third entry.
    int SelectedIndex() const;
    const uint8_t* Entry(int index) const;
    uint32_t EntryOffset(int index) const;
    uint32_t EntrySize(int index) const;

    // n bytes at pos, through the read-ahead window; limit: where the readable bytes end.
    bool ReadAt(int fd, uint8_t* out, uint32_t n, uint64_t pos, uint64_t limit);

    // Senders read blocks of about 1 KiB in order: one system call fetches this many at once.
    static constexpr uint32_t kReadAhead = 64 * 1024;

    int32_t m_selectedId = 0;
    Crypt m_crypt{kImageKeyText};
    intptr_t m_handle = -1; // -1 not open; plain: the descriptor; container: the record
    int32_t m_kind = IMAGE_KIND_OTHER;
    std::unique_ptr<ContainerRecord> m_record; // owns what m_handle points at for a container
    uint64_t m_fileSize = 0;
    uint64_t m_plainPos = 0;            // a plain file's read position
    std::unique_ptr<uint8_t[]> m_ahead; // the read-ahead window: file bytes from m_aheadAt
    uint64_t m_aheadAt = 0;
    uint32_t m_aheadLen = 0;
};
