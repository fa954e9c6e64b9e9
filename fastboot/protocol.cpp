#include "fastboot/protocol.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace tw::fastboot {

const char* result_name(int code) {
    switch (code) {
    case kOk:
        return "ok";
    case kErrArgument:
        return "bad argument";
    case kErrIo:
        return "link failed";
    case kErrTimeout:
        return "timed out";
    case kErrDeviceFail:
        return "device refused";
    case kErrProtocol:
        return "protocol error";
    case kErrTooLarge:
        return "image too large";
    case kErrCancelled:
        return "cancelled";
    case kErrBroken:
        return "link out of step";
    case kErrFileRead:
        return "image file read error";
    default:
        return "unknown error";
    }
}

std::string printable(const char* data, size_t len) {
    std::string s(data, len);
    for (char& c : s) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f) c = '?';
    }
    return s;
}

Reply parse_reply(const uint8_t* data, size_t len) {
    Reply r;
    if (len < 4) return r;
    static constexpr struct {
        const char* tag;
        ReplyKind kind;
    } kTags[] = {{"OKAY", ReplyKind::Okay},
                 {"FAIL", ReplyKind::Fail},
                 {"DATA", ReplyKind::Data},
                 {"INFO", ReplyKind::Info},
                 {"TEXT", ReplyKind::Text}};
    for (const auto& t : kTags) {
        if (std::memcmp(data, t.tag, 4) == 0) {
            r.kind = t.kind;
            break;
        }
    }
    const char* msg = reinterpret_cast<const char*>(data) + 4;
    size_t n = len - 4;
    // Devices often end a message with NUL padding or a line break; neither is part of it.
    while (n > 0 && (msg[n - 1] == '\0' || msg[n - 1] == '\n' || msg[n - 1] == '\r'))
        --n;
    r.message = printable(msg, n);
    return r;
}

bool parse_size(const std::string& text, uint64_t& out) {
    const char* b = text.data();
    const char* e = b + text.size();
    int base = 10;
    if (text.size() > 2 && b[0] == '0' && (b[1] == 'x' || b[1] == 'X')) {
        b += 2;
        base = 16;
    }
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(b, e, v, base);
    if (ec != std::errc{} || p != e || b == e || v == 0) return false;
    out = v;
    return true;
}

Protocol::Protocol(Transport& t, Timeouts timeouts, LogFn log)
    : t_(t), timeouts_(timeouts), log_(std::move(log)) {}

void Protocol::log(const std::string& line) {
    if (log_) log_(line);
}

int Protocol::fail(int code, std::string text) {
    error_ = std::move(text);
    log(error_);
    return code;
}

int Protocol::link_failure(int code, const std::string& what) {
    // The device may still be mid-command or mid-data; nothing later on this link can be
    // trusted to pair with its reply.
    broken_ = true;
    std::string detail = code == kErrTimeout     ? "timed out"
                         : code == kErrCancelled ? "device closed"
                                                 : t_.last_error();
    if (detail.empty()) detail = result_name(code);
    return fail(code, what + ": " + detail);
}

int Protocol::send_command(const std::string& cmd) {
    if (broken_) return fail(kErrBroken, "'" + cmd + "' not sent: the link is out of step");
    if (cmd.empty() || cmd.size() > kMaxCommand)
        return fail(kErrArgument, "command of " + std::to_string(cmd.size()) + " bytes (1 to " +
                                      std::to_string(kMaxCommand) + ")");
    int rc = t_.write(reinterpret_cast<const uint8_t*>(cmd.data()), cmd.size(),
                      clock::deadline_after_ms(timeouts_.write_ms));
    if (rc < 0) return link_failure(rc, "sending '" + cmd + "'");
    return kOk;
}

int Protocol::wait_reply(const std::string& cmd, int64_t packet_ms, Reply& out) {
    const Deadline cap = clock::deadline_after_ms(timeouts_.command_cap_ms);
    uint8_t buf[kMaxReply];
    for (;;) {
        if (clock::Steady::now() >= cap) return link_failure(kErrTimeout, "reply to '" + cmd + "'");
        Deadline d = std::min(cap, clock::deadline_after_ms(packet_ms));
        int n = t_.read(buf, sizeof buf, d);
        if (n < 0) return link_failure(n, "reply to '" + cmd + "'");
        if (n == 0) continue; // an empty packet carries nothing
        Reply r = parse_reply(buf, static_cast<size_t>(n));
        switch (r.kind) {
        case ReplyKind::Info:
            log("(bootloader) " + r.message);
            continue;
        case ReplyKind::Text:
            log(r.message);
            continue;
        case ReplyKind::Unknown:
            broken_ = true;
            return fail(kErrProtocol,
                        "reply to '" + cmd + "' is not a fastboot reply: '" +
                            printable(reinterpret_cast<const char*>(buf), static_cast<size_t>(n)) +
                            "'");
        default:
            out = std::move(r);
            return kOk;
        }
    }
}

int Protocol::command(const std::string& cmd, int64_t packet_ms, std::string* okay_text) {
    int rc = send_command(cmd);
    if (rc != kOk) return rc;
    Reply r;
    rc = wait_reply(cmd, packet_ms, r);
    if (rc != kOk) return rc;
    switch (r.kind) {
    case ReplyKind::Okay:
        if (okay_text) *okay_text = r.message;
        return kOk;
    case ReplyKind::Fail:
        return fail(kErrDeviceFail,
                    "'" + cmd + "' failed: " + (r.message.empty() ? "no reason given" : r.message));
    default:
        // DATA: the device now waits for bytes this command never meant to send.
        broken_ = true;
        return fail(kErrProtocol, "'" + cmd + "' answered with DATA" + r.message);
    }
}

