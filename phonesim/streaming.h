#pragma once
// The programmer's streaming download protocol: little-endian fields, hello, flash reads,
// security mode, partition table, open multi-image, stream writes at consecutive addresses,
// close and reset.
#include <cstdint>
#include <string>

#include "phonesim/util.h"

namespace phonesim {

constexpr uint8_t kStrHello = 0x01;
constexpr uint8_t kStrHelloResp = 0x02;
constexpr uint8_t kStrRead = 0x03;
constexpr uint8_t kStrReadResp = 0x04;
constexpr uint8_t kStrWrite = 0x07;
constexpr uint8_t kStrWriteResp = 0x08;
constexpr uint8_t kStrReset = 0x0B;
constexpr uint8_t kStrResetResp = 0x0C;
constexpr uint8_t kStrError = 0x0D;
constexpr uint8_t kStrClose = 0x15;
constexpr uint8_t kStrCloseResp = 0x16;
constexpr uint8_t kStrSecurity = 0x17;
constexpr uint8_t kStrSecurityResp = 0x18;
constexpr uint8_t kStrPartition = 0x19;
constexpr uint8_t kStrPartitionResp = 0x1A;
constexpr uint8_t kStrOpenMulti = 0x1B;
constexpr uint8_t kStrOpenMultiResp = 0x1C;

// Error codes of the 0x0D answer.
enum StreamError : uint32_t {
    kErrBadAddress = 0x02,
    kErrBadLength = 0x03,
    kErrBadCommand = 0x05,
    kErrFailed = 0x07,
    kErrOutOfSequence = 0x0F,
    kErrIncompatible = 0x11,
    kErrBadSecurityMode = 0x13,
    kErrBadImageType = 0x14,
};

constexpr char kHostMagic[] = "QCOM fast download protocol host";
constexpr char kTargetMagic[] = "QCOM fast download protocol targ";
constexpr uint8_t kStrVersion = 4;
constexpr uint8_t kStrCompatVersion = 2;
constexpr uint8_t kStrFeatures = 0x09; // uncompressed download, multi-image
constexpr uint32_t kFlashBase = 0x00000000;
constexpr char kFlashId[] = "SIMNAND 2K 512M";
constexpr uint32_t kFlashReadable = 0x10000;
constexpr uint32_t kInfoAddress = 0x20;
constexpr size_t kInfoSize = 52;
constexpr size_t kPartitionMax = 512;
constexpr uint32_t kDefaultBlockSize = 1024;

// The 52 bytes a read at 0x20 returns.
const uint8_t* flash_info_block();

// Where the programmer puts what it receives.
class StreamStore {
  public:
    virtual ~StreamStore() = default;
    virtual void partition_table(const uint8_t* data, size_t n, bool override_flag) = 0;
    virtual void open_image(uint8_t type, const uint8_t* header, size_t n) = 0;
    virtual void write_image(uint8_t type, uint32_t offset, const uint8_t* data, size_t n) = 0;
    virtual void close_image(uint8_t type) = 0;
};

class StreamingResponder {
  public:
    enum class Action { None, Reset, FirstImageWrite };

    StreamingResponder(StreamStore& store, uint32_t block_size)
        : store_(store), block_size_(block_size) {}

    static bool is_write(const uint8_t* req, size_t n) { return n >= 1 && req[0] == kStrWrite; }

    Action handle(const uint8_t* req, size_t n, Bytes& out, bool fail_write = false);

    int open_type() const { return open_type_; }
    // The error answer with this code and text, appended to out.
    static void error(Bytes& out, uint32_t code, const char* text);

  private:
    StreamStore& store_;
    uint32_t block_size_;
    bool hello_ = false;
    bool security_ = false;
    bool partition_ = false;
    bool wrote_image_ = false;
    int open_type_ = -1;
    uint32_t next_addr_ = 0;
    // The last accepted write, so a host repeating it after a lost answer is answered again.
    uint32_t last_addr_ = 0;
    uint32_t last_len_ = 0;
    uint32_t last_sum_ = 0;
};

} // namespace phonesim
