#include "fastboot/transport_tcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <vector>

namespace tw::fastboot {
namespace {

constexpr uint16_t kDefaultPort = 5554;
// Polls in slices so a cancel that lands between the flag check and poll is still seen quickly.
constexpr int kSliceMs = 100;

int remaining_ms(Deadline deadline) {
    auto left = deadline - clock::Steady::now();
    if (left <= clock::Steady::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<int64_t>(ms, kSliceMs));
}

void put_be64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(v);
        v >>= 8;
    }
}

// sendfile has no MSG_NOSIGNAL: while one runs, SIGPIPE is held for the calling thread (the
// kernel sends it to that thread), and one it raised is taken back before the mask is restored,
// so a closed connection is an error code, never a signal that ends the program.
class SigpipeHeld {
  public:
    SigpipeHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeHeld() {
        if (raised_ && !was_pending_) {
            timespec zero{};
            ::sigtimedwait(&pipe_, nullptr, &zero);
        }
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeHeld(const SigpipeHeld&) = delete;
    SigpipeHeld& operator=(const SigpipeHeld&) = delete;
    void raised() { raised_ = true; }

  private:
    sigset_t pipe_{}, old_{};
    bool was_pending_ = false;
    bool raised_ = false;
};

uint64_t get_be64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    return v;
}

} // namespace

bool parse_tcp_name(const std::string& name, std::string& host, uint16_t& port) {
    if (name.rfind("tcp:", 0) != 0) return false;
    std::string rest = name.substr(4);
    std::string port_text;
    if (!rest.empty() && rest[0] == '[') {
        auto close = rest.find(']');
        if (close == std::string::npos) return false;
        host = rest.substr(1, close - 1);
        std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return false;
            port_text = after.substr(1);
            if (port_text.empty()) return false;
        }
    } else {
        auto colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port_text = rest.substr(colon + 1);
            if (port_text.empty() || port_text.find(':') != std::string::npos) return false;
        }
    }
    if (host.empty()) return false;
    if (port_text.empty()) {
        port = kDefaultPort;
        return true;
    }
    unsigned v = 0;
    auto [p, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), v);
    if (ec != std::errc{} || p != port_text.data() + port_text.size() || v == 0 || v > 65535)
        return false;
    port = static_cast<uint16_t>(v);
    return true;
}

std::unique_ptr<TcpTransport> TcpTransport::connect(const std::string& host, uint16_t port,
                                                    int64_t timeout_ms, std::string& error) {
    const Deadline deadline = clock::deadline_after_ms(timeout_ms);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    int gai = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (gai != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(gai);
        return nullptr;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);

    error = "no address for " + host;
    for (addrinfo* ai = list.get(); ai; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          ai->ai_protocol);
        if (fd < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int left;
            do {
                auto ms =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::Steady::now());
                left = static_cast<int>(std::max<int64_t>(0, ms.count()));
                rc = ::poll(&p, 1, left);
            } while (rc < 0 && errno == EINTR);
            if (rc == 0) {
                ::close(fd);
                error = "connecting to " + host + ":" + service + " timed out";
                continue;
            }
            int soerr = 0;
            socklen_t sl = sizeof soerr;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl);
            rc = soerr ? -1 : 0;
            errno = soerr;
        }
        if (rc != 0) {
            error = "connecting to " + host + ":" + service + ": " + std::strerror(errno);
            ::close(fd);
            continue;
        }
        return adopt(fd, timeout_ms, error);
    }
    return nullptr;
}

std::unique_ptr<TcpTransport> TcpTransport::adopt(int fd, int64_t timeout_ms, std::string& error) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int one = 1;
    // Commands are tiny and each waits for its reply; batching them only adds latency.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Little data queued unsent: each write transmits what it queues on this thread, instead of
    // the peer's acknowledgements pushing a deep queue out on the peer's time (over loopback the
    // phone simulator paid for our sending; it was a third slower per download).
    int lowat = 64 << 10;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof lowat);
    std::unique_ptr<TcpTransport> t(new TcpTransport(fd));
    if (t->handshake(clock::deadline_after_ms(timeout_ms)) != kOk) {
        error = t->error_;
        return nullptr;
    }
    return t;
}

