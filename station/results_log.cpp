#include "station/results_log.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "station/config.h"
#include "station/json_value.h"

namespace tw::station {

namespace {

struct Local {
    std::tm tm{};
    int ms = 0;
};

Local ToLocal(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto since = t.time_since_epoch();
    auto secs = duration_cast<seconds>(since);
    int ms = static_cast<int>(duration_cast<milliseconds>(since - secs).count());
    if (ms < 0) { // before 1970: keep 0..999
        ms += 1000;
        secs -= seconds(1);
    }
    Local l;
    const std::time_t tt = static_cast<std::time_t>(secs.count());
    localtime_r(&tt, &l.tm);
    l.ms = ms;
    return l;
}

// One append at a time in this process, so that a failed one can be cut off again.
std::mutex g_append;

} // namespace

std::string IsoLocalTime(std::chrono::system_clock::time_point t) {
    const Local l = ToLocal(t);
    const long off = l.tm.tm_gmtoff / 60;
    const long a = off < 0 ? -off : off;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld",
                  l.tm.tm_year + 1900, l.tm.tm_mon + 1, l.tm.tm_mday, l.tm.tm_hour, l.tm.tm_min,
                  l.tm.tm_sec, l.ms, off < 0 ? '-' : '+', a / 60, a % 60);
    return buf;
}

std::string LocalDate(std::chrono::system_clock::time_point t) {
    return IsoLocalTime(t).substr(0, 10);
}

const char* ResultName(CycleResult r) {
    switch (r) {
    case CycleResult::Pass:
        return "PASS";
    case CycleResult::Fail:
        return "FAIL";
    case CycleResult::Stopped:
        break;
    }
    return "STOPPED";
}

std::string ResultLine(const CycleRecord& r) {
    using json::Quote;
    const double seconds = std::chrono::duration<double>(r.end - r.start).count();
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.3f", seconds);
    std::string s = "{\"start\":" + Quote(IsoLocalTime(r.start)) +
                    ",\"end\":" + Quote(IsoLocalTime(r.end)) + ",\"seconds\":" + secs +
                    ",\"slot\":" + std::to_string(r.slot + 1) +
                    ",\"position\":" + Quote(r.position) + ",\"imei\":" + Quote(r.imei) +
                    ",\"sw_ver\":" + Quote(r.sw_ver) + ",\"brand\":" + Quote(r.brand) +
                    ",\"model\":" + Quote(r.model) + ",\"qcn_file\":" + Quote(r.qcn_file) +
                    ",\"backup\":" + Quote(r.backup_file) +
                    ",\"earlier_backup\":" + Quote(r.earlier_backup) + ",\"stages\":[";
    for (size_t i = 0; i < r.stages.size(); ++i) {
        const StageRecord& st = r.stages[i];
        s += (i ? ",{\"name\":" : "{\"name\":") + Quote(st.name) +
             ",\"start\":" + Quote(IsoLocalTime(st.start)) +
             ",\"ms\":" + std::to_string(st.duration.count()) +
             ",\"result\":" + std::to_string(st.result) + "}";
    }
    s += "],\"result\":" + Quote(ResultName(r.result)) + ",\"message\":" + Quote(r.message) + "}";
    return s;
}

std::optional<ResultEntry> ParseResultLine(const std::string& line) {
    const auto v = json::Parse(line);
    if (!v || v->type != json::Value::Type::Object) return std::nullopt;
    ResultEntry e;
    e.start = v->str("start");
    e.end = v->str("end");
    e.seconds = v->num("seconds", -1);
    const double slot = v->num("slot", 0);
    e.result = v->str("result");
    if (e.end.size() < 10 || e.seconds < 0 || slot < 1 || slot > kSlots ||
        std::floor(slot) != slot ||
        (e.result != "PASS" && e.result != "FAIL" && e.result != "STOPPED"))
        return std::nullopt;
    e.slot = static_cast<int>(slot);
    e.date = e.end.substr(0, 10);
    e.position = v->str("position");
    e.imei = v->str("imei");
    e.message = v->str("message");
    return e;
}

bool AppendResult(const std::string& root, const CycleRecord& r, std::string* why) {
    const std::string dir = root + "results";
    const std::string path = dir + "/" + LocalDate(r.end) + ".jsonl";
    const std::string line = ResultLine(r) + "\n";
    auto fail = [&](const std::string& what) {
        if (why) *why = path + ": " + what + ": " + std::strerror(errno);
        return false;
    };
    std::lock_guard<std::mutex> g(g_append);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return fail("cannot make the folder");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return fail("cannot open");
    ssize_t n;
    do
        n = ::write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(line.size())) {
        const int err = n < 0 ? errno : ENOSPC;
        // Cut a partial line off again, unless someone appended behind it meanwhile.
        struct stat st {};
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (n > 0 && end >= n && ::fstat(fd, &st) == 0 && st.st_size == end &&
            ::ftruncate(fd, end - n) != 0) {
            // Nothing more can be done; the reader skips a line that is not whole.
        }
        ::close(fd);
        errno = err;
        return fail("cannot be written");
    }
    // On the disk before the next phone's cycle: a power cut keeps what was finished.
    const bool synced = ::fdatasync(fd) == 0 || errno == EINVAL;
    const int err = errno;
    ::close(fd);
    errno = err;
    return synced || fail("cannot be synced");
}

} // namespace tw::station
