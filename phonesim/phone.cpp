#include "phonesim/phone.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/clock.h"

namespace phonesim {

const char* phase_name(Phase p) {
    switch (p) {
    case Phase::Diag:
        return "diag";
    case Phase::Dmss:
        return "dmss";
    case Phase::Stream:
        return "stream";
    case Phase::Booting:
        return "booting";
    case Phase::Android:
        return "android";
    case Phase::Fastboot:
        return "fastboot";
    case Phase::Disk:
        return "disk";
    case Phase::Away:
        return "away";
    case Phase::Off:
        return "off";
    }
    return "?";
}

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// A fastboot read takes what the socket holds, up to this much.
constexpr size_t kTcpReadSize = size_t{1} << 20;

nanoseconds scaled_ms(int64_t ms) {
    return tw::clock::scaled(milliseconds{ms});
}

// A leaving port stays open until the host has read the phone's last answer (closing the master
// would flush it unread), at least this long after the phone's last byte...
nanoseconds retire_min() {
    return tw::clock::scaled_timeout(milliseconds{1000});
}
// ...and never longer than this.
nanoseconds retire_max() {
    return 2 * tw::clock::scaled_timeout(milliseconds{10000});
}
nanoseconds retire_check() {
    return std::max<nanoseconds>(milliseconds{1}, tw::clock::scaled(milliseconds{20}));
}

size_t hex_into(char* dst, size_t cap, const uint8_t* p, size_t n, size_t max) {
    static const char* digits = "0123456789ABCDEF";
    size_t o = 0;
    size_t shown = std::min(n, max);
    for (size_t i = 0; i < shown && o + 4 < cap; ++i) {
        if (i) dst[o++] = ' ';
        dst[o++] = digits[p[i] >> 4];
        dst[o++] = digits[p[i] & 15];
    }
    if (shown < n && o + 5 < cap) {
        std::memcpy(dst + o, " ...", 4);
        o += 4;
    }
    dst[o] = '\0';
    return o;
}

std::string two_digits(int i) {
    char b[8];
    std::snprintf(b, sizeof b, "%02d", i);
    return b;
}

} // namespace

Phone::Phone(PhoneOptions opt)
    : opt_(std::move(opt)), nv_(opt_.imei, mix_seed(opt_.seed, static_cast<uint64_t>(opt_.index))),
      diag_(nv_), faults_(opt_.faults, opt_.index, opt_.seed),
      decoder_(std::max<size_t>(4096, std::max<size_t>(opt_.block_size, opt_.dmss_max_write)) +
               1024),
      rx_(65536) {
    answer_.reserve(4096);
    wire_.reserve(8192);
    for (auto [item, context] : faults_.readonly_items())
        nv_.set_readonly(item, context);
}

Phone::~Phone() {
    join();
    if (wake_fd_ >= 0) ::close(wake_fd_);
    if (log_) std::fclose(log_);
}

bool Phone::start(std::string& err) {
    if (!opt_.nv_text.empty() && !nv_.load_text(opt_.nv_text)) {
        err = "the NV items to take over do not fit this phone";
        return false;
    }
    std::error_code ec;
    std::filesystem::remove_all(opt_.dir, ec);
    if (!make_dirs(opt_.dir + "/fastboot")) {
        err = opt_.dir + ": cannot create the phone's state folder";
        return false;
    }
    log_ = std::fopen((opt_.dir + "/log.txt").c_str(), "we");
    if (!log_) {
        err = opt_.dir + "/log.txt: cannot be written";
        return false;
    }
    std::setvbuf(log_, nullptr, _IOLBF, 0);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        err = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    nv_dirty_ = true;
    flush_nv();
    log("phone %d, IMEI %s", opt_.index, opt_.imei.c_str());
    thread_ = std::thread([this] { run(); });
    return true;
}

void Phone::join() {
    if (thread_.joinable()) thread_.join();
}

bool Phone::request_fastboot() {
    Phase p = phase_.load();
    if (p != Phase::Android && p != Phase::Booting) return false;
    want_fastboot_.store(true);
    uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof one) < 0) {
        // The counter cannot overflow at one per request; nothing to do.
    }
    log("reboot-bootloader requested");
    return true;
}

void Phone::request_unplug(int64_t back_ms) {
    unplug_back_ms_.store(back_ms);
    want_unplug_.store(true);
    uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof one) < 0) {
        // The counter cannot overflow at one per request; nothing to do.
    }
}

void Phone::log(const char* fmt, ...) {
    char buf[768];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(log_mu_);
    if (log_)
        std::fprintf(log_, "%llu %s %s\n", static_cast<unsigned long long>(tw::clock::tick_ms()),
                     phase_name(phase_.load()), buf);
}

