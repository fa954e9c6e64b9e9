#pragma once
// The phone's side of the framing: HDLC frames written straight to a pty master.
#include <unistd.h>

#include <cstdint>

#include "link/hdlc.h"

namespace twtest {

class PtyFramer : public CTransmitHdlc {
  public:
    explicit PtyFramer(int fd) : fd_(fd) {}
    int IsOpen() override { return 1; }
    int RawWrite(const uint8_t* d, int n) override {
        return ::write(fd_, d, static_cast<size_t>(n)) == n ? n : 0;
    }

  private:
    int fd_;
};

} // namespace twtest
