#pragma once
// A pseudo-terminal standing in for the phone's end of a serial link: the owner keeps the
// master, the link opens the slave path like any tty.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tw {

class PtyMaster {
  public:
    PtyMaster() = default;
    ~PtyMaster();
    PtyMaster(const PtyMaster&) = delete;
    PtyMaster& operator=(const PtyMaster&) = delete;

    // A new pair; the slave is put in raw mode at once so nothing is echoed or translated even
    // before the link configures it. False when no pty could be had.
    bool open();
    // Hangs up: the slave side then reads end of file and its writes fail.
    void close();
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& slave_path() const { return slave_; }

    // Writes all bytes (waiting while the pty is full); false on failure.
    bool write_all(const void* data, size_t len);
    // Reads what is there, waiting up to timeout (real time) for the first byte. Returns the
    // count, 0 on time-out, -1 on failure or when the slave side has closed.
    long read_some(void* buf, size_t cap, std::chrono::milliseconds timeout);

  private:
    int fd_ = -1;
    std::string slave_;
};

} // namespace tw