void Phone::log_exchange(Stage st, const uint8_t* req, size_t n, const char* outcome) {
    char rq[96], an[64];
    hex_into(rq, sizeof rq, req, n, 24);
    if (outcome) {
        log("%s rx %zu: %s -> %s", stage_name(st), n, rq, outcome);
    } else {
        hex_into(an, sizeof an, answer_.data(), answer_.size(), 16);
        log("%s rx %zu: %s -> tx %zu: %s", stage_name(st), n, rq, answer_.size(), an);
    }
}

// ---- the loop ----

int Phone::poll_timeout_ms(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    if (pending_) next = std::min(next, pending_at_);
    if (nv_dirty_) next = std::min(next, nv_flush_at_);
    if (stale_pending_ && !stale_with_next_) next = std::min(next, stale_at_);
    if (!retiring_.empty()) next = std::min(next, now + retire_check());
    if (master_quiet_until_ > now) next = std::min(next, master_quiet_until_);
    if (next == Clock::time_point::max()) return -1;
    if (next <= now) return 0;
    auto ns = std::chrono::duration_cast<nanoseconds>(next - now).count();
    int64_t ms = (ns + 999999) / 1000000;
    return static_cast<int>(std::min<int64_t>(ms, 60000));
}

void Phone::run() {
    enter(opt_.start);
    for (;;) {
        auto now = Clock::now();
        pollfd fds[5];
        int n = 0, ipty = -1, ilisten = -1, iconn = -1;
        fds[n++] = {opt_.stop_fd, POLLIN, 0};
        fds[n++] = {wake_fd_, POLLIN, 0};
        if (pty_ && now >= master_quiet_until_) {
            ipty = n;
            fds[n++] = {pty_->master(), POLLIN, 0};
        }
        if (listen_fd_ >= 0) {
            ilisten = n;
            fds[n++] = {listen_fd_, POLLIN, 0};
        }
        if (conn_fd_ >= 0) {
            iconn = n;
            fds[n++] = {conn_fd_, POLLIN, 0};
        }
        int r = ::poll(fds, static_cast<nfds_t>(n), poll_timeout_ms(now));
        if (r < 0 && errno != EINTR) break;
        if (r > 0) {
            if (fds[0].revents) break;
            if (fds[1].revents & POLLIN) {
                uint64_t v;
                if (::read(wake_fd_, &v, sizeof v) < 0) v = 0;
                if (want_unplug_.exchange(false)) {
                    const int64_t back = unplug_back_ms_.load();
                    if (back < 0) {
                        log("unplugged for good");
                        break;
                    }
                    unplug(back);
                }
                if (want_fastboot_.load() && phase_.load() == Phase::Android && !pending_) {
                    want_fastboot_.store(false);
                    schedule(Mode::Fastboot, kToFastbootMs);
                }
            }
            if (ipty >= 0 && fds[ipty].revents) {
                if (fds[ipty].revents & POLLIN)
                    read_port();
                else
                    master_quiet_until_ = Clock::now() + milliseconds{50};
            }
            if (ilisten >= 0 && (fds[ilisten].revents & POLLIN)) accept_tcp();
            if (iconn >= 0 && fds[iconn].revents && conn_fd_ >= 0) read_tcp();
        }
        run_timers(Clock::now());
    }
    unpublish();
    pty_.reset();
    retiring_.clear();
    close_fastboot();
    if (image_) std::fclose(image_);
    image_ = nullptr;
    flush_nv();
    log("stopped");
    // An unplugged phone stays listed for good: its buffers go now.
    std::vector<uint8_t>().swap(rx_);
    std::vector<uint8_t>().swap(tcp_rx_);
    phase_.store(Phase::Off);
    write_info();
}

