// Streaming download protocol: what the engine says to the flash programmer once it runs.
// Every field is little-endian. Each operation is one exchange on the packet buffer followed by
// a check of the reply; a check only trusts bytes that actually arrived.
#include <cstring>

#include "engine/debug_out.h"
#include "engine/flashboot.h"
#include "engine/packet_util.h"
#include "platform/clock.h"

using namespace sondrel;

namespace {
constexpr uint8_t kHello = 0x01;
constexpr uint8_t kHelloRsp = 0x02;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kReadData = 0x04;
constexpr uint8_t kStreamWrite = 0x07;
constexpr uint8_t kBlockWritten = 0x08;
constexpr uint8_t kResetAck = 0x0C;
constexpr uint8_t kPhoneError = 0x0D;
constexpr uint8_t kPhoneLog = 0x0E;
constexpr uint8_t kClose = 0x15;
constexpr uint8_t kClosed = 0x16;
constexpr uint8_t kSecurityMode = 0x17;
constexpr uint8_t kSecurityModeRsp = 0x18;
constexpr uint8_t kPartitionTable = 0x19;
constexpr uint8_t kPartitionTableRsp = 0x1A;
constexpr uint8_t kOpenMultiImage = 0x1B;
constexpr uint8_t kOpenMultiImageRsp = 0x1C;

constexpr char kHostText[] = "QCOM fast download protocol host";
constexpr char kTargetText[] = "QCOM fast download protocol targ";
constexpr size_t kHelloTextLen = 32;
static_assert(sizeof kHostText - 1 == kHelloTextLen && sizeof kTargetText - 1 == kHelloTextLen);

// A read reply is 5 bytes of header and the data, inside the 1031 bytes a reply may have.
constexpr uint16_t kReadMax = kStreamingReplyMax - 5;
} // namespace

int Flashboot::Streaming_Download_Protocol_Handle_Hello_Cmd() {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    PacketBuffer* p = PrepareCommand(kHello, 36, 0);
    if (!p) return RecordError(FB_ERR_STREAM_PACKET);
    const bool first = (m_helloVariant == 1);
    p->data[0] = kHello;
    std::memcpy(p->data + 1, kHostText, kHelloTextLen);
    p->data[33] = first ? 2 : 3;       // version
    p->data[34] = first ? 2 : 3;       // compatible version
    p->data[35] = first ? 0x01 : 0x09; // feature bits
    int rc = Streaming_Download_Protocol_SendAndWaitResponds(p);
    if (rc != 0) {
        Pause(2000);
        DebugOutput("\n Streaming_Download_Protocol_Handle_Hello_Cmd_ERROR !");
        return rc;
    }
    // Only the code and the text are judged; the versions may be anything.
    if (p->data[0] != kHelloRsp || m_replyLength < 1 + static_cast<int>(kHelloTextLen) ||
        std::memcmp(p->data + 1, kTargetText, kHelloTextLen) != 0) {
        RecordError(FB_ERR_STREAM);
        DebugOutput("\n PST_DATA_ADAPTER_ERROR_STREAM_DOWNLOAD_BAD_RSP_ERROR !");
        return FB_ERR_STREAM;
    }
    return FB_OK;
}

int Flashboot::Streaming_Download_Protocol_Read(uint8_t* buffer, uint32_t address, uint16_t count) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    // A longer answer could not be received whole.
    if (count > kReadMax) return RecordError(FB_ERR_STREAM);
    PacketBuffer* p = PrepareCommand(kRead, 7, address);
    if (!p) return RecordError(FB_ERR_STREAM_PACKET);
    p->data[0] = kRead;
    put_le32(p->data + 1, address);
    put_le16(p->data + 5, count);
    int rc = Streaming_Download_Protocol_SendAndWaitResponds(p);
    if (rc != 0) return rc;
    if (p->data[0] != kReadData || get_le32(p->data + 1) != address ||
        m_replyLength < 5 + static_cast<int>(count)) {
        return RecordError(FB_ERR_STREAM);
    }
    if (buffer && count > 0) std::memcpy(buffer, p->data + 5, count);
    return FB_OK;
}

