#pragma once
// DIAG mode answers: NV read and write (main and by context), EFS sync, the switch to emergency
// download, and the error answers for bad lengths, unknown commands and frames with a bad FCS.
#include <cstdint>

#include "phonesim/nv.h"
#include "phonesim/util.h"

namespace phonesim {

constexpr uint8_t kDiagNvRead = 0x26;
constexpr uint8_t kDiagNvWrite = 0x27;
constexpr uint8_t kDiagSubsys = 0x4B;
constexpr uint8_t kDiagDload = 0x3A;
constexpr uint8_t kDiagBadCmd = 0x13;
constexpr uint8_t kDiagBadParams = 0x14;
constexpr uint8_t kDiagBadLen = 0x15;
constexpr uint8_t kDiagLocked = 0x42; // security locked
constexpr uint8_t kSubsysNv = 0x30;
constexpr uint8_t kSubsysEfs = 0x13;
constexpr uint16_t kEfsSync = 0x0030;

// A fault's answer to an NV read or write in place of the phone's own: a status word (the
// item is left alone), or an error packet with this code.
struct NvOverride {
    bool error_packet = false;
    uint16_t value = 0;
};

class DiagResponder {
  public:
    enum class Action { None, ToDownload, NvChanged };

    explicit DiagResponder(NvStore& nv) : nv_(nv) {}

    // True for requests that write (an NV write, main or by context).
    static bool is_write(const uint8_t* req, size_t n);
    // The item an NV read or write request names; false for any other request.
    static bool nv_target(const uint8_t* req, size_t n, bool& write, uint16_t& item,
                          uint16_t& context);
    // The answer to a frame whose FCS did not check (it is dropped): the bad-command code, then
    // the n bytes as they were received, in out (cleared first).
    static void bad_frame(const uint8_t* received, size_t n, Bytes& out);
    // An error packet with this code for the request, in out (cleared first).
    static void refuse(uint8_t code, const uint8_t* req, size_t n, Bytes& out);

    // The answer to one request in out (cleared first). fail_write makes a write answer the NV
    // failure status without storing; imei_unreadable makes item 550 read as never written;
    // an override answers an NV read or write instead of the phone.
    Action handle(const uint8_t* req, size_t n, Bytes& out, bool fail_write = false,
                  bool imei_unreadable = false, const NvOverride* override = nullptr);

  private:
    Action nv_access(const uint8_t* req, size_t n, size_t head, bool write, uint16_t item,
                     uint16_t context, Bytes& out, bool fail_write, bool imei_unreadable,
                     const NvOverride* override);
    NvStore& nv_;
    uint32_t sync_token_ = 0x1000;
};

} // namespace phonesim