void Phone::run_timers(Clock::time_point now) {
    if (pending_ && now >= pending_at_) {
        pending_ = false;
        enter(pending_mode_);
    }
    if (nv_dirty_ && now >= nv_flush_at_) flush_nv();
    if (stale_pending_ && !stale_with_next_ && now >= stale_at_) {
        stale_pending_ = false;
        if (stale_tcp_) {
            if (conn_fd_ >= 0) {
                send_tcp(stale_tcp_payload_);
                log("stale answer sent again: %s", stale_tcp_payload_.c_str());
            }
        } else if (pty_) {
            Stage st = stage();
            write_fd(pty_->master(), stale_.data(), stale_.size(), faults_.slow_bps(st, kNoStep),
                     false);
            last_write_ = Clock::now();
            log("stale answer sent again (%zu bytes)", stale_.size());
        }
    }
    for (size_t i = 0; i < retiring_.size();) {
        auto age = now - retiring_[i].last_write;
        if ((retiring_[i].pty->unread_by_host() == 0 && age >= retire_min()) ||
            age >= retire_max()) {
            retiring_.erase(retiring_.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
}

void Phone::schedule(Mode m, int64_t nominal_ms) {
    pending_ = true;
    pending_mode_ = m;
    pending_at_ = Clock::now() + scaled_ms(nominal_ms);
}

void Phone::flush_nv() {
    if (!nv_dirty_) return;
    if (!write_file_atomic(opt_.dir + "/nv.txt", nv_.to_text())) log("nv.txt cannot be written");
    nv_dirty_ = false;
}

void Phone::write_info() {
    std::string s = "[phone]\nindex=" + std::to_string(opt_.index) + "\nimei=" + opt_.imei +
                    "\nphase=" + phase_name(phase_.load()) + "\nrecord=" + record_name_ +
                    "\ncom=" + std::to_string(record_name_.empty() ? 0 : com_) + "\n";
    if (pty_ && !record_name_.empty()) s += "path=" + pty_->path() + "\n";
    if (listen_fd_ >= 0) s += "address=tcp:127.0.0.1:" + std::to_string(tcp_port_) + "\n";
    write_file_atomic(opt_.dir + "/info.ini", s);
}

// ---- enumeration ----

void Phone::publish(tw::DeviceRecord& r) {
    const char* kind = r.kind == tw::DeviceKind::Disk  ? "disk"
                       : r.kind == tw::DeviceKind::Usb ? "fastboot"
                       : r.diag                        ? "diag"
                                                       : "qdl";
    r.name = opt_.record_prefix + "-p" + two_digits(opt_.index) + "-" + kind + "-" +
             std::to_string(++record_seq_);
    r.parent = opt_.hub;
    r.hubport = opt_.hubport;
    if (!publish_record(opt_.device_dir, r)) {
        log("record %s cannot be written in %s", r.name.c_str(), opt_.device_dir.c_str());
        return;
    }
    record_name_ = r.name;
    log("enumerated: %s %s%s", r.name.c_str(), r.friendly.empty() ? "" : r.friendly.c_str(),
        r.address.empty() ? "" : r.address.c_str());
}

void Phone::unpublish() {
    if (record_name_.empty()) return;
    remove_record(opt_.device_dir, record_name_);
    log("record %s removed", record_name_.c_str());
    record_name_.clear();
}

void Phone::enter(Mode m) {
    flush_nv();
    const std::string serial = "SIM" + opt_.imei;
    switch (m) {
    case Mode::Diag:
    case Mode::Download: {
        auto p = std::make_unique<Pty>();
        std::string err;
        if (!p->open(err)) {
            log("no pty: %s", err.c_str());
            phase_.store(Phase::Away);
            return;
        }
        pty_ = std::move(p);
        decoder_.reset();
        // A DIAG port's decoder takes every byte for frame bytes, a host's raw AT line too.
        decoder_.set_text_lines(m != Mode::Diag);
        ++port_generation_;
        last_write_ = Clock::now();
        com_ = opt_.coms->take();
        tw::DeviceRecord r;
        r.kind = tw::DeviceKind::Serial;
        r.com = com_;
        r.path = pty_->path();
        r.vid = 0x05C6;
        if (m == Mode::Diag) {
            r.pid = 0x9025;
            r.diag = true;
            r.friendly = "Qualcomm HS-USB Diagnostics 9025 (COM" + std::to_string(com_) + ")";
            r.instance = instance_id(r.vid, r.pid, serial);
            r.interface_path = interface_path(r.vid, r.pid, serial);
            phase_.store(Phase::Diag);
        } else {
            // The boot ROM's port has no serial number; its identity follows the position.
            std::string loc = "5&2c41a7e&0&" + std::to_string(opt_.hubport);
            r.pid = 0x9008;
            r.friendly = "Qualcomm HS-USB QDLoader 9008 (COM" + std::to_string(com_) + ")";
            r.instance = instance_id(r.vid, r.pid, loc);
            r.interface_path = interface_path(r.vid, r.pid, loc);
            dmss_ = std::make_unique<DmssResponder>(opt_.programmers, opt_.dmss_max_write);
            stream_.reset();
            garbage_ = false;
            phase_.store(Phase::Dmss);
        }
        publish(r);
        break;
    }
    case Mode::Android:
        phase_.store(Phase::Android);
        log("Android running");
        if (opt_.auto_fastboot || want_fastboot_.exchange(false))
            schedule(Mode::Fastboot, kToFastbootMs);
        break;
    case Mode::Fastboot: {
        // A real phone's fastboot device comes back at the same USB path, so under the same
        // name: re-enumerations listen on the port of the first one when it is still free.
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(tcp_port_);
        socklen_t al = sizeof a;
        int one = 1;
        // Every listener, the first one too: its connections inherit the flag, and one the
        // host has not closed yet when the phone comes back must not keep the port from it.
        if (s >= 0) ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (s >= 0 && tcp_port_ != 0) {
            if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                log("fastboot port %u taken meanwhile; another one is used", tcp_port_);
                ::close(s);
                s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                if (s >= 0) ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
                a.sin_port = 0;
            }
        }
        if (s < 0 ||
            (a.sin_port == 0 && ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ||
            ::listen(s, 4) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &al) != 0) {
            log("fastboot listener: %s", std::strerror(errno));
            if (s >= 0) ::close(s);
            phase_.store(Phase::Away);
            return;
        }
        listen_fd_ = s;
        tcp_port_ = ntohs(a.sin_port);
        want_fastboot_.store(false); // already there
        fastboot_ = std::make_unique<FastbootDevice>(opt_.dir + "/fastboot", serial);
        tw::DeviceRecord r;
        r.kind = tw::DeviceKind::Usb;
        r.vid = 0x18D1;
        r.pid = 0xD00D;
        r.address = "tcp:127.0.0.1:" + std::to_string(tcp_port_);
        r.instance = instance_id(r.vid, r.pid, serial);
        r.interface_path = interface_path(r.vid, r.pid, serial);
        phase_.store(Phase::Fastboot);
        publish(r);
        break;
    }
    case Mode::Disk: {
        std::string path = opt_.dir + "/disk.img";
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 ||
            (static_cast<uint64_t>(st.st_size) < kDiskImageBytes &&
             ::ftruncate(fd, static_cast<off_t>(kDiskImageBytes)) != 0)) {
            log("disk image: %s", std::strerror(errno));
            if (fd >= 0) ::close(fd);
            phase_.store(Phase::Away);
            return;
        }
        ::close(fd);
        tw::DeviceRecord r;
        r.kind = tw::DeviceKind::Disk;
        r.path = path;
        r.vid = 0x05C6;
        r.pid = 0x9006;
        r.instance = instance_id(r.vid, r.pid, serial);
        r.interface_path = interface_path(r.vid, r.pid, serial);
        phase_.store(Phase::Disk);
        publish(r);
        break;
    }
    }
    write_info();
}

void Phone::retire_port() {
    unpublish();
    if (pty_) retiring_.push_back({std::move(pty_), last_write_});
    ++port_generation_;
    decoder_.reset();
    stale_pending_ = false;
    if (image_) std::fclose(image_);
    image_ = nullptr;
    dmss_.reset();
    stream_.reset();
    write_info();
}

void Phone::close_fastboot() {
    drop_connection();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    fastboot_.reset();
}

void Phone::unplug(int64_t ms) {
    Phase p = phase_.load();
    Mode back = p == Phase::Fastboot ? Mode::Fastboot
                : p == Phase::Diag   ? Mode::Diag
                                     : Mode::Download;
    log("unplugged; back in %lld ms", static_cast<long long>(ms));
    phase_.store(Phase::Away);
    unpublish();
    pty_.reset(); // abrupt: what the host has not read is lost
    ++port_generation_;
    decoder_.reset();
    close_fastboot();
    stale_pending_ = false;
    if (image_) std::fclose(image_);
    image_ = nullptr;
    dmss_.reset();
    stream_.reset();
    schedule(back, ms);
    write_info();
}

// ---- serial side ----

Stage Phone::stage() const {
    switch (phase_.load()) {
    case Phase::Dmss:
        return Stage::Dmss;
    case Phase::Stream:
        return Stage::Stream;
    case Phase::Fastboot:
        return Stage::Fastboot;
    default:
        return Stage::Diag;
    }
}

int Phone::step_of(Stage st, const uint8_t* p, size_t n) const {
    if (n == 0) return kNoStep;
    switch (st) {
    case Stage::Diag:
        if (p[0] == kDiagDload) return static_cast<int>(Step::Reset);
        return static_cast<int>(reset_seen_ ? Step::Restore : Step::Backup);
    case Stage::Stream:
        if (p[0] == kStrHello) return static_cast<int>(Step::Hello);
        if (p[0] == kStrPartition) return static_cast<int>(Step::PartitionTable);
        if (p[0] == kStrWrite) return static_cast<int>(Step::StreamWrite);
        return kNoStep;
    default:
        return kNoStep;
    }
}

void Phone::read_port() {
    const uint64_t gen = port_generation_;
    while (pty_ && gen == port_generation_) {
        ssize_t r = ::read(pty_->master(), rx_.data(), rx_.size());
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) master_quiet_until_ = Clock::now() + milliseconds{50};
            return;
        }
        if (r == 0) return;
        const bool drained = static_cast<size_t>(r) < rx_.size();
        decoder_.feed(rx_.data(), static_cast<size_t>(r),
                      [&](FrameDecoder::Event ev, const uint8_t* d, size_t n) {
                          if (gen != port_generation_) return; // the port went away meanwhile
                          switch (ev) {
                          case FrameDecoder::Event::Frame:
                              on_frame(d, n);
                              break;
                          case FrameDecoder::Event::BadFcs:
                              on_bad_fcs(d, n);
                              break;
                          case FrameDecoder::Event::Text:
                              log("text line ignored: %.*s",
                                  static_cast<int>(std::min<size_t>(n, 64)),
                                  reinterpret_cast<const char*>(d));
                              break;
                          case FrameDecoder::Event::Oversize:
                              log("oversized frame dropped");
                              break;
                          }
                      });
        // A short read emptied the port: the next poll says when more comes.
        if (drained) return;
    }
}

