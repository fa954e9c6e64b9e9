#pragma once
// HDLC-style framing of every packet on a phone link: escaping, CRC-16 FCS, and the receive
// side that decodes the byte stream into CRC-checked frames held in a 60-node spool.
#include <atomic>
#include <cstdint>
#include <memory>

#include "link/node_spool.h"
#include "link/pcts_base.h"
#include "platform/sync.h"

namespace quillon {

constexpr int kFrameMax = 32896;     // unescaped bytes kept per received frame, FCS included
constexpr int kStagingSize = 32896;  // send staging buffer
constexpr int kNodeDataSize = 32900; // spare bytes let a text filter terminate a full frame
constexpr uint16_t kRxNodeCount = 60;

constexpr uint8_t kFlagEscape = 0x02;
constexpr uint8_t kFlagOverflow = 0x04; // more than kFrameMax bytes arrived: drop the frame
constexpr uint8_t kFlagReceiving = 0x40;
constexpr uint8_t kFlagComplete = 0x80;

constexpr int ERR_PORT_NOT_OPEN = -1202;
constexpr int ERR_RX_WOKEN_EMPTY = -1301;
constexpr int ERR_RX_ABANDONED = -1302;
constexpr int ERR_RX_TIMEOUT = -1303;
constexpr int ERR_RX_NO_NODE = -1702;

#pragma pack(push, 1)
struct HDLC_RX_NODE {
    NODE hdr;
    uint8_t flags;
    uint16_t crc;
    uint16_t length;
    uint8_t data[kNodeDataSize];
};
#pragma pack(pop)

} // namespace quillon

class CTransmitHdlc : public CPctsBasedFunctional {
  public:
    CTransmitHdlc();
    ~CTransmitHdlc() override;
    CTransmitHdlc(const CTransmitHdlc&) = delete;
    CTransmitHdlc& operator=(const CTransmitHdlc&) = delete;

    // Virtual slots in their original order.
    bool Check(int kind) override;
    virtual int IsOpen() { return 0; }
    virtual int RawWrite(const uint8_t* data, int len) {
        (void)data;
        (void)len;
        return 0;
    }
    virtual int OnFrameQueued();
    virtual int FilterFrame(int kind, uint8_t* data, int len) {
        (void)kind;
        (void)data;
        return len;
    }

    int FrameWrite(const uint8_t* data, int len);
    int FrameWriteNo7e(const uint8_t* data, int len);
    int DecodeBytes(const uint8_t* bytes, int count);
    int ReceiveSpace(int count);
    quillon::HDLC_RX_NODE* CurrentNode();
    static quillon::HDLC_RX_NODE* ResetNode(quillon::HDLC_RX_NODE* node);
    int TakeFrame(uint8_t* buffer, int len);
    int ClearReceive(int force);
    int GetOverlapTimeout(uint32_t& out) {
        out = m_overlapTimeout.load();
        return 1;
    }
    int SetOverlapTimeout(uint32_t ms) {
        m_overlapTimeout.store(ms);
        return 1;
    }

    // Frames dropped because they ran past kFrameMax bytes.
    uint64_t OversizeDropped() const { return m_oversizeDropped.load(); }
    // Frames waiting in the receive queue.
    int QueuedFrames();
    // Whether any frame waits in the receive queue, without taking the queue lock.
    bool HasQueuedFrames() const { return m_anyQueued.load(); }

  protected:
    // Makes current and later receive waits end as abandoned (the event is gone).
    void AbandonFrameEvent();
    // The port has closed or is being closed (true), or has opened again (false). While set, a
    // receive that finds no frame ends at once with ERR_PORT_NOT_OPEN (one waiting is woken to
    // do so), and a framed write cut short reports ERR_PORT_NOT_OPEN.
    void SetPortClosed(bool closed);

  private:
    int WriteFramed(const uint8_t* data, int len, bool opening_flag);
    quillon::HDLC_RX_NODE* CurrentNodeLocked(bool& queued);
    // Frees the queue and the current node: the spool as after node_init_spool.
    void FreeAllNodesLocked();

    NODE* m_rxQueue = nullptr;
    quillon::HDLC_RX_NODE* m_current = nullptr;
    struct SpoolUnmap {
        void operator()(unsigned char* p) const;
    };
    std::unique_ptr<unsigned char, SpoolUnmap> m_spoolMem;
    NODE_SPOOL* m_spool = nullptr;
    std::atomic<bool> m_anyQueued{false}; // m_rxQueue is not empty; written under the lock
    std::atomic<uint32_t> m_overlapTimeout{0};
    std::unique_ptr<tw::ManualResetEvent> m_frameEvent;
    CProtectedCritical m_queueLock;
    std::atomic<uint64_t> m_oversizeDropped{0};
    std::atomic<bool> m_portClosed{false};
};
