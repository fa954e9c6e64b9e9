#pragma once
// An image file kept open once loaded and shared read-only by every flashing run. Its bytes are
// never copied whole into the process: they stay in the kernel's page cache, one copy for every
// run and every process. A run reads them with pread, a chunk at a time, into one buffer of its
// own; over TCP the socket takes them straight from the file (sendfile) and even that copy is
// saved. A file shortened, rewritten or replaced after loading fails the flash (a short read, or
// the checks around a download), never the program: nothing of it is mapped, so no SIGBUS.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>

#include "fastboot/protocol.h"

namespace tw::fastboot {

enum LoadError : uint32_t {
    kLoadOk = 0,
    kLoadNoFile = 1,    // the file does not exist
    kLoadNoMemory = 2,  // no memory for it
    kLoadReadError = 3, // anything else: unreadable, not a regular file, 4 GiB or more, changed
};

class Image {
  public:
    Image() = default;
    ~Image();
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    // Opens the regular file at path, checks its size (below 4 GiB) and asks the kernel to read
    // it into the page cache ahead of the first flash. A LoadError.
    uint32_t load(const std::string& path);

    uint32_t size() const { return size_; }
    // The open file, for sendfile; valid while the Image lives.
    int fd() const { return fd_; }

    // Exactly len bytes from offset off into buf. False when the file no longer has them (it
    // was shortened) or cannot be read; why in error. Safe from any number of threads at once.
    bool read(uint64_t off, uint8_t* buf, size_t len, std::string& error) const;

    // True while the path still names the loaded file and that file has the size and the
    // modification time it had when loaded. False, with why in error, when it was shortened,
    // rewritten, replaced or removed since.
    bool unchanged(std::string& error) const;

  private:
    int fd_ = -1;
    uint32_t size_ = 0;
    std::string path_; // absolute, so a later change of working folder does not matter
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    timespec mtime_{};
};

// A loaded image as the protocol reads it: through one buffer of the caller's (a chunk at a
// time, with pread), or straight from the file by a transport that sends files itself.
class ImageSource : public DataSource {
  public:
    // buffer holds at least one chunk (the transport's max_write).
    ImageSource(const Image& image, uint8_t* buffer) : image_(image), buffer_(buffer) {}
    const uint8_t* chunk(uint64_t off, size_t len, std::string& error) override {
        return image_.read(off, buffer_, len, error) ? buffer_ : nullptr;
    }
    bool unchanged(std::string& error) override { return image_.unchanged(error); }
    int file() const override { return image_.fd(); }

  private:
    const Image& image_;
    uint8_t* buffer_;
};

} // namespace tw::fastboot