void Phone::send_frame(Stage st, bool opening_flag) {
    if (!pty_) return;
    if (stale_pending_ && stale_with_next_) {
        // A host quicker than MS has its next request here before the duplicate is due: that
        // answer waits for it, so the host still meets the duplicate while it waits.
        const auto now = Clock::now();
        if (now < stale_at_ &&
            !pause_real(std::chrono::duration_cast<nanoseconds>(stale_at_ - now)))
            return;
        stale_pending_ = false;
        write_fd(pty_->master(), stale_.data(), stale_.size(), faults_.slow_bps(st), false);
        log("stale answer sent again (%zu bytes), ahead of the next answer", stale_.size());
    }
    wire_.clear();
    encode_frame(answer_.data(), answer_.size(), opening_flag, wire_,
                 faults_.corrupt_answer(st, step_));
    write_fd(pty_->master(), wire_.data(), wire_.size(), faults_.slow_bps(st, step_), false);
    last_write_ = Clock::now();
}

bool Phone::pause_real(nanoseconds d) {
    if (d.count() <= 0) return true;
    pollfd pf{opt_.stop_fd, POLLIN, 0};
    timespec ts{static_cast<time_t>(d.count() / 1000000000),
                static_cast<long>(d.count() % 1000000000)};
    int r = ::ppoll(&pf, 1, &ts, nullptr);
    return r == 0 || (r < 0 && errno == EINTR);
}