TcpTransport::~TcpTransport() {
    if (fd_ >= 0) ::close(fd_);
}

int TcpTransport::failed(int code, std::string text) {
    error_ = std::move(text);
    return code;
}

int TcpTransport::handshake(Deadline deadline) {
    static const uint8_t kHello[4] = {'F', 'B', '0', '1'};
    int rc = send_all(kHello, sizeof kHello, nullptr, 0, deadline);
    if (rc != kOk) return rc;
    uint8_t got[4];
    rc = recv_all(got, sizeof got, deadline);
    if (rc != kOk) return failed(rc, "handshake: " + error_);
    // Both sides speak the lower of the two versions; we speak 1, so any later version will do.
    bool digits = got[2] >= '0' && got[2] <= '9' && got[3] >= '0' && got[3] <= '9';
    if (got[0] != 'F' || got[1] != 'B' || !digits || (got[2] == '0' && got[3] == '0')) {
        broken_ = true;
        return failed(kErrProtocol, "handshake: the device did not answer FB01");
    }
    return kOk;
}

void TcpTransport::cancel() {
    cancelled_.store(true);
    // Wakes a poll in progress; the descriptor itself stays open until the destructor.
    ::shutdown(fd_, SHUT_RDWR);
}

int TcpTransport::wait(short events, Deadline deadline) {
    for (;;) {
        if (cancelled_.load()) return failed(kErrCancelled, "cancelled");
        int ms = remaining_ms(deadline);
        if (ms == 0 && clock::Steady::now() >= deadline) return failed(kErrTimeout, "timed out");
        pollfd p{fd_, events, 0};
        int rc = ::poll(&p, 1, ms);
        if (rc < 0 && errno != EINTR) return failed(kErrIo, std::strerror(errno));
        if (rc > 0) return kOk; // readable, writable, hang-up or error: the next call tells
    }
}

int TcpTransport::send_all(const uint8_t* head, size_t head_len, const uint8_t* body,
                           size_t body_len, Deadline deadline, int flags) {
    iovec iov[2] = {{const_cast<uint8_t*>(head), head_len}, {const_cast<uint8_t*>(body), body_len}};
    int iovcnt = body_len ? 2 : 1;
    iovec* v = iov;
    size_t total = head_len + body_len, sent = 0;
    while (sent < total) {
        if (cancelled_.load()) return failed(kErrCancelled, "cancelled");
        msghdr msg{};
        msg.msg_iov = v;
        msg.msg_iovlen = static_cast<size_t>(iovcnt);
        ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | flags);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                int rc = wait(POLLOUT, deadline);
                if (rc != kOk) {
                    if (sent) broken_ = true;
                    return rc;
                }
                continue;
            }
            broken_ = true;
            return failed(cancelled_.load() ? kErrCancelled : kErrIo,
                          std::string("connection lost: ") + std::strerror(errno));
        }
        sent += static_cast<size_t>(n);
        size_t k = static_cast<size_t>(n);
        while (iovcnt > 0 && k >= v->iov_len) {
            k -= v->iov_len;
            ++v;
            --iovcnt;
        }
        if (iovcnt > 0) {
            v->iov_base = static_cast<uint8_t*>(v->iov_base) + k;
            v->iov_len -= k;
        }
    }
    return kOk;
}

int TcpTransport::recv_all(uint8_t* buf, size_t len, Deadline deadline) {
    size_t got = 0;
    while (got < len) {
        if (cancelled_.load()) return failed(kErrCancelled, "cancelled");
        ssize_t n = ::recv(fd_, buf + got, len - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            broken_ = true;
            return failed(cancelled_.load() ? kErrCancelled : kErrIo,
                          "connection closed by the device");
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int rc = wait(POLLIN, deadline);
            if (rc != kOk) {
                if (got) broken_ = true;
                return rc;
            }
            continue;
        }
        broken_ = true;
        return failed(kErrIo, std::string("connection lost: ") + std::strerror(errno));
    }
    return kOk;
}

