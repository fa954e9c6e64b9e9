#include "link/debug_log.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/wall_time.h"

namespace {

constexpr size_t kLineSize = 4000;
constexpr size_t kMaxDirLength = 260;

// The writers' lock; a function-local static, so its creation is safe even from racing threads.
std::recursive_mutex& log_lock() {
    static std::recursive_mutex m;
    return m;
}

char g_line[kLineSize]; // shared by the writers, under the log lock
std::atomic<intptr_t> g_debugLine{0};

std::atomic<std::FILE*> g_consoleOverride{nullptr};
std::atomic<bool> g_overrideColours{false};

bool stdout_is_terminal() {
    static const bool tty = ::isatty(STDOUT_FILENO) == 1;
    return tty;
}

std::FILE* console(bool& colours) {
    if (std::FILE* f = g_consoleOverride.load()) {
        colours = g_overrideColours.load();
        return f;
    }
    colours = true;
    return stdout_is_terminal() ? stdout : nullptr;
}

void console_write(const char* a, const char* b = nullptr) {
    bool colours;
    std::FILE* out = console(colours);
    if (!out) return;
    std::fputs(a, out);
    if (b) std::fputs(b, out);
    std::fflush(out);
}

void make_dir(const std::string& p) {
    ::mkdir(p.c_str(), 0755);
}

// log/<YYMMDD>/<XX>_<name>.log under the current directory; both folders are created.
std::FILE* open_log(const char* name, const tw::WallTime& t) {
    char cwd[kMaxDirLength + 1];
    if (!::getcwd(cwd, sizeof cwd)) return nullptr;
    std::string path = cwd;
    if (path.empty() || path.back() != '/') path += '/';
    path += "log";
    make_dir(path);
    char day[32];
    std::snprintf(day, sizeof day, "/%02d%02d%02d", t.year - 1900 - 100, t.month, t.day);
    path += day;
    make_dir(path);
    // A name never leads out of the day folder.
    std::string safe = name;
    for (char& c : safe) {
        if (c == '/') c = '_';
    }
    char file[64];
    std::snprintf(file, sizeof file, "/%02llX_",
                  static_cast<unsigned long long>(static_cast<uintptr_t>(g_debugLine.load())));
    path += file;
    path += safe;
    path += ".log";
    return std::fopen(path.c_str(), "a+");
}

void prefix_of(const tw::WallTime& t, char* out, size_t size) {
    std::snprintf(out, size, "\n[%04d-%02d-%02d %02d:%02d:%02d] ", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
}

// Writes the prefix and the line buffer to the terminal and the named file.
void emit_line(const char* name) {
    const tw::WallTime t = tw::wall_now();
    char prefix[64];
    prefix_of(t, prefix, sizeof prefix);
    std::FILE* f = name ? open_log(name, t) : nullptr;
    console_write(prefix, g_line);
    if (f) {
        std::fputs(prefix, f);
        std::fputs(g_line, f);
        std::fclose(f);
    }
}

struct Level {
    char letter;
    int colour;
};

Level level_of(uint8_t b) {
    static const Level table[] = {{'L', 15}, {'M', 11}, {'H', 14}, {'E', 13}, {'F', 12}, {'1', 10},
                                  {'2', 2},  {'3', 3},  {'4', 4},  {'5', 5},  {'6', 6}};
    if (b >= 2 && b <= 12) return table[b - 2];
    return {'N', 8};
}

} // namespace

namespace quillon {

void SetDebugConsole(std::FILE* f, bool colours) {
    g_overrideColours.store(colours);
    g_consoleOverride.store(f);
}

void ColourSequence(int attribute, char* out, size_t size) {
    auto ansi = [](int nibble) {
        return ((nibble & 4) ? 1 : 0) | ((nibble & 2) ? 2 : 0) | ((nibble & 1) ? 4 : 0);
    };
    const int fg = attribute & 0xF;
    const int bg = (attribute >> 4) & 0xF;
    const int fg_code = ((fg & 8) ? 90 : 30) + ansi(fg);
    if (bg == 0) {
        std::snprintf(out, size, "\x1b[0;%dm", fg_code);
    } else {
        std::snprintf(out, size, "\x1b[0;%d;%dm", fg_code, ((bg & 8) ? 100 : 40) + ansi(bg));
    }
}

} // namespace quillon

extern "C" {

int DBG_MSG(const char* name, const char* format, ...) {
    std::lock_guard<std::recursive_mutex> g(log_lock());
    va_list ap;
    va_start(ap, format);
    if (format)
        std::vsnprintf(g_line, kLineSize, format, ap);
    else
        g_line[0] = '\0';
    va_end(ap);
    emit_line(name);
    return 1;
}

int DBG_MSGSTR(const char* name, const char* text) {
    if (!text) text = "";
    std::lock_guard<std::recursive_mutex> g(log_lock());
    std::snprintf(g_line, kLineSize, "{%s}", text);
    emit_line(name);
    return static_cast<int>(std::strlen(text));
}

int DBG_MSGBUF(const char* name, const uint8_t* bytes, int count) {
    if (!bytes || count < 0) count = 0;
    std::lock_guard<std::recursive_mutex> g(log_lock());
    size_t pos = 0;
    g_line[pos++] = '{';
    for (int i = 0; i < count && pos + 3 + 1 < kLineSize; ++i) {
        std::snprintf(g_line + pos, 4, "%02X ", bytes[i]);
        pos += 3;
    }
    g_line[pos++] = '}';
    g_line[pos] = '\0';
    emit_line(name);
    return 1;
}

intptr_t DBG_SetDebugLine(intptr_t value) {
    g_debugLine.store(value);
    return value;
}

int OpenDebugWindow(void) {
    return DebugWindowSetColor(7);
}

int ClearDebugWindow(void) {
    bool colours;
    if (!console(colours)) return 0;
    console_write("\x1b[2J\x1b[H");
    return 1;
}

int ClosedDebugWindow(void) {
    bool colours;
    std::FILE* out = console(colours);
    if (!out) return 0;
    if (colours) console_write("\x1b[0m");
    return 1;
}

int DebugWindowSetColor(int attribute) {
    bool colours;
    std::FILE* out = console(colours);
    if (!out) return 0;
    if (colours) {
        char seq[32];
        quillon::ColourSequence(attribute, seq, sizeof seq);
        console_write(seq);
    }
    return 1;
}

int pctsdebugfilter(const char* name, char* text, int length) {
    if (!text || length < 1 || static_cast<uint8_t>(text[0]) != 0x40) return length;
    const Level lv = level_of(length >= 2 ? static_cast<uint8_t>(text[1]) : 0);
    DebugWindowSetColor(lv.colour);
    text[0] = lv.letter;
    text[1] = '>';
    text[length] = '\0';
    DBG_MSG(name, "%s", text);
    DebugWindowSetColor(9);
    return 0;
}

int pctslprintf(const char* name, const char* source_path, int line, int level, const char* format,
                ...) {
    char buf[4096];
    const char* file = source_path ? source_path : "";
    for (const char* p = file; *p; ++p) {
        if (*p == '/' || *p == '\\') file = p + 1;
    }
    // Room is kept for the zero the filter puts after the text.
    const size_t cap = sizeof buf - 1;
    buf[0] = 0x40;
    buf[1] = static_cast<char>(level);
    size_t total = 2;
    int n = std::snprintf(buf + total, cap - total + 1, "%s(%d):", file, line);
    if (n > 0) total += std::min(static_cast<size_t>(n), cap - total);
    va_list ap;
    va_start(ap, format);
    n = format ? std::vsnprintf(buf + total, cap - total + 1, format, ap) : 0;
    va_end(ap);
    if (n > 0) total += std::min(static_cast<size_t>(n), cap - total);
    return pctsdebugfilter(name, buf, static_cast<int>(total));
}

int pctserror(const char* source_path, int line, int code) {
    // -code - 1000, wrapping rather than overflowing for extreme codes.
    const int value = static_cast<int>(0u - static_cast<unsigned>(code) - 1000u);
    return pctslprintf("PCTSERROR", source_path, line, 8, "PCTSERROR = %d", value);
}

} // extern "C"
