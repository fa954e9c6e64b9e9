#include "platform/com_db.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/debug_sink.h"
#include "platform/ini.h"

namespace tw {
namespace {

struct Entry {
    PortIdentity id;
    int com;
};

std::mutex g_mutex; // this process's assigners, and the numbers below
// Numbers given out while the database could not be written: they hold for this process only.
std::vector<Entry> g_unsaved;
bool g_warned = false;

std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v);
    return b;
}

bool parse_long(const std::string& s, int base, long& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, base);
    if (*end != '\0' || errno != 0) return false;
    out = v;
    return true;
}

// "COM<n>" with 1 <= n <= kMaxComNumber, else 0.
int section_number(const std::string& name) {
    if (name.size() < 4 || !ini::iequals(name.substr(0, 3), "COM")) return 0;
    long n = 0;
    if (!parse_long(name.substr(3), 10, n) || n < 1 || n > kMaxComNumber) return 0;
    return static_cast<int>(n);
}

// What the file holds. Every "COM<n>" section takes its number, even one whose identity does
// not read back (so a damaged entry never hands its number to another port).
void read_entries(const ini::Document& doc, std::vector<Entry>& entries, std::set<int>& taken) {
    for (const std::string& sec : doc.sections()) {
        const int n = section_number(sec);
        if (n == 0) continue;
        taken.insert(n);
        auto get = [&](const char* key) { return doc.get(sec, key).value_or(""); };
        Entry e{{}, n};
        e.id.position = get("position");
        long vid = 0, pid = 0, iface = 0, index = 0;
        if (e.id.position.empty() || !parse_long(get("vid"), 16, vid) ||
            !parse_long(get("pid"), 16, pid) || !parse_long(get("interface"), 10, iface) ||
            vid < 0 || vid > 0xFFFF || pid < 0 || pid > 0xFFFF)
            continue;
        const std::string idx = get("index");
        if (!idx.empty() && !parse_long(idx, 10, index)) continue;
        e.id.vid = static_cast<uint16_t>(vid);
        e.id.pid = static_cast<uint16_t>(pid);
        e.id.interface_number = static_cast<int>(iface);
        e.id.index = static_cast<int>(index);
        entries.push_back(std::move(e));
    }
}

int lookup(const std::vector<Entry>& entries, const PortIdentity& id) {
    int best = 0;
    for (const auto& e : entries)
        if (e.id == id && (best == 0 || e.com < best)) best = e.com;
    return best;
}

// Fills the zeros of out from what the file and this process know; true when none is left.
bool resolve(const std::vector<PortIdentity>& ids, const std::vector<Entry>& entries,
             std::vector<int>& out) {
    bool all = true;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (out[i] == 0) out[i] = lookup(entries, ids[i]);
        if (out[i] == 0) out[i] = lookup(g_unsaved, ids[i]);
        all = all && out[i] != 0;
    }
    return all;
}

bool make_dirs(const std::string& dir) {
    if (dir.empty()) return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0 && !make_dirs(dir.substr(0, slash))) return false;
    return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// An exclusive flock on a file beside the database, held while numbers are given out. The
// database itself is replaced by rename, so its own inode cannot carry the lock.
class FileLock {
  public:
    explicit FileLock(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) return;
        int r;
        do
            r = ::flock(fd_, LOCK_EX);
        while (r != 0 && errno == EINTR);
        if (r != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_); // releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

} // namespace

std::string state_dir() {
    const char* own = std::getenv("TARNWELL_STATE_DIR");
    if (own && *own) return own;
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/tarnwell";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/state/tarnwell";
}

std::string com_db_path() {
    return state_dir() + "/comdb.ini";
}

std::vector<int> com_numbers_for(const std::vector<PortIdentity>& ids, const std::string& db_path) {
    std::vector<int> out(ids.size(), 0);
    if (ids.empty()) return out;
    std::lock_guard<std::mutex> g(g_mutex);

    // Known identities need no lock: writers replace the file whole, so a read sees the old or
    // the new one.
    ini::Document doc;
    std::vector<Entry> entries;
    std::set<int> taken;
    if (ini::Document::load(db_path, doc)) read_entries(doc, entries, taken);
    if (resolve(ids, entries, out)) return out;

    // New ones: read again under the lock, so two processes never take the same number.
    const bool have_dir = make_dirs(folder_of(db_path));
    FileLock lock(db_path + ".lock");
    doc = ini::Document();
    entries.clear();
    taken.clear();
    bool writable = have_dir && lock.held();
    if (!ini::Document::load(db_path, doc) && ::access(db_path.c_str(), F_OK) == 0)
        writable = false; // there but unreadable: never write over it
    read_entries(doc, entries, taken);
    std::fill(out.begin(), out.end(), 0);
    resolve(ids, entries, out);
    for (const auto& e : g_unsaved)
        taken.insert(e.com);

    std::vector<Entry> added;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (out[i] != 0) continue;
        if (int n = lookup(added, ids[i])) { // the same identity twice in one call
            out[i] = n;
            continue;
        }
        int n = 1;
        while (n <= kMaxComNumber && taken.count(n))
            ++n;
        if (n > kMaxComNumber) continue; // every number taken: the port gets none
        const std::string sec = "COM" + std::to_string(n);
        const PortIdentity& id = ids[i];
        bool ok = doc.set(sec, "position", id.position) && doc.set(sec, "vid", hex4(id.vid)) &&
                  doc.set(sec, "pid", hex4(id.pid)) &&
                  doc.set(sec, "interface", std::to_string(id.interface_number)) &&
                  (id.index == 0 || doc.set(sec, "index", std::to_string(id.index)));
        if (!ok) {
            // An identity the file cannot hold (a line break in the position): keep it here.
            doc.remove_section(sec);
            g_unsaved.push_back({id, n});
        } else {
            added.push_back({id, n});
        }
        taken.insert(n);
        out[i] = n;
    }
    if (!added.empty() && !(writable && ini::write_file_atomic(db_path, doc.text()))) {
        if (!g_warned) {
            debug_printf("COM database %s cannot be written; new COM numbers hold for this "
                         "process only\n",
                         db_path.c_str());
            g_warned = true;
        }
        g_unsaved.insert(g_unsaved.end(), added.begin(), added.end());
    }
    return out;
}

} // namespace tw
