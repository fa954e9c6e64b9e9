#pragma once
// A link without a port, for harnesses that drive the engine's protocol code: each request the
// engine writes is answered with the next frames of a script, and the bytes of the caller's
// buffer a frame does not cover are set to a chosen value, as the request left there would be.
// Linked instead of the real link library (fake_link.cpp defines CQuillonDll).
#include <cstdint>
#include <deque>
#include <vector>

namespace fakelink {

struct Script {
    // Frames answering each request, in order; a request without an entry gets no answer.
    std::deque<std::vector<std::vector<uint8_t>>> answers;
    std::vector<std::vector<uint8_t>> requests; // what the engine wrote
    uint8_t fill = 0;                           // the bytes past a received frame
};

// The script every link of the process follows; single-threaded use only.
Script& script();

} // namespace fakelink
