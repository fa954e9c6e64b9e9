#pragma once
// The NV item list "NVFrom.txt": which items a QCN backup reads.
//
//   NV item: 00550 [NV_UE_IMEI_I]          a main item
//    NV item (SIM 1): 00453 [NV_FOO_I]     a SIM 1 item (note the leading blank)
//
// Every other line is ignored. Lines are taken in pieces of at most 255 characters, as a
// 256-byte line buffer would take them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace diag {

// Each list keeps at most this much text: the item numbers as written, each followed by ",".
constexpr size_t kListTextLimit = 8000;
constexpr size_t kListPiece = 255;

struct NvItemLists {
    std::vector<uint16_t> main;
    std::vector<uint16_t> sim1;
    size_t main_text = 0; // list text the entries would take
    size_t sim1_text = 0;
};

enum class ListStatus { Ok, TooLong, BadNumber, NoItems };

// Parses the list text. On an error `why` names the line and the reason; the lists then hold
// what was read before it. A text without a single item is NoItems.
ListStatus ParseNvList(std::string_view text, NvItemLists& out, std::string& why);

} // namespace diag
