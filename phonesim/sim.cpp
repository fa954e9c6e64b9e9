#include "phonesim/sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "phonesim/imei.h"
#include "platform/clock.h"

namespace phonesim {

namespace {

bool fill_addr(const std::string& path, sockaddr_un& a, std::string& err) {
    a = {};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        err = path + ": path too long for a socket";
        return false;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return true;
}

} // namespace

bool Simulator::start(const SimOptions& opt, std::string& err) {
    stop();
    opt_ = opt;
    if (opt.phones < 1 || opt.phones > 64) {
        err = "--phones must be 1 to 64";
        return false;
    }
    if (opt.hub_ports.size() > static_cast<size_t>(opt.phones)) {
        err = "--hub-ports lists more ports than there are phones";
        return false;
    }
    std::vector<int> ports;
    for (int i = 0; i < opt.phones; ++i) {
        const int port = static_cast<size_t>(i) < opt.hub_ports.size()
                             ? opt.hub_ports[static_cast<size_t>(i)]
                             : i + 1;
        if (port < 1 || port > 255 || std::find(ports.begin(), ports.end(), port) != ports.end()) {
            err = "--hub-ports: each phone needs a hub port of its own, 1 to 255";
            return false;
        }
        ports.push_back(port);
    }
    if (!make_dirs(opt.device_dir)) {
        err = opt.device_dir + ": device directory cannot be created";
        return false;
    }
    if (!make_dirs(opt.state_dir)) {
        err = opt.state_dir + ": state directory cannot be created";
        return false;
    }
    if (!load_programmers(opt.package, programmers_, err)) return false;
    for (int i = 0; i < opt.phones; ++i)
        if (!imei_nth(opt.imei_base, static_cast<uint64_t>(i))) {
            err = "--imei-base '" + opt.imei_base + "' is not a usable IMEI";
            return false;
        }
    const std::string tag = std::to_string(::getpid());
    hub_ = opt.hub.empty() ? "USB\\ROOT_HUB20\\4&PHONESIM" + tag + "&0" : opt.hub;
    coms_ = std::make_unique<ComAllocator>(opt.com_base);
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ < 0) {
        err = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }

