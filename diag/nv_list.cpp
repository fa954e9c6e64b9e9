#include "diag/nv_list.h"

namespace diag {
namespace {

constexpr std::string_view kMainMarker = "NV item: ";
constexpr std::string_view kSim1Marker = " NV item (SIM 1): ";

// The entry after a marker: blanks skipped, then everything up to the blank before "[".
// One entry per line: a ':' inside the item's name must not add items to the backup.
bool TakeEntry(std::string_view piece, size_t after, NvItemLists& out, bool sim1,
               std::string& why) {
    size_t p = after;
    while (p < piece.size() && piece[p] == ' ')
        ++p;
    size_t e = p;
    while (e < piece.size() && piece[e] != ' ' && piece[e] != '\t' && piece[e] != '[' &&
           piece[e] != '\r' && piece[e] != '\n')
        ++e;
    std::string_view entry = piece.substr(p, e - p);
    // Only a decimal number names an item: anything else would read as item 0 and put a
    // stranger's value into the backup.
    if (entry.empty()) {
        why = "no item number after \"NV item\"";
        return false;
    }
    uint32_t value = 0;
    for (char c : entry) {
        if (c < '0' || c > '9') {
            why = "item number \"" + std::string(entry) + "\" is not a decimal number";
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > 0xFFFF) {
            why = "item number " + std::string(entry) + " is above 65535";
            return false;
        }
    }
    size_t& text = sim1 ? out.sim1_text : out.main_text;
    text += entry.size() + 1;
    (sim1 ? out.sim1 : out.main).push_back(static_cast<uint16_t>(value));
    return true;
}

} // namespace

ListStatus ParseNvList(std::string_view text, NvItemLists& out, std::string& why) {
    size_t line_no = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string_view::npos ? text.size() : nl;
        ++line_no;
        std::string_view line = text.substr(pos, end - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        // A long line arrives in pieces, each taken as a line of its own.
        for (size_t off = 0; off == 0 || off < line.size(); off += kListPiece) {
            std::string_view piece = line.substr(off, kListPiece);
            size_t m = piece.find(kMainMarker);
            bool sim1 = false;
            size_t after = 0;
            if (m != std::string_view::npos) {
                after = m + kMainMarker.size();
            } else if ((m = piece.find(kSim1Marker)) != std::string_view::npos) {
                sim1 = true;
                after = m + kSim1Marker.size();
            } else {
                continue;
            }
            if (!TakeEntry(piece, after, out, sim1, why)) {
                why = "line " + std::to_string(line_no) + ": " + why;
                return ListStatus::BadNumber;
            }
            size_t used = sim1 ? out.sim1_text : out.main_text;
            if (used > kListTextLimit) {
                why = "line " + std::to_string(line_no) + ": the " +
                      (sim1 ? std::string("SIM 1") : std::string("main")) +
                      " item list runs past its " + std::to_string(kListTextLimit) +
                      " bytes of text";
                return ListStatus::TooLong;
            }
        }
    }
    if (out.main.empty() && out.sim1.empty()) {
        why = "no line of the form \"NV item: <number> [<name>]\" (nothing to back up)";
        return ListStatus::NoItems;
    }
    return ListStatus::Ok;
}

} // namespace diag