bool Phone::write_fd(int fd, const uint8_t* p, size_t n, int64_t bps, bool socket) {
    const size_t chunk = bps > 0 ? std::max<size_t>(1, static_cast<size_t>(bps) / 100) : n;
    while (n > 0) {
        size_t c = std::min(chunk, n);
        ssize_t w = socket ? ::send(fd, p, c, MSG_NOSIGNAL) : ::write(fd, p, c);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return false;
            // The host is not reading: wait for room, but not for ever.
            pollfd pf[2] = {{fd, POLLOUT, 0}, {opt_.stop_fd, POLLIN, 0}};
            auto wait = tw::clock::scaled_timeout(milliseconds{5000});
            int r = ::poll(pf, 2, static_cast<int>(wait.count() / 1000000) + 1);
            if (r <= 0 || pf[1].revents) {
                log("host not reading; %zu bytes dropped", n);
                return false;
            }
            continue;
        }
        p += w;
        n -= static_cast<size_t>(w);
        if (bps > 0 && n > 0) {
            double nominal_ns = static_cast<double>(w) * 1e9 / static_cast<double>(bps);
            if (!pause_real(nanoseconds{static_cast<int64_t>(nominal_ns * tw::clock::scale())}))
                return false;
        }
    }
    return true;
}

void Phone::on_bad_fcs(const uint8_t* p, size_t n) {
    step_ = kNoStep;
    if (phase_.load() == Phase::Dmss && !garbage_) {
        answer_.clear();
        DmssResponder::bad_fcs(answer_);
        send_frame(Stage::Dmss, true);
        log("dmss rx %zu bytes with a bad FCS -> NAK", n);
    } else if (phase_.load() == Phase::Diag) {
        // The frame is dropped; the bad-command answer carries the bytes as they came.
        DiagResponder::bad_frame(p, n, answer_);
        send_frame(Stage::Diag, false);
        log_exchange(Stage::Diag, p, n, "bad FCS, dropped -> error answer");
    } else {
        log("%zu bytes with a bad FCS dropped", n);
    }
}

