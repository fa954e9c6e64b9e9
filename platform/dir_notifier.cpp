#include "platform/dir_notifier.h"

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace tw {
namespace {

constexpr uint32_t kRecordEvents = IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM;
constexpr uint32_t kSelfEvents = IN_DELETE_SELF | IN_MOVE_SELF;

// The names the device source reads: "<name>.dev", not a writer's ".<...>" temporary file.
bool is_record_name(const char* n, size_t len) {
    len = ::strnlen(n, len);
    return len > 4 && n[0] != '.' && std::memcmp(n + len - 4, ".dev", 4) == 0;
}

} // namespace

std::unique_ptr<DirNotifier> DirNotifier::open(const std::string& dir, std::string* why) {
    UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd) {
        if (why) *why = std::string("inotify: ") + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<DirNotifier> n(new DirNotifier(std::move(fd), dir));
    if (!n->rearm() && why) *why = "inotify: cannot watch " + dir + ": " + std::strerror(errno);
    return n;
}

bool DirNotifier::rearm() {
    if (wd_ >= 0) return true;
    wd_ = ::inotify_add_watch(fd_.get(), dir_.c_str(), kRecordEvents | kSelfEvents | IN_ONLYDIR);
    return wd_ >= 0;
}

void DirNotifier::unwatch() {
    if (wd_ >= 0) ::inotify_rm_watch(fd_.get(), wd_); // fails harmlessly when already gone
    wd_ = -1;
}

bool DirNotifier::drain() {
    alignas(inotify_event) char buf[4096];
    bool changed = false;
    for (;;) {
        ssize_t n = ::read(fd_.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // EAGAIN: drained
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            if (e->mask & IN_Q_OVERFLOW) {
                changed = true; // events were lost: read the directory again
            } else if (e->wd != wd_) {
                continue; // a watch removed earlier
            } else if (e->mask & (kSelfEvents | IN_IGNORED)) {
                // The directory is gone or moved: its records with it, and the path must be
                // watched again once it exists.
                unwatch();
                changed = true;
            } else if ((e->mask & kRecordEvents) && e->len > 0 && is_record_name(e->name, e->len)) {
                changed = true;
            }
        }
    }
    return changed;
}

} // namespace tw
