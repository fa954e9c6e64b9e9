// Feeds arbitrary bytes to the frame decoder in arbitrary chunks; every delivered frame must
// be within the size limit and the decoder must never write outside its nodes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "link/hdlc.h"

namespace {
class Rx : public CTransmitHdlc {
public:
    int IsOpen() override { return 1; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto rx = std::make_unique<Rx>();
    rx->ClearReceive(1);
    size_t pos = 0;
    static uint8_t out[40000];
    while (pos < size) {
        size_t chunk = 1 + (data[pos] % 97);
        if (chunk > size - pos) chunk = size - pos;
        int room = rx->ReceiveSpace(static_cast<int>(chunk));
        if (room < 1) {
            int n = rx->TakeFrame(out, 0);
            if (n > quillon::kFrameMax - 2) std::abort();
            continue;
        }
        rx->DecodeBytes(data + pos, room);
        pos += static_cast<size_t>(room);
    }
    int n;
    while ((n = rx->TakeFrame(out, 0)) > 0)
        if (n > quillon::kFrameMax - 2) std::abort();
    return 0;
}
