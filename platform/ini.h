#pragma once
// INI files with private-profile semantics: sections and keys match without regard to ASCII case,
// a missing file, section or key reads as the default, every read goes to the file afresh, and
// every write reaches the disk at once through a temporary file renamed over the old one, so a
// crash leaves either the old or the new file, never half of one. Text is UTF-8.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::ini {

// One parsed INI text. Keeps every line it does not change byte for byte (comments, blank lines,
// line ends, a UTF-8 byte-order mark), so a rewrite touches only the key written.
class Document {
  public:
    static Document parse(std::string_view text);
    // False when the file is missing or unreadable (out is then empty).
    static bool load(const std::string& path, Document& out);

    // First matching section, first matching key in it; the value trimmed and unquoted.
    std::optional<std::string> get(std::string_view section, std::string_view key) const;
    bool has_section(std::string_view section) const;
    std::vector<std::string> sections() const;
    std::vector<std::string> keys(std::string_view section) const;

    // Sets the first matching key, or appends it to the section, or appends the section.
    // False (nothing changed) for names or values that would break the file's structure.
    bool set(std::string_view section, std::string_view key, std::string_view value);
    bool remove_key(std::string_view section, std::string_view key);
    bool remove_section(std::string_view section);

    std::string text() const;

  private:
    struct Line {
        std::string raw; // without its line end
        std::string eol; // the line's own end as read; empty for the last line without one
                         // and for lines added here (they take eol_)
        enum Kind { Other, Section, Key } kind = Other;
        std::string name;  // section name or key, trimmed
        std::string value; // key: value trimmed, quotes removed
    };
    // Index of the first line of the section's header, or npos.
    size_t find_section(std::string_view section) const;
    // One past the last line belonging to the section that starts at header index h.
    size_t section_end(size_t h) const;
    size_t find_key(size_t h, std::string_view key) const;

    std::vector<Line> lines_;
    std::string eol_ = "\n"; // the first line's end: what added lines get
    bool bom_ = false;
    bool last_has_eol_ = true; // false keeps a file without a final line end without one
};

// Private-profile read into a caller's buffer of `size` bytes, cut as the system call cuts: at most
// size - 1 bytes and a terminating zero (never a UTF-8 character split in two). Returns the bytes
// copied, without the zero. A null section lists the section names, a null key the section's keys,
// each zero-terminated with a second zero at the end (cut to size - 2 when it does not fit).
// A null default is the empty string; trailing blanks of the default are dropped.
size_t get_string(const char* section, const char* key, const char* def, char* buf, size_t size,
                  const std::string& file);

// The value, or def when the file, the section or the key is missing.
std::string read_string(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view def = "");
// Leading decimal digits of the value (optionally signed), 0 when it has none; def when missing.
long read_int(const std::string& file, std::string_view section, std::string_view key, long def);

// Creates the file, the section and the key as needed. False when the names or the value cannot be
// stored (line breaks, '=' in a key, ']' in a section) or the file cannot be written.
bool write_string(const std::string& file, std::string_view section, std::string_view key,
                  std::string_view value);
bool delete_key(const std::string& file, std::string_view section, std::string_view key);
bool delete_section(const std::string& file, std::string_view section);

// Writes content to path through a temporary file in the same folder (fsync, rename, fsync of the
// folder). The temporary name starts with '.' and never ends in the final name's suffix.
bool write_file_atomic(const std::string& path, std::string_view content);

// ASCII case-insensitive equality, the rule for section and key names.
bool iequals(std::string_view a, std::string_view b);

// The folder of the running program, with a trailing '/'; "./" when it cannot be found.
std::string program_dir();

} // namespace tw::ini