void Phone::on_frame(const uint8_t* p, size_t n) {
    const Stage st = stage();
    if (st == Stage::Dmss && garbage_) {
        log_exchange(st, p, n, "ignored (running garbage)");
        return;
    }
    bool w = st == Stage::Diag   ? DiagResponder::is_write(p, n)
             : st == Stage::Dmss ? DmssResponder::is_write(p, n)
                                 : StreamingResponder::is_write(p, n);
    step_ = step_of(st, p, n);
    auto d = faults_.on_request(st, w, step_);
    if (d.unplug) {
        log_exchange(st, p, n, "unplug (fault)");
        unplug(d.unplug_ms);
        return;
    }
    if (d.silent) {
        log_exchange(st, p, n, "no answer (silence fault)");
        return;
    }
    if (d.refuse) {
        // The stage's refusal; the request itself changes nothing.
        const auto code = [&](int64_t def) {
            return static_cast<uint16_t>(d.refuse_code < 0 ? def : d.refuse_code);
        };
        answer_.clear();
        if (st == Stage::Diag)
            DiagResponder::refuse(static_cast<uint8_t>(code(kDiagBadCmd)), p, n, answer_);
        else if (st == Stage::Dmss)
            DmssResponder::nak(answer_, code(kNakFailed));
        else
            StreamingResponder::error(answer_, code(kErrFailed), "refused");
        send_frame(st, st != Stage::Diag);
        log_exchange(st, p, n, "refused (fault)");
        return;
    }
    const uint64_t gen = port_generation_;
    switch (st) {
    case Stage::Diag: {
        bool nv_write = false;
        uint16_t item = 0, context = 0;
        std::optional<NvOverride> ov;
        if (DiagResponder::nv_target(p, n, nv_write, item, context))
            ov = faults_.nv_answer(nv_write, item, context, step_);
        auto act = diag_.handle(p, n, answer_, d.fail_write, faults_.imei_unreadable(),
                                ov ? &*ov : nullptr);
        if (act == DiagResponder::Action::ToDownload) phase_.store(Phase::Away);
        send_frame(st, false);
        log_exchange(st, p, n,
                     ov ? (ov->error_packet ? "error packet (fault)" : "NV status (fault)")
                     : d.fail_write && w ? "NV failure (fault)"
                                         : nullptr);
        if (act == DiagResponder::Action::NvChanged && !nv_dirty_) {
            nv_dirty_ = true;
            nv_flush_at_ = Clock::now() + tw::clock::scaled_timeout(milliseconds{250});
        }
        if (act == DiagResponder::Action::ToDownload) {
            reset_seen_ = true;
            retire_port();
            if (faults_.reset_unplug())
                log("reset to download: unplugged for good (fault)");
            else
                schedule(Mode::Download, kToDownloadMs);
        }
        break;
    }
    case Stage::Dmss: {
        auto act = dmss_->handle(p, n, answer_, d.fail_write);
        // What the phone received is on disk before it answers.
        uint32_t first = 0;
        Bytes img;
        if (act != DmssResponder::Action::None) {
            img = dmss_->ram_image(&first);
            write_file_atomic(
                opt_.dir + "/ram.bin",
                std::string_view(reinterpret_cast<const char*>(img.data()), img.size()));
        }
        send_frame(st, true);
        log_exchange(st, p, n, d.fail_write && w ? "NAK failed (fault)" : nullptr);
        if (act != DmssResponder::Action::None) {
            if (act == DmssResponder::Action::RunProgrammer) {
                log("GO: running %s (%zu bytes at 0x%08X)", dmss_->running()->file.c_str(),
                    img.size(), first);
                stream_ = std::make_unique<StreamingResponder>(static_cast<StreamStore&>(*this),
                                                               opt_.block_size);
                phase_.store(Phase::Stream);
                write_info();
            } else {
                log("GO: the RAM image (%zu bytes at 0x%08X) is no programmer of the package; "
                    "the phone stays silent",
                    img.size(), first);
                garbage_ = true;
            }
        }
        break;
    }
    case Stage::Stream: {
        auto act = stream_->handle(p, n, answer_, d.fail_write);
        if (act == StreamingResponder::Action::Reset) phase_.store(Phase::Booting);
        send_frame(st, true);
        log_exchange(st, p, n, d.fail_write && w ? "error failed (fault)" : nullptr);
        if (act == StreamingResponder::Action::FirstImageWrite) {
            nv_.factory_reset();
            nv_dirty_ = true;
            nv_flush_at_ = Clock::now();
            log("modem images written: every NV item back to its factory value");
        }
        if (act == StreamingResponder::Action::Reset) {
            retire_port();
            schedule(Mode::Android, kAndroidBootMs);
        }
        break;
    }
    case Stage::Fastboot:
        break;
    }
    if (d.stale && gen == port_generation_ && pty_) {
        stale_.assign(wire_.begin(), wire_.end());
        stale_tcp_ = false;
        stale_with_next_ = d.stale_ms > 0;
        stale_pending_ = true;
        stale_at_ = Clock::now() + scaled_ms(d.stale_ms);
    }
}

