#pragma once
// Fastboot over TCP: after connecting, each side sends "FB" and a two-digit version ("FB01"),
// then every packet in either direction is a u64 big-endian length followed by the data.
#include <atomic>
#include <memory>
#include <string>
#include <sys/types.h>

#include "fastboot/transport.h"

namespace tw::fastboot {

// "tcp:HOST:PORT" or "tcp:HOST" (port 5554); HOST may be "[v6 address]". False for anything else.
bool parse_tcp_name(const std::string& name, std::string& host, uint16_t& port);

class TcpTransport : public Transport {
  public:
    // Connects and handshakes within one time-out (nominal ms). Null on failure, with error set.
    static std::unique_ptr<TcpTransport> connect(const std::string& host, uint16_t port,
                                                 int64_t timeout_ms, std::string& error);
    // Takes a connected socket and handshakes on it (tests, servers handing over a socket).
    static std::unique_ptr<TcpTransport> adopt(int fd, int64_t timeout_ms, std::string& error);
    ~TcpTransport() override;

    int write(const uint8_t* data, size_t len, Deadline deadline) override;
    int read(uint8_t* buf, size_t cap, Deadline deadline) override;
    // The page cache straight to the socket (sendfile): no copy in the process.
    bool sends_files() const override { return true; }
    int write_file(int fd, uint64_t off, size_t len, Deadline deadline) override;
    void cancel() override;
    std::string last_error() const override { return error_; }

  private:
    explicit TcpTransport(int fd) : fd_(fd) {}
    int handshake(Deadline deadline);
    // Exactly len bytes, or a negative Result.
    int send_all(const uint8_t* head, size_t head_len, const uint8_t* body, size_t body_len,
                 Deadline deadline, int flags = 0);
    int recv_all(uint8_t* buf, size_t len, Deadline deadline);
    // A packet's body from a file: sendfile, or pread and send where the file system cannot.
    int send_file_body(int fd, off_t pos, size_t len, Deadline deadline);
    int send_file_by_reads(int fd, off_t pos, size_t left, Deadline deadline);
    // Waits for the socket to be readable or writable; kOk or a negative Result.
    int wait(short events, Deadline deadline);
    int failed(int code, std::string text);

    int fd_;
    std::atomic<bool> cancelled_{false};
    bool broken_ = false; // a partial packet went out or came in: the stream is out of step
    std::string error_;
};

} // namespace tw::fastboot