int Flashboot::Streaming_Download_Protocol_Stream_Write(const uint8_t* data, uint32_t address,
                                                        uint16_t count) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    if (!data || count == 0) return RecordError(FB_ERR_STREAM);
    PacketBuffer* p = PrepareCommand(kStreamWrite, uint32_t{count} + 5, address);
    if (!p) return RecordError(FB_ERR_STREAM_PACKET);
    p->data[0] = kStreamWrite;
    put_le32(p->data + 1, address);
    put_payload(p, 5, data, count);
    int rc = Streaming_Download_Protocol_SendAndWaitResponds(p);
    if (rc != 0) return rc;
    if (p->data[0] != kBlockWritten || get_le32(p->data + 1) != address || m_replyLength < 5)
        return RecordError(FB_ERR_STREAM);
    return FB_OK;
}

int Flashboot::Streaming_Download_Protocol_Reset(uint8_t code) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    DebugOutput("=================Streaming_Downlaod_Protocol_BuildPackageUint===================");
    PacketBuffer* p = PrepareCommand(code, 1, 0);
    if (!p) return RecordError(FB_ERR_STREAM_PACKET);
    DebugOutput("=================Streaming_Download_Protocol_Build_Reset_Cmd===================");
    p->data[0] = code;
    const char* sending =
        "=================Streaming_Download_Protocol_SendAndWaitResponds in resetphone"
        "===================";
    DebugOutput(sending);
    int rc = Streaming_Download_Protocol_SendAndWaitResponds(p);
    if (rc != 0) {
        DebugOutput(sending);
        return rc;
    }
    return Streaming_Download_Protocol_Check_Reset_Rsp();
}

int Flashboot::Streaming_Download_Protocol_Check_Reset_Rsp() {
    const uint8_t code = m_packet.data[0];
    bool ok = m_replyLength >= 1;
    if (ok && code == kResetAck) {
        DebugOutput("\n Close_Rsp STREAMING_DOWNLOAD_RSP_OPEN !");
    } else if (ok && code == kPhoneError) {
        DebugOutput("\n Close_Rsp STREAMING_DOWNLOAD_PHONE_ERROR !");
    } else if (ok && code == kPhoneLog) {
        DebugOutput("\n Close_Rsp STREAMING_DOWNLOAD_PHONE_LOG !");
    } else {
        ok = false;
    }
    if (!ok) {
        RecordError(FB_ERR_STREAM);
        DebugOutput("=================Streaming_Download_Protocol_Check_Reset_Rsp in resetphone "
                    "fail===================");
        return FB_ERR_STREAM;
    }
    DebugOutput("=================Streaming_Download_Protocol_Check_Reset_Rsp in resetphone "
                "successfully===================");
    return FB_OK;
}

int Flashboot::Streaming_Download_Protocol_Close() {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    PacketBuffer* p = PrepareCommand(kClose, 1, 0);
    if (!p) return RecordError(FB_ERR_STREAM_PACKET);
    p->data[0] = kClose;
    int rc = Streaming_Download_Protocol_SendAndWaitResponds(p);
    if (rc != 0) return rc;
    if (m_replyLength < 1) return RecordError(FB_ERR_STREAM);
    switch (p->data[0]) {
    case kClosed:
        DebugOutput("\n Close_Rsp STREAMING_DOWNLOAD_RSP_OPEN !");
        return FB_OK;
    case kPhoneError:
        DebugOutput("\n Close_Rsp STREAMING_DOWNLOAD_PHONE_ERROR !");
        return FB_OK;
    case kPhoneLog:
        DebugOutput("\n Close_Rsp STREAMING_DOWNLOAD_PHONE_LOG !");
        return FB_OK;
    default:
        return RecordError(FB_ERR_STREAM);
    }
}

int Flashboot::Streaming_Download_Protocol_Security_Mode(uint8_t mode) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    PacketBuffer* p = PrepareCommand(kSecurityMode, 2, 0);
    if (!p) return RecordError(FB_ERR_STREAM_PACKET);
    p->data[0] = kSecurityMode;
    p->data[1] = mode;
    int rc = Streaming_Download_Protocol_SendAndWaitResponds(p);
    if (rc != 0) return rc;
    if (m_replyLength < 1) return RecordError(FB_ERR_STREAM);
    switch (p->data[0]) {
    case kSecurityModeRsp:
        DebugOutput("\nOpen_Rsp STREAMING_DOWNLOAD_RSP_SECURITY_MODE !");
        return FB_OK;
    case kPhoneError:
        DebugOutput("\nOpen_Rsp STREAMING_DOWNLOAD_PHONE_ERROR !");
        return FB_OK;
    case kPhoneLog:
        DebugOutput("\nOpen_Rsp STREAMING_DOWNLOAD_PHONE_LOG !");
        return FB_OK;
    default:
        return RecordError(FB_ERR_STREAM);
    }
}

