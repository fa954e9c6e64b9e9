#pragma once
// The link service: a COM port joined to the HDLC framing. Bytes the reader thread takes from the
// port go straight into the frame decoder; framed bytes go straight to the port.
#include <string>

#include "link/hdlc.h"
#include "link/qualcomm_data_interface.h"

class CTransService : public CTransmitHdlc, public CQualcommDataInterface {
  public:
    CTransService();
    ~CTransService() override;

    // Framing side.
    bool Check(int kind) override;
    int IsOpen() override { return Check(1) ? 1 : 0; }
    // Writes of a multiple of 64 bytes (0 included) get one byte more, so a USB transfer never
    // ends on a full packet.
    int RawWrite(const uint8_t* data, int len) override;
    int FilterFrame(int kind, uint8_t* data, int len) override;
    int OnFrameQueued() override;
    // TakeFrame with the overlap time-out, reading the port on this thread while it waits (see
    // CQualcommDataInterface): the frame's length, 0 when nothing is queued and the time-out
    // is 0, -1303 when the time-out passed, -1202 when the port closed.
    int Receive(uint8_t* buffer, int len);
    // Empties the receive queue, the frame being decoded and what the port holds unread: an
    // answer that arrived before the next request is never taken for its answer.
    int CleanReceive();

    // Port side.
    int Close(int code) override;
    int SetOption(int id, const void* value) override;
    int OnOpened(int kind, int port, int reserved) override;
    int OnClosed(int code) override;
    int ReadSize(int count) override;
    int OnData(const uint8_t* data, int len) override;
    // Kind 1 enables the service and opens the port; any other kind does nothing.
    int Open(int kind, int port, int reserved, PortHandle& handleOut) override;
    // As Open, with the tty named directly.
    int OpenPath(int kind, int port, int reserved, const std::string& path, bool diag,
                 PortHandle& handleOut);

    uint32_t LastActivity() const { return m_lastActivity.load(); }
};