// ---- stream store ----

void Phone::partition_table(const uint8_t* data, size_t n, bool override_flag) {
    write_file_atomic(opt_.dir + "/partition.bin",
                      std::string_view(reinterpret_cast<const char*>(data), n));
    log("partition table stored (%zu bytes, override %d)", n, override_flag ? 1 : 0);
}

void Phone::open_image(uint8_t type, const uint8_t* header, size_t n) {
    if (image_) std::fclose(image_);
    char base[64];
    std::snprintf(base, sizeof base, "%s/image_%02X", opt_.dir.c_str(), type);
    std::string b = base;
    if (n > 0)
        write_file_atomic(b + ".hdr", std::string_view(reinterpret_cast<const char*>(header), n));
    else
        ::unlink((b + ".hdr").c_str());
    image_ = std::fopen((b + ".bin").c_str(), "wbe");
    log("image %02X opened (header %zu bytes)", type, n);
}

void Phone::write_image(uint8_t type, uint32_t offset, const uint8_t* data, size_t n) {
    (void)type;
    (void)offset; // writes arrive in order; the responder refuses any other
    if (image_ && std::fwrite(data, 1, n, image_) != n) log("image write failed");
}

void Phone::close_image(uint8_t type) {
    long size = image_ ? std::ftell(image_) : -1;
    if (image_) std::fclose(image_);
    image_ = nullptr;
    log("image %02X stored (%ld bytes)", type, size);
}

// ---- fastboot over TCP ----

void Phone::accept_tcp() {
    int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (c < 0) return;
    if (conn_fd_ >= 0) {
        log("a new connection replaces the old one");
        drop_connection();
    }
    int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    conn_fd_ = c;
    if (tcp_rx_.empty()) tcp_rx_.resize(kTcpReadSize);
    fb_handshake_ = false;
    fb_hdr_got_ = 0;
    fb_packet_left_ = 0;
    fb_cmd_.clear();
}

void Phone::drop_connection() {
    if (conn_fd_ >= 0) ::close(conn_fd_);
    conn_fd_ = -1;
    if (fastboot_) fastboot_->abort_download();
    fb_handshake_ = false;
    fb_hdr_got_ = 0;
    fb_packet_left_ = 0;
    fb_cmd_.clear();
    fb_unplug_after_ = 0;
    if (stale_tcp_) stale_pending_ = false;
}

void Phone::send_tcp(const std::string& payload) {
    if (conn_fd_ < 0) return;
    wire_.clear();
    uint64_t len = payload.size();
    for (int i = 7; i >= 0; --i)
        wire_.push_back(static_cast<uint8_t>(len >> (8 * i)));
    wire_.insert(wire_.end(), payload.begin(), payload.end());
    if (!write_fd(conn_fd_, wire_.data(), wire_.size(), faults_.slow_bps(Stage::Fastboot, step_),
                  true))
        drop_connection();
}

