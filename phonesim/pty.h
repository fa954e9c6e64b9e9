#pragma once
// A pseudo-terminal standing in for a phone's USB serial port. The simulator holds the master
// and one descriptor of the slave, in raw mode before any byte flows. Holding the slave means
// the host may close and reopen the port as often as it likes without the master ever seeing a
// hang-up (which would make poll report POLLHUP for ever), and lets the phone see whether the
// host has read what it sent.
#include <string>

namespace phonesim {

class Pty {
  public:
    Pty() = default;
    ~Pty() { close(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool open(std::string& err);
    void close();
    bool is_open() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& path() const { return path_; }
    // Bytes the phone sent that the host has not read yet.
    int unread_by_host() const;

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

} // namespace phonesim