int TcpTransport::write(const uint8_t* data, size_t len, Deadline deadline) {
    if (broken_) return failed(kErrIo, "connection out of step after an earlier failure");
    uint8_t head[8];
    put_be64(head, len);
    return send_all(head, sizeof head, data, len, deadline);
}

int TcpTransport::write_file(int fd, uint64_t off, size_t len, Deadline deadline) {
    if (broken_) return failed(kErrIo, "connection out of step after an earlier failure");
    uint8_t head[8];
    put_be64(head, len);
    // MSG_MORE: the length goes out with the first data, not in a segment of its own.
    int rc = send_all(head, sizeof head, nullptr, 0, deadline, MSG_MORE);
    if (rc != kOk) return rc;
    // The length is out: a packet cut short from here on leaves the stream out of step.
    rc = send_file_body(fd, static_cast<off_t>(off), len, deadline);
    if (rc != kOk) broken_ = true;
    return rc;
}

int TcpTransport::send_file_body(int fd, off_t pos, size_t len, Deadline deadline) {
    SigpipeHeld hold;
    size_t left = len;
    while (left > 0) {
        if (cancelled_.load()) return failed(kErrCancelled, "cancelled");
        ssize_t n = ::sendfile(fd_, fd, &pos, left);
        if (n > 0) {
            left -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            return failed(kErrFileRead, "the file ends at byte " + std::to_string(pos) + ", " +
                                            std::to_string(left) + " bytes short");
        const int e = errno;
        if (e == EINTR) continue;
        if (e == EAGAIN || e == EWOULDBLOCK) {
            int rc = wait(POLLOUT, deadline);
            if (rc != kOk) return rc;
            continue;
        }
        // A file system that cannot hand its pages to a socket: read the rest instead.
        if (e == EINVAL || e == ENOSYS) return send_file_by_reads(fd, pos, left, deadline);
        if (e == EPIPE) hold.raised();
        // sendfile's errors mix both ends: ask the socket whether it is the one that failed.
        int soerr = 0;
        socklen_t sl = sizeof soerr;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soerr, &sl);
        if (e == EPIPE || e == ECONNRESET || e == ENOTCONN || soerr != 0)
            return failed(cancelled_.load() ? kErrCancelled : kErrIo,
                          std::string("connection lost: ") + std::strerror(soerr ? soerr : e));
        return failed(kErrFileRead, std::string("reading the file at byte ") + std::to_string(pos) +
                                        ": " + std::strerror(e));
    }
    return kOk;
}

int TcpTransport::send_file_by_reads(int fd, off_t pos, size_t left, Deadline deadline) {
    std::vector<uint8_t> buf(std::min<size_t>(left, size_t{64} << 10));
    while (left > 0) {
        ssize_t n = ::pread(fd, buf.data(), std::min(left, buf.size()), pos);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            return failed(kErrFileRead, std::string("reading the file at byte ") +
                                            std::to_string(pos) + ": " + std::strerror(errno));
        if (n == 0)
            return failed(kErrFileRead, "the file ends at byte " + std::to_string(pos) + ", " +
                                            std::to_string(left) + " bytes short");
        int rc = send_all(buf.data(), static_cast<size_t>(n), nullptr, 0, deadline);
        if (rc != kOk) return rc;
        pos += n;
        left -= static_cast<size_t>(n);
    }
    return kOk;
}

int TcpTransport::read(uint8_t* buf, size_t cap, Deadline deadline) {
    if (broken_) return failed(kErrIo, "connection out of step after an earlier failure");
    uint8_t head[8];
    int rc = recv_all(head, sizeof head, deadline);
    if (rc != kOk) return rc;
    const uint64_t len = get_be64(head);
    if (len > cap) {
        // The body is still in the stream; skipping an untrusted length is not worth it.
        broken_ = true;
        return failed(kErrProtocol, "packet of " + std::to_string(len) + " bytes, more than the " +
                                        std::to_string(cap) + " a reply may have");
    }
    rc = recv_all(buf, static_cast<size_t>(len), deadline);
    if (rc != kOk) {
        broken_ = true;
        return rc;
    }
    return static_cast<int>(len);
}

} // namespace tw::fastboot
