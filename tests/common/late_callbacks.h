#pragma once
// A module callback that counts its calls and those that come after the module was deleted:
// the station frees the status record then, so a late call would write freed memory.
#include <atomic>
#include <chrono>

#include "engine/flashboot.h"

namespace twtest {

struct LateCallbacks {
    static inline std::atomic<int> calls{0};
    static inline std::atomic<int> late{0};
    static inline std::atomic<bool> deleted{false};

    static void Reset() {
        calls = 0;
        late = 0;
        deleted = false;
    }
    static int Record(Download* d) {
        calls.fetch_add(1);
        if (deleted.load()) late.fetch_add(1);
        d->iPortNumber += 0; // touches the record, as the station's callback does
        return 0;
    }
};

inline double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace twtest
