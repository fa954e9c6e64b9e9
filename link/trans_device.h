#pragma once
// The abstract port device of a link: its virtual operations in their fixed slot order, each with
// the do-nothing behaviour that the COM port implementation and the link service override.
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "link/pcts_base.h"
#include "link/quillon.h"

// SetOption id of the line settings.
constexpr int OPTION_LINE_SETTINGS = 0x10001;

// The value behind SetOption(OPTION_LINE_SETTINGS, ...).
struct LINE_SETTINGS {
    int baudRate;
    uint8_t byteSize;
    uint8_t parity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits; // 0 one, 1 one and a half, 2 two
};

class CTransDevice : public CPctsBasedFunctional {
  public:
    static constexpr int kMaxReadSize = 32896;

    CTransDevice() { SetTag(TAG_TRANS_DEVICE); }
    ~CTransDevice() override { SetTag(0); }
    CTransDevice(const CTransDevice&) = delete;
    CTransDevice& operator=(const CTransDevice&) = delete;

    bool Check(int kind) override { return kind == 0 && Tag() == TAG_TRANS_DEVICE; }
    virtual int Reserved1(int, int, int) { return 0; }
    virtual int Close(int code) {
        (void)code;
        return 0;
    }
    virtual int RawWrite(const uint8_t* data, int len) {
        (void)data;
        (void)len;
        return 0;
    }
    virtual int Reserved4(int, int) { return 0; }
    virtual int SetOption(int id, const void* value) {
        (void)id;
        (void)value;
        return 0;
    }
    virtual int OnOpened(int kind, int port, int reserved) {
        (void)kind;
        (void)port;
        (void)reserved;
        return 0;
    }
    virtual int OnClosed(int code) { return code; }
    virtual int ReadSize(int count) { return std::min(count, kMaxReadSize); }
    virtual int OnData(const uint8_t* data, int len) {
        (void)data;
        (void)len;
        return 0;
    }
    virtual int Reserved10(int) { return 0; }
    virtual int Open(int kind, int port, int reserved, PortHandle& handleOut) = 0;

    // 1 once an open test has succeeded.
    int Opened() const { return m_opened.load(); }

  protected:
    std::atomic<int> m_opened{0};
};
