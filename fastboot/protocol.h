#pragma once
// The fastboot command protocol on top of any Transport: commands of at most 64 bytes, replies
// of at most 256 bytes ("OKAY", "FAIL", "DATA", "INFO", "TEXT" and a message), a data phase
// announced by DATA%08x. Every wait has a deadline taken from the scaled clock.
#include <cstdint>
#include <functional>
#include <string>

#include "fastboot/transport.h"

namespace tw::fastboot {

constexpr size_t kMaxCommand = 64;
constexpr size_t kMaxReply = 256;

// Nominal milliseconds (scaled by the clock).
struct Timeouts {
    int64_t response_ms = 5000;      // each reply packet after getvar, download, reboot
    int64_t flash_ms = 120000;       // each reply packet after flash: (the device writes storage)
    int64_t write_ms = 10000;        // each command or data chunk going out
    int64_t command_cap_ms = 600000; // one command in all, however many INFO lines keep it alive
};

// Receives each byte count as a chunk of download data has gone out.
using ProgressFn = void (*)(void* context, int64_t bytes);
using LogFn = std::function<void(const std::string& line)>;

enum class ReplyKind { Okay, Fail, Data, Info, Text, Unknown };
struct Reply {
    ReplyKind kind = ReplyKind::Unknown;
    std::string message; // the bytes after the 4-letter tag, control characters replaced
};
// Splits one reply packet. Fewer than 4 bytes or an unknown tag gives Unknown.
Reply parse_reply(const uint8_t* data, size_t len);
// Replaces bytes that could drive a terminal (control characters, non-ASCII) with '?'.
std::string printable(const char* data, size_t len);
// "0x10000000" or "268435456"; false for empty, junk, zero or more than 64 bits.
bool parse_size(const std::string& text, uint64_t& out);

// Where download data comes from: memory, or an image file read chunk by chunk.
class DataSource {
  public:
    virtual ~DataSource() = default;
    // len bytes from offset off, valid until the next call; null when they cannot be had, with
    // the reason in error.
    virtual const uint8_t* chunk(uint64_t off, size_t len, std::string& error) = 0;
    // Asked before the download starts and again before flash: is sent: false (with the reason)
    // when the data may no longer be what was loaded, so nothing of it is written to the device.
    virtual bool unchanged(std::string& error) {
        (void)error;
        return true;
    }
    // The open file the bytes come from (offset 0 is the first byte), for a transport that
    // sends files itself; -1 when there is none.
    virtual int file() const { return -1; }
};

// Bytes already in memory, sent from where they lie.
class MemorySource : public DataSource {
  public:
    explicit MemorySource(const uint8_t* data) : data_(data) {}
    const uint8_t* chunk(uint64_t off, size_t, std::string&) override { return data_ + off; }

  private:
    const uint8_t* data_;
};

// What a device said of max-download-size, kept so it is asked once per opened device.
struct DownloadLimit {
    bool asked = false;
    bool reported = false; // false: the device does not know the variable
    uint64_t max = 0;
};

// One conversation with one device; used by one thread at a time.
class Protocol {
  public:
    explicit Protocol(Transport& t, Timeouts timeouts = {}, LogFn log = {});

    // getvar:<name>; the OKAY text in value. kErrDeviceFail for a variable the device lacks.
    int getvar(const std::string& name, std::string& value);

    // download:%08x, checks the DATA size, sends data in chunks of the transport's max_write
    // (progress after each), waits for OKAY. A source's file goes to a transport that sends
    // files itself without passing through the process. A chunk the source cannot give fails
    // with kErrFileRead and leaves the link out of step (the device still waits for data).
    int download(DataSource& source, uint32_t size, ProgressFn progress, void* context);
    int download(const uint8_t* data, uint32_t size, ProgressFn progress, void* context);

    // Asks max-download-size unless limit already holds the answer, refuses an image that
    // exceeds it before anything else is sent, downloads, then flash:<partition>. A device that
    // does not report the variable is sent the image anyway and has the last word. A source
    // that has changed fails with kErrFileRead: before the download, or after it with the
    // flash: never sent (the link stays in step either way).
    int flash(const std::string& partition, DataSource& source, uint32_t size, ProgressFn progress,
              void* context, DownloadLimit& limit);
    // The same from memory, asking max-download-size every time.
    int flash(const std::string& partition, const uint8_t* data, uint32_t size, ProgressFn progress,
              void* context);

    int reboot();

    // Any command that ends in OKAY (or FAIL), e.g. "erase:cache". packet_ms bounds each reply.
    int command(const std::string& cmd, int64_t packet_ms, std::string* okay_text = nullptr);

    // Text of the last failure: the device's FAIL message or what went wrong on the link.
    const std::string& last_error() const { return error_; }
    // True after a failure that leaves the device mid-exchange; every later call gives kErrBroken.
    bool broken() const { return broken_; }

  private:
    int send_command(const std::string& cmd);
    // Reads replies until one that ends the exchange; INFO and TEXT are logged on the way.
    int wait_reply(const std::string& cmd, int64_t packet_ms, Reply& out);
    int fail(int code, std::string text);
    int link_failure(int code, const std::string& what);
    void log(const std::string& line);

    Transport& t_;
    Timeouts timeouts_;
    LogFn log_;
    std::string error_;
    bool broken_ = false;
};

} // namespace tw::fastboot