int Protocol::getvar(const std::string& name, std::string& value) {
    return command("getvar:" + name, timeouts_.response_ms, &value);
}

int Protocol::reboot() {
    return command("reboot", timeouts_.response_ms);
}

int Protocol::download(const uint8_t* data, uint32_t size, ProgressFn progress, void* context) {
    if (!data && size) return fail(kErrArgument, "download without data");
    MemorySource src(data);
    return download(src, size, progress, context);
}

int Protocol::download(DataSource& source, uint32_t size, ProgressFn progress, void* context) {
    char cmd[24];
    std::snprintf(cmd, sizeof cmd, "download:%08x", size);
    int rc = send_command(cmd);
    if (rc != kOk) return rc;
    Reply r;
    rc = wait_reply(cmd, timeouts_.response_ms, r);
    if (rc != kOk) return rc;
    if (r.kind == ReplyKind::Fail)
        return fail(kErrDeviceFail, std::string("'") + cmd + "' failed: " +
                                        (r.message.empty() ? "no reason given" : r.message));
    if (r.kind != ReplyKind::Data)
        return fail(kErrProtocol, std::string("'") + cmd + "' answered OKAY instead of DATA");
    uint64_t announced = 0;
    bool hex8 = r.message.size() == 8 &&
                std::all_of(r.message.begin(), r.message.end(),
                            [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    if (!hex8 || !parse_size("0x" + r.message, announced)) announced = 0;
    if (!hex8 || announced != size) {
        // The device now waits for a different amount of data than we hold.
        broken_ = true;
        return fail(kErrProtocol, std::string("'") + cmd + "' answered DATA" + r.message);
    }

    const size_t chunk = std::max<size_t>(1, t_.max_write());
    const int file = t_.sends_files() ? source.file() : -1;
    std::string why;
    for (uint32_t off = 0; off < size;) {
        const size_t len = std::min<size_t>(chunk, size - off);
        const Deadline deadline = clock::deadline_after_ms(timeouts_.write_ms);
        const uint8_t* p = file >= 0 ? nullptr : source.chunk(off, len, why);
        if (file < 0 && !p)
            rc = kErrFileRead;
        else if (file >= 0)
            rc = t_.write_file(file, off, len, deadline);
        else
            rc = t_.write(p, len, deadline);
        if (rc == kErrFileRead) {
            // The device counts on the rest of the announced bytes; nothing later pairs up.
            broken_ = true;
            if (file >= 0) why = t_.last_error();
            return fail(kErrFileRead, "image read failed after " + std::to_string(off) + " of " +
                                          std::to_string(size) + " bytes were sent: " + why);
        }
        if (rc < 0)
            return link_failure(rc, "sending data at byte " + std::to_string(off) + " of " +
                                        std::to_string(size));
        off += static_cast<uint32_t>(len);
        if (progress) progress(context, static_cast<int64_t>(len));
    }

    rc = wait_reply(cmd, timeouts_.response_ms, r);
    if (rc != kOk) return rc;
    if (r.kind == ReplyKind::Okay) return kOk;
    if (r.kind == ReplyKind::Fail)
        return fail(kErrDeviceFail, std::string("download failed: ") +
                                        (r.message.empty() ? "no reason given" : r.message));
    broken_ = true;
    return fail(kErrProtocol, "download answered with DATA" + r.message);
}

int Protocol::flash(const std::string& partition, const uint8_t* data, uint32_t size,
                    ProgressFn progress, void* context) {
    if (!data && size) return fail(kErrArgument, "flash without data");
    MemorySource src(data);
    DownloadLimit limit;
    return flash(partition, src, size, progress, context, limit);
}

int Protocol::flash(const std::string& partition, DataSource& source, uint32_t size,
                    ProgressFn progress, void* context, DownloadLimit& limit) {
    if (broken_) return fail(kErrBroken, "flash " + partition + ": the link is out of step");
    const std::string cmd = "flash:" + partition;
    bool name_ok = !partition.empty() && cmd.size() <= kMaxCommand &&
                   std::all_of(partition.begin(), partition.end(), [](char c) {
                       auto u = static_cast<unsigned char>(c);
                       return u > 0x20 && u < 0x7f;
                   });
    if (!name_ok)
        return fail(kErrArgument,
                    "bad partition name '" + printable(partition.data(), partition.size()) + "'");
    std::string why;
    if (!source.unchanged(why)) return fail(kErrFileRead, "flash " + partition + ": " + why);

    if (!limit.asked) {
        std::string value;
        int rc = getvar("max-download-size", value);
        if (rc == kOk) {
            uint64_t max = 0;
            if (!parse_size(value, max))
                return fail(kErrProtocol, "device reported max-download-size '" + value + "'");
            limit = {true, true, max};
        } else if (rc == kErrDeviceFail) {
            log("max-download-size not reported; sending " + std::to_string(size) + " bytes");
            limit = {true, false, 0};
        } else {
            return rc;
        }
    }
    if (limit.reported && size > limit.max)
        return fail(kErrTooLarge, "image for " + partition + " is " + std::to_string(size) +
                                      " bytes, larger than the device's max-download-size " +
                                      std::to_string(limit.max));

    int rc = download(source, size, progress, context);
    if (rc != kOk) return rc;
    // Bytes that changed while they went out may be a mix of two files: the device keeps them
    // in its download buffer, but they are not written.
    if (!source.unchanged(why))
        return fail(kErrFileRead, "flash " + partition + " not sent: " + why);
    return command(cmd, timeouts_.flash_ms);
}

} // namespace tw::fastboot