    ctl_path_ = opt.state_dir + "/" + kCtlSocketName;
    sockaddr_un a;
    if (!fill_addr(ctl_path_, a, err)) return false;
    ::unlink(ctl_path_.c_str());
    ctl_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (ctl_fd_ < 0 || ::bind(ctl_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(ctl_fd_, 8) != 0) {
        err = ctl_path_ + ": " + std::strerror(errno);
        return false;
    }

    bool started = true;
    {
        std::lock_guard<std::mutex> g(phones_m_);
        for (int i = 0; i < opt.phones && started; ++i)
            started = start_phone(i, ports[static_cast<size_t>(i)], err);
    }
    if (!started) {
        stop();
        return false;
    }
    ctl_thread_ = std::thread([this] { ctl_loop(); });
    return true;
}

bool Simulator::start_phone(int index, int hubport, std::string& err, const PlugOptions& o) {
    std::optional<std::string> imei;
    std::string nv_text;
    if (o.same_as >= 0) {
        const Phone* was = static_cast<size_t>(o.same_as) < phones_.size()
                               ? phones_[static_cast<size_t>(o.same_as)].get()
                               : nullptr;
        if (!was || was->phase() != Phase::Off) {
            err = "phone " + std::to_string(o.same_as) + " is not an unplugged phone";
            return false;
        }
        imei = was->imei();
        if (!read_text(was->dir() + "/nv.txt", nv_text) || nv_text.empty()) {
            err = was->dir() + "/nv.txt: no NV items to take over";
            return false;
        }
    } else {
        imei = imei_nth(opt_.imei_base, static_cast<uint64_t>(index));
    }
    if (!imei) {
        err = "no IMEI left after " + opt_.imei_base;
        return false;
    }
    PhoneOptions po;
    po.index = index;
    po.imei = *imei;
    po.device_dir = opt_.device_dir;
    char name[24];
    std::snprintf(name, sizeof name, "phone%02d", index);
    po.dir = opt_.state_dir + "/" + name;
    po.record_prefix = "phonesim" + std::to_string(::getpid());
    po.hub = hub_;
    po.hubport = hubport;
    po.start = opt_.start;
    po.auto_fastboot = opt_.auto_fastboot;
    po.faults = opt_.faults;
    for (FaultSpec f : o.faults) {
        f.phone = index;
        po.faults.push_back(std::move(f));
    }
    po.nv_text = std::move(nv_text);
    po.seed = opt_.seed;
    po.programmers = &programmers_;
    po.dmss_max_write = opt_.dmss_max_write;
    po.block_size = opt_.block_size;
    po.coms = coms_.get();
    po.stop_fd = stop_fd_;
    auto p = std::make_unique<Phone>(std::move(po));
    if (!p->start(err)) return false;
    phones_.push_back(std::move(p));
    return true;
}

size_t Simulator::size() const {
    std::lock_guard<std::mutex> g(phones_m_);
    return phones_.size();
}

Phone& Simulator::phone(size_t i) {
    std::lock_guard<std::mutex> g(phones_m_);
    return *phones_[i];
}

Phone* Simulator::find_locked(const std::string& which) {
    for (auto& p : phones_) {
        if (p->phase() == Phase::Off) continue;
        const std::string position = hub_ + "#" + std::to_string(p->hubport()) + "#";
        if (which == std::to_string(p->index()) || which == p->imei() || which == position)
            return p.get();
    }
    return nullptr;
}

int Simulator::unplug(const std::string& which) {
    return replug(which, -1);
}

int Simulator::replug(const std::string& which, int64_t back_ms) {
    std::lock_guard<std::mutex> g(phones_m_);
    Phone* p = find_locked(which);
    if (!p) return -1;
    p->request_unplug(back_ms);
    // For good: the phone's thread ends at once; wait for it, so that its devices are gone
    // when the answer comes and its hub port is free for the next phone.
    if (back_ms < 0) p->join();
    return p->hubport();
}

int Simulator::plug(const std::string& where, std::string& err, const PlugOptions& o) {
    std::lock_guard<std::mutex> g(phones_m_);
    int port = 0;
    const std::string prefix = hub_ + "#";
    std::string digits = where;
    if (where.rfind(prefix, 0) == 0 && where.size() > prefix.size() + 1 && where.back() == '#')
        digits = where.substr(prefix.size(), where.size() - prefix.size() - 1);
    for (char c : digits)
        port = (c >= '0' && c <= '9' && port < 1000) ? port * 10 + (c - '0') : 1000;
    if (digits.empty() || port < 1 || port > 255) {
        err = "no hub port " + where;
        return -1;
    }
    for (auto& p : phones_)
        if (p->phase() != Phase::Off && p->hubport() == port) {
            err = "a phone is plugged in at hub port " + std::to_string(port);
            return -1;
        }
    if (phones_.size() >= kMaxPhones) {
        err = "no more phones";
        return -1;
    }
    const int index = static_cast<int>(phones_.size());
    if (!start_phone(index, port, err, o)) return -1;
    return index;
}

void Simulator::stop() {
    if (stop_fd_ >= 0) {
        uint64_t one = 1;
        if (::write(stop_fd_, &one, sizeof one) < 0) {
            // An eventfd write of 1 fails only on overflow, which cannot happen here.
        }
    }
    if (ctl_thread_.joinable()) ctl_thread_.join();
    std::lock_guard<std::mutex> g(phones_m_);
    for (auto& p : phones_)
        p->join();
    phones_.clear();
    if (ctl_fd_ >= 0) {
        ::close(ctl_fd_);
        ::unlink(ctl_path_.c_str());
    }
    ctl_fd_ = -1;
    if (stop_fd_ >= 0) ::close(stop_fd_);
    stop_fd_ = -1;
}

int Simulator::reboot_bootloader(const std::string& which) {
    std::lock_guard<std::mutex> g(phones_m_);
    int moved = 0;
    bool named = false;
    for (auto& p : phones_) {
        const std::string position = hub_ + "#" + std::to_string(p->hubport()) + "#";
        if (!which.empty() && which != std::to_string(p->index()) && which != p->imei() &&
            which != position)
            continue;
        named = true;
        if (p->request_fastboot()) ++moved;
    }
    return (!which.empty() && !named) ? -1 : moved;
}

std::string Simulator::ctl_answer(const std::string& line) {
    std::string cmd = line, arg;
    size_t sp = line.find(' ');
    if (sp != std::string::npos) {
        cmd = line.substr(0, sp);
        arg = line.substr(sp + 1);
    }
    if (cmd == "reboot-bootloader") {
        int n = reboot_bootloader(arg);
        if (n < 0) return "ERR no phone " + arg;
        if (n == 0) return "ERR no phone waits in Android mode";
        return "OK " + std::to_string(n);
    }
    if (cmd == "unplug" || cmd == "replug") {
        // replug PHONE [MS]: pulled and plugged back after MS nominal milliseconds (3000).
        std::string who = arg;
        int64_t back = -1;
        if (cmd == "replug") {
            back = 3000;
            const size_t sp2 = arg.find(' ');
            if (sp2 != std::string::npos) {
                who = arg.substr(0, sp2);
                char* end = nullptr;
                const long long v = std::strtoll(arg.c_str() + sp2 + 1, &end, 10);
                if (*end != '\0' || v < 0 || v > 3600000) return "ERR bad time " + arg;
                back = v;
            }
        }
        const int port = replug(who, back);
        if (port < 0) return "ERR no phone plugged in: " + who;
        return "OK " + std::to_string(port);
    }
    if (cmd == "plug") {
        std::string err;
        const int index = plug(arg, err);
        if (index < 0) return "ERR " + err;
        return "OK " + std::to_string(index) + " " + phone(static_cast<size_t>(index)).imei();
    }
    if (cmd == "status") {
        std::lock_guard<std::mutex> g(phones_m_);
        std::string s = "OK";
        for (auto& p : phones_)
            s += " " + std::to_string(p->index()) + ":" + phase_name(p->phase());
        return s;
    }
    return "ERR unknown request";
}

void Simulator::ctl_loop() {
    for (;;) {
        pollfd pf[2] = {{stop_fd_, POLLIN, 0}, {ctl_fd_, POLLIN, 0}};
        int r = ::poll(pf, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || pf[0].revents) return;
        if (!(pf[1].revents & POLLIN)) continue;
        int c = ::accept4(ctl_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        // One short line; a client that says nothing is dropped after a while.
        std::string line;
        char ch;
        for (;;) {
            pollfd cp[2] = {{c, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
            auto wait = tw::clock::scaled_timeout(std::chrono::milliseconds{5000});
            if (::poll(cp, 2, static_cast<int>(wait.count() / 1000000) + 1) <= 0 || cp[1].revents)
                break;
            ssize_t n = ::read(c, &ch, 1);
            if (n <= 0 || ch == '\n' || line.size() > 256) break;
            line.push_back(ch);
        }
        std::string reply = ctl_answer(line) + "\n";
        if (::send(c, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
            // The client went away; nothing to tell it.
        }
        ::close(c);
    }
}

bool ctl_request(const std::string& state_dir, const std::string& line, std::string& reply,
                 std::string& err) {
    sockaddr_un a;
    std::string path = state_dir + "/" + kCtlSocketName;
    if (!fill_addr(path, a, err)) return false;
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0 || ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        err = path + ": no simulator listens (" + std::strerror(errno) + ")";
        if (s >= 0) ::close(s);
        return false;
    }
    auto wait = tw::clock::scaled_timeout(std::chrono::milliseconds{10000});
    timeval tv{static_cast<time_t>(wait.count() / 1000000000),
               static_cast<suseconds_t>(wait.count() % 1000000000 / 1000)};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string msg = line + "\n";
    if (::send(s, msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size())) {
        err = "control request not sent";
        ::close(s);
        return false;
    }
    reply.clear();
    char buf[512];
    ssize_t n;
    while ((n = ::read(s, buf, sizeof buf)) > 0)
        reply.append(buf, static_cast<size_t>(n));
    ::close(s);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r'))
        reply.pop_back();
    if (reply.empty()) {
        err = "no answer from the simulator";
        return false;
    }
    return true;
}

} // namespace phonesim
