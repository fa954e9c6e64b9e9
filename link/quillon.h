#pragma once
// The link facade: one object per opened COM port. Packets go out as HDLC frames; received
// frames come back decoded. Made with CreateComm, released with deleteComm or delete.
#include <atomic>
#include <cstdint>

using PortHandle = intptr_t;
constexpr PortHandle INVALID_PORT_HANDLE = -1;
constexpr PortHandle PORT_HANDLE_IN_USE = 0x170; // the out-argument when the port is held

class CTransService;

class CQuillonDll {
  public:
    CQuillonDll(int port, PortHandle& handle, int baud);
    // 115200 baud, then the loop-back handshake (a bounded number of attempts).
    CQuillonDll(int port, PortHandle& handle);
    // Two facades sharing one service would close it twice; copies are not allowed.
    CQuillonDll(const CQuillonDll&) = delete;
    CQuillonDll& operator=(const CQuillonDll&) = delete;
    virtual ~CQuillonDll();

    int Write(const uint8_t* data, int len);
    int WriteNo7e(const uint8_t* data, int len);            // len = packet length + 1
    int Read(uint8_t* buffer, int len);                     // waits up to 60000 ms
    int Read(uint8_t* buffer, int len, uint32_t timeoutMs); // waits up to timeoutMs (nominal)
    int HdlcReceive(uint8_t* buffer, int len);              // waits the overlap time-out
    int CleanRxBuffer();
    int GetOverlapTimeout(uint32_t& out);
    int SetOverlapTimeout(uint32_t ms);
    // Closes the port now, from any thread: a read or write blocked on this link returns -1202,
    // every later call finds the link dead, and the port is free for another opener when this
    // returns. The object itself lives on until deleted. 0, or -1202 when it was not open.
    int Close();

  private:
    void OpenLink(int port, PortHandle& handle, int baud);
    bool LoopbackHandshake();
    // False once the port has been found closed; the facade then stays dead.
    bool Alive();

    CTransService* m_pService = nullptr; // owned; set once by the constructor
    std::atomic<bool> m_dead{false};     // atomic: Close may run on another thread
};

CQuillonDll* CreateComm(int port, PortHandle& handle, int baud);
CQuillonDll* CreateComm(int port, PortHandle& handle);
void deleteComm(CQuillonDll* link);