int Flashboot::Streaming_Download_Protocol_Partition_Table(const uint8_t* table, uint16_t count,
                                                           uint8_t overrideFlag) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    if (!table || count == 0) return RecordError(FB_ERR_STREAM);
    PacketBuffer* p = PrepareCommand(kPartitionTable, uint32_t{count} + 2, 0);
    if (!p) return RecordError(FB_ERR_STREAM_PACKET);
    p->data[0] = kPartitionTable;
    p->data[1] = overrideFlag;
    put_payload(p, 2, table, count);
    int rc = Streaming_Download_Protocol_SendAndWaitResponds(p);
    if (rc != 0) return rc;
    if (p->data[0] != kPartitionTableRsp || m_replyLength < 2) return RecordError(FB_ERR_STREAM);
    switch (p->data[1]) {
    case 0:
        DebugOutput("\n Partition_Table STREAMING_DOWNLOAD_PARTITION_TABLE_RSP_ACCEPTED ! \n");
        return FB_OK;
    case 1:
        // Accepted only by overriding the phone's own table: a failed try for the flows.
        DebugOutput(
            "\n Partition_Table STREAMING_DOWNLOAD_PARTITION_TABLE_RSP_OVERRIDE_ACCEPTED ! \n");
        RecordError(FB_ERR_PARTITION_REJECTED);
        return FB_ERR_PARTITION_OVERRIDE;
    case 2:
        DebugOutput("\n Partition_Table STREAMING_DOWNLOAD_PARTITION_TABLE_RSP_UNRECOGNIZED ! \n");
        RecordError(FB_ERR_PARTITION_REJECTED);
        return FB_ERR_STREAM;
    case 3:
        DebugOutput("\n Partition_Table STREAMING_DOWNLOAD_PARTITION_TABLE_RSP_FAILED ! \n");
        RecordError(FB_ERR_PARTITION_FAILED);
        return FB_ERR_STREAM;
    default:
        DebugOutput("\n Partition_Table Unknown ERROR ! \n");
        return RecordError(FB_ERR_STREAM);
    }
}

int Flashboot::Streaming_Download_Protocol_Open_Multi_Image(const uint8_t* payload, uint16_t count,
                                                            uint8_t imageType) {
    ModuleHold hold(this);
    if (!hold) return FB_ERR_PORT_NOT_OPEN;
    if (count > 0 && !payload) return RecordError(FB_ERR_STREAM_PACKET);
    PacketBuffer* p = PrepareCommand(kOpenMultiImage, uint32_t{count} + 2, 0);
    if (!p) return RecordError(FB_ERR_STREAM_PACKET);
    p->data[0] = kOpenMultiImage;
    p->data[1] = imageType;
    put_payload(p, 2, payload, count);
    int rc = Streaming_Download_Protocol_SendAndWaitResponds(p);
    if (rc != 0) return rc;
    if (p->data[0] != kOpenMultiImageRsp || m_replyLength < 2) return RecordError(FB_ERR_STREAM);
    static const char* const kStatusText[] = {
        nullptr,
        "\n Open_Multi_Image STREAMING_DOWNLOAD_MULTI_IMAGE_OPEN_STATUS_LENGTH_ERROR ! \n",
        "\n Open_Multi_Image STREAMING_DOWNLOAD_MULTI_IMAGE_OPEN_STATUS_NO_PAYLOAD ! \n",
        "\n Open_Multi_Image STREAMING_DOWNLOAD_MULTI_IMAGE_OPEN_STATUS_PAYLOAD_REQ_FAILED ! \n",
        "\n Open_Multi_Image STREAMING_DOWNLOAD_MULTI_IMAGE_OPEN_STATUS_BLOCK_ZERO_PROTECTED ! \n",
    };
    const uint8_t status = p->data[1];
    if (status == 0) {
        DebugOutput("\n Open_Multi_Image STREAMING_DOWNLOAD_MULTI_IMAGE_OPEN_STATUS_SUCCESS ! \n");
        return FB_OK;
    }
    RecordError(FB_ERR_STREAM);
    if (status <= 4) DebugOutput(kStatusText[status]);
    return FB_ERR_STREAM;
}
