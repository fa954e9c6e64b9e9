#pragma once
// Roots of the link classes: a critical-section wrapper and the tagged base whose Check(0)
// tells a live object of the right class from a destroyed or foreign one.
#include <cstdint>

#include "platform/sync.h"

class CProtectedCritical {
public:
    CProtectedCritical() = default;
    // Waits for a current holder before the lock goes away.
    virtual ~CProtectedCritical() {
        m_cs.lock();
        m_cs.unlock();
    }
    CProtectedCritical(const CProtectedCritical&) = delete;
    CProtectedCritical& operator=(const CProtectedCritical&) = delete;

    void Enter() { m_cs.lock(); }
    void Leave() { m_cs.unlock(); }
    // For std::lock_guard.
    void lock() { Enter(); }
    void unlock() { Leave(); }

private:
    tw::Lock m_cs;
};

constexpr uint32_t TAG_PCTS_BASED = 0x10FE0001;
constexpr uint32_t TAG_TRANSMIT_HDLC = 0x10FE0002;
constexpr uint32_t TAG_TRANS_DEVICE = 0x10FE1001;
constexpr uint32_t TAG_QUALCOMM_DATA_INTERFACE = 0x10FE1003;

class CPctsBasedFunctional {
public:
    CPctsBasedFunctional() { SetTag(TAG_PCTS_BASED); }
    virtual bool Check(int kind) { return kind == 0 && Tag() == TAG_PCTS_BASED; }
    virtual ~CPctsBasedFunctional() { SetTag(0); }

    uint32_t Tag() {
        m_tagLock.Enter();
        uint32_t t = m_tag;
        m_tagLock.Leave();
        return t;
    }

protected:
    void SetTag(uint32_t tag) {
        m_tagLock.Enter();
        m_tag = tag;
        m_tagLock.Leave();
    }

private:
    uint32_t m_tag = 0;
    CProtectedCritical m_tagLock;
};