void Phone::read_tcp() {
    while (conn_fd_ >= 0 && fastboot_) {
        ssize_t r = ::read(conn_fd_, tcp_rx_.data(), tcp_rx_.size());
        if (r == 0) {
            log("fastboot connection closed by the host");
            drop_connection();
            return;
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) drop_connection();
            return;
        }
        const uint8_t* buf = tcp_rx_.data();
        size_t i = 0, len = static_cast<size_t>(r);
        const int fd = conn_fd_;
        while (i < len) {
            if (conn_fd_ != fd || !fastboot_) return;
            if (!fb_handshake_) {
                fb_cmd_.push_back(static_cast<char>(buf[i++]));
                if (fb_cmd_.size() < 4) continue;
                bool ok = fb_cmd_[0] == 'F' && fb_cmd_[1] == 'B' && std::isdigit(fb_cmd_[2]) &&
                          std::isdigit(fb_cmd_[3]);
                fb_cmd_.clear();
                if (!ok) {
                    log("fastboot handshake refused");
                    drop_connection();
                    return;
                }
                fb_handshake_ = true;
                static const uint8_t hello[] = {'F', 'B', '0', '1'};
                if (!write_fd(conn_fd_, hello, 4, 0, true)) {
                    drop_connection();
                    return;
                }
                continue;
            }
            if (fb_hdr_got_ < 8) {
                fb_hdr_[fb_hdr_got_++] = buf[i++];
                if (fb_hdr_got_ < 8) continue;
                fb_packet_left_ = 0;
                for (int k = 0; k < 8; ++k)
                    fb_packet_left_ = fb_packet_left_ << 8 | fb_hdr_[k];
                fb_packet_is_data_ = fastboot_->data_remaining() > 0;
                if (fb_packet_left_ == 0) {
                    fb_hdr_got_ = 0;
                } else if (!fb_packet_is_data_ && fb_packet_left_ > kFastbootMaxCommand) {
                    log("fastboot command of %llu bytes refused",
                        static_cast<unsigned long long>(fb_packet_left_));
                    drop_connection();
                    return;
                } else if (fb_packet_is_data_ && fb_packet_left_ > fastboot_->data_remaining()) {
                    send_tcp("FAILdownload overrun");
                    drop_connection();
                    return;
                }
                continue;
            }
            size_t take = static_cast<size_t>(std::min<uint64_t>(len - i, fb_packet_left_));
            if (fb_packet_is_data_) {
                if (fb_unplug_after_ > 0 && take >= fb_unplug_after_)
                    take = static_cast<size_t>(fb_unplug_after_);
                fb_out_.clear();
                bool ok = fastboot_->data(buf + i, take, fb_out_);
                if (fb_unplug_after_ > 0) {
                    fb_unplug_after_ -= take;
                    if (fb_unplug_after_ == 0) {
                        log("unplug (fault) in the middle of a download");
                        unplug(fb_unplug_ms_);
                        return;
                    }
                }
                if (!fb_out_.empty())
                    log("fastboot download complete -> %s", fb_out_.back().c_str());
                for (const auto& s : fb_out_)
                    send_tcp(s);
                if (!ok) {
                    drop_connection();
                    return;
                }
            } else {
                fb_cmd_.append(reinterpret_cast<const char*>(buf + i), take);
            }
            i += take;
            fb_packet_left_ -= take;
            if (fb_packet_left_ == 0) {
                fb_hdr_got_ = 0;
                if (!fb_packet_is_data_) {
                    std::string cmd;
                    cmd.swap(fb_cmd_);
                    on_fastboot_command(cmd);
                }
            }
        }
    }
}

void Phone::on_fastboot_command(const std::string& cmd) {
    const bool download = cmd.rfind("download:", 0) == 0;
    step_ = download                      ? static_cast<int>(Step::Download)
            : cmd.rfind("flash:", 0) == 0 ? static_cast<int>(Step::Flash)
                                          : kNoStep;
    auto d = faults_.on_request(Stage::Fastboot, FastbootDevice::is_write(cmd), step_);
    if (d.unplug && !download) {
        log("fastboot rx %s -> unplug (fault)", cmd.c_str());
        unplug(d.unplug_ms);
        return;
    }
    if (d.silent) {
        log("fastboot rx %s -> no answer (silence fault)", cmd.c_str());
        return;
    }
    if (d.refuse) {
        log("fastboot rx %s -> FAILrefused (fault)", cmd.c_str());
        send_tcp("FAILrefused");
        return;
    }
    fb_out_.clear();
    auto act = fastboot_->command(cmd, fb_out_, d.fail_write);
    // Logged before it goes out, so a host that has the answer finds it in the log.
    log("fastboot rx %s -> %s%s", cmd.c_str(), fb_out_.empty() ? "" : fb_out_.back().c_str(),
        d.fail_write && FastbootDevice::is_write(cmd) ? " (fault)" : "");
    for (const auto& s : fb_out_)
        send_tcp(s);
    if (d.unplug) {
        // Unplug halfway through the data that follows.
        uint64_t left = fastboot_ ? fastboot_->data_remaining() : 0;
        if (left == 0) {
            unplug(d.unplug_ms);
            return;
        }
        fb_unplug_after_ = std::max<uint64_t>(1, left / 2);
        fb_unplug_ms_ = d.unplug_ms;
    }
    if (d.stale && !fb_out_.empty()) {
        stale_tcp_payload_ = fb_out_.back();
        stale_tcp_ = true;
        stale_with_next_ = false;
        stale_pending_ = true;
        stale_at_ = Clock::now() + scaled_ms(d.stale_ms);
    }
    if (act == FastbootDevice::Action::Reboot || act == FastbootDevice::Action::RebootBootloader) {
        phase_.store(Phase::Away);
        // The answer is on its way in the socket; closing sends it before the end of stream.
        close_fastboot();
        unpublish();
        stale_pending_ = false;
        if (act == FastbootDevice::Action::Reboot)
            schedule(Mode::Diag, kFastbootToDiagMs);
        else
            schedule(Mode::Fastboot, kFastbootReenumMs);
        write_info();
    }
}

} // namespace phonesim
