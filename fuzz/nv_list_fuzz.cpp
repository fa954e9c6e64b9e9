// "NVFrom.txt" on any text: an accepted list stays within its limits, and the list written
// back in the file's own form reads as the same items.
#include <cstdint>
#include <string>

#include "diag/nv_list.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    diag::NvItemLists lists;
    std::string why;
    const diag::ListStatus st = diag::ParseNvList(text, lists, why);
    if (st != diag::ListStatus::Ok) {
        FUZZ_CHECK(!why.empty());
        return 0;
    }
    FUZZ_CHECK(!lists.main.empty() || !lists.sim1.empty());
    FUZZ_CHECK(lists.main_text <= diag::kListTextLimit && lists.sim1_text <= diag::kListTextLimit);

    std::string again;
    for (uint16_t item : lists.main)
        again += "NV item: " + std::to_string(item) + " [NV_ITEM]\r\n";
    for (uint16_t item : lists.sim1)
        again += " NV item (SIM 1): " + std::to_string(item) + " [NV_ITEM]\n";
    // Numbers written without leading zeros are never longer than the ones read, so the
    // list's own form is always accepted again.
    diag::NvItemLists back;
    FUZZ_CHECK(diag::ParseNvList(again, back, why) == diag::ListStatus::Ok);
    FUZZ_CHECK(back.main == lists.main && back.sim1 == lists.sim1);
    return 0;
}
