#pragma once
// A COM port on Linux: a tty opened for exclusive use, in raw mode with the line settings of the
// link, and a close event that poll() can wait on beside the port. The link service builds its
// threads, its overlapped-style write and its teardown on these calls.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

struct pollfd;

namespace tw {

// Codes in the form the link reports them (the Windows error numbers its callers know).
constexpr int kSerialErrorNotFound = 2;
constexpr int kSerialErrorAccessDenied = 5;
constexpr int kSerialErrorInUse = 170;

struct LineSettings {
    int baud = 38400;
    uint8_t byte_size = 8; // 5 to 8
    uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stop_bits = 0; // 0 one, 1 one and a half (two on Linux), 2 two
};

// Opens the tty at path for reading and writing, non-blocking, never as a controlling terminal,
// and takes it exclusively (TIOCEXCL and an flock, since root passes TIOCEXCL). Returns the
// descriptor, or -1 with error set: kSerialErrorInUse when another holder has the port,
// kSerialErrorNotFound, kSerialErrorAccessDenied, else the errno value. Nothing stays open on
// failure.
int serial_open(const std::string& path, int& error);
// Gives up the exclusive hold and closes.
void serial_close(int fd);
// Raw mode with the given line settings: no echo, no line editing, no translation, no output flow
// control, input flow control (XON 0x11 / XOFF 0x13) on, reads return at once, DTR and RTS raised
// where the device has them. False when the device refuses the settings or they are not valid.
bool serial_configure(int fd, const LineSettings& settings);
// Discards what is queued in both directions.
bool serial_purge(int fd);
// Discards what has been received and not yet read.
bool serial_purge_input(int fd);

// A manual-reset event that poll() can wait on beside a port (an eventfd). Closing it wakes every
// waiter; its descriptor is released only once no waiter holds it, so a descriptor number is never
// polled after it could have been reused.
class PollEvent {
  public:
    PollEvent() = default;
    ~PollEvent();
    PollEvent(const PollEvent&) = delete;
    PollEvent& operator=(const PollEvent&) = delete;

    // A fresh, non-signalled event. False when no descriptor could be had.
    bool create();
    // The event is gone: waiters wake and exists() turns false.
    void close();
    bool exists() const;
    void set();
    void reset();
    bool is_set() const;
    // Waits until set or gone (true) or the real time-out passes (false); negative: for ever.
    bool wait(std::chrono::nanoseconds timeout);

    // For callers building their own poll set: pins the descriptor (or returns -1 when gone);
    // every acquire is paired with a release.
    int acquire();
    void release();

  private:
    void close_fd_locked();

    mutable std::mutex m_;
    int fd_ = -1;
    bool exists_ = false;
    bool set_ = false;
    int users_ = 0;
};

// ppoll with a real time-out (negative: for ever), restarted after signals.
int poll_wait(pollfd* fds, unsigned long n, std::chrono::nanoseconds timeout);

enum class PortWait {
    Ready,   // the port has what was asked for (it may also have hung up)
    Closed,  // the event was set or is gone
    Hangup,  // the other side went away or the device failed
    Timeout, // nothing within the time-out
    Failed,  // the descriptor is not valid
};

// Waits until the port is ready for events (POLLIN or POLLOUT) or the event is set. Negative
// time-out: for ever. revents, when given, receives what poll reported for the port.
PortWait serial_wait(int fd, short events, PollEvent& event, std::chrono::nanoseconds timeout,
                     short* revents = nullptr);

} // namespace tw
