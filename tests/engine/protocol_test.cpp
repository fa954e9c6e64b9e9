// DMSS and streaming requests as they reach a phone, byte for byte, and the judgement of every
// kind of answer; the phone is a pty whose replies the test scripts.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/debug_out.h"
#include "engine/flashboot.h"
#include "platform/clock.h"
#include "scripted_phone.h"

using enginetest::Bytes;
using enginetest::ScriptedPhone;

namespace {

constexpr char kTarg[] = "QCOM fast download protocol targ";
constexpr char kHost[] = "QCOM fast download protocol host";

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

Bytes hello_reply(uint8_t version, uint8_t compat) {
    return cat(cat({0x02}, text(kTarg)), {version, compat, 0x00, 0x04, 0x00, 0x00});
}

class Protocol : public ::testing::Test {
  protected:
    static constexpr int kCom = 41;

    void SetUp() override {
        tw::clock::set_scale(0.01);
        phone_ = std::make_unique<ScriptedPhone>(kCom);
        ASSERT_TRUE(phone_->ok());
        module_ = CreateModule(kCom, 0, nullptr);
        ASSERT_NE(module_, nullptr);
        ASSERT_NE(module_->hComHandle, INVALID_PORT_HANDLE);
        // A time-out in force, as the flows set one before their exchanges.
        module_->trans_Dig->SetOverlapTimeout(3000);
    }
    void TearDown() override {
        DeleteModule(module_);
        phone_.reset();
        sondrel::SetDebugCapture(nullptr);
    }

    // Runs op with the phone answering `reply` and returns op's result; the request lands in
    // sent_.
    template <class Op> int exchange(std::optional<Bytes> reply, Op op) {
        phone_->clear();
        phone_->answer(std::move(reply));
        int rc = op();
        auto reqs = phone_->requests(1);
        sent_ = reqs.empty() ? Bytes{} : reqs.back();
        return rc;
    }

    void capture() {
        lines_.clear();
        sondrel::SetDebugCapture([this](const std::string& s) { lines_.push_back(s); });
    }
    bool printed(const std::string& s) const {
        for (auto& l : lines_)
            if (l == s) return true;
        return false;
    }

    std::unique_ptr<ScriptedPhone> phone_;
    Flashboot* module_ = nullptr;
    Bytes sent_;
    std::vector<std::string> lines_;
};

TEST_F(Protocol, DmssRequestBytes) {
    const Bytes three = {0xAA, 0x7E, 0x55};
    module_->m_write32 = 1;
    EXPECT_EQ(exchange(Bytes{0x02}, [&] { return module_->DMSS_Write(three.data(), 0x10000, 3); }),
              0);
    EXPECT_EQ(sent_, cat({0x0F, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03}, three));
    module_->m_write32 = 0;
    EXPECT_EQ(exchange(Bytes{0x02}, [&] { return module_->DMSS_Write(three.data(), 0x10000, 3); }),
              0);
    EXPECT_EQ(sent_, cat({0x07, 0x00, 0x00, 0x01, 0x00}, three));
    EXPECT_EQ(exchange(Bytes{0x02}, [&] { return module_->DMSS_Go(0x12345678); }), 0);
    EXPECT_EQ(sent_, (Bytes{0x05, 0x12, 0x34, 0x56, 0x78}));

    capture();
    uint8_t any = 0;
    EXPECT_EQ(exchange(Bytes{0x02}, [&] { return module_->DMSS_Nop(&any, 1); }), 0);
    EXPECT_EQ(sent_, Bytes{0x06});
    EXPECT_TRUE(printed("\n NOP_Rsp Successfully !"));
    EXPECT_TRUE(printed("\n NOP_Rsp Check ACK Successfully !"));
    // The parameter request takes any answer.
    EXPECT_EQ(
        exchange(Bytes{0x08, 0x01, 0x02}, [&] { return module_->DMSS_Parameter_Request(&any, 1); }),
        0);
    EXPECT_EQ(sent_, Bytes{0x07});
}

TEST_F(Protocol, DmssRefusalsAndNak) {
    uint8_t b = 1;
    // Bad arguments send nothing.
    EXPECT_EQ(module_->DMSS_Write(&b, 0, 0), FB_ERR_DMSS_ARGS);
    EXPECT_EQ(module_->DMSS_Write(nullptr, 0, 1), FB_ERR_DMSS_ARGS);
    EXPECT_EQ(module_->DMSS_Nop(nullptr, 1), FB_ERR_DMSS_ARGS);
    EXPECT_EQ(module_->DMSS_Parameter_Request(&b, 0), FB_ERR_DMSS_ARGS);
    EXPECT_EQ(module_->LastError(), FB_ERR_DMSS_ARGS);
    tw::clock::sleep_ms(2000);
    EXPECT_EQ(phone_->count(), 0u);

    const Bytes nak = {0x03, 0x00, 0x07};
    EXPECT_EQ(exchange(nak, [&] { return module_->DMSS_Nop(&b, 1); }), FB_ERR_DMSS);
    EXPECT_EQ(exchange(nak, [&] { return module_->DMSS_Write(&b, 0x20, 1); }), FB_ERR_DMSS);
    EXPECT_EQ(exchange(nak, [&] { return module_->DMSS_Go(0x20); }), FB_ERR_DMSS);
    EXPECT_EQ(module_->LastError(), FB_ERR_DMSS);

    // A silent phone: the time-out's code, or -11932 when no time-out is in force.
    EXPECT_EQ(exchange(std::nullopt, [&] { return module_->DMSS_Nop(&b, 1); }), -1303);
    EXPECT_EQ(module_->LastError(), -1303);
    module_->trans_Dig->SetOverlapTimeout(0);
    EXPECT_EQ(exchange(std::nullopt, [&] { return module_->DMSS_Go(0x20); }), FB_ERR_DMSS);
    EXPECT_EQ(module_->LastError(), FB_ERR_DMSS);
}

TEST_F(Protocol, ACommandLongerThanTheLimitSendsTheLimit) {
    std::vector<uint8_t> big(40000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 31);
    module_->m_write32 = 1;
    EXPECT_EQ(exchange(Bytes{0x02}, [&] { return module_->DMSS_Write(big.data(), 0x8000, 40000); }),
              0);
    ASSERT_EQ(sent_.size(), static_cast<size_t>(kMaxCommandLength));
    EXPECT_EQ(Bytes(sent_.begin(), sent_.begin() + 7), (Bytes{0x0F, 0, 0, 0x80, 0, 0x9C, 0x40}));
    EXPECT_EQ(Bytes(sent_.begin() + 7, sent_.end()), Bytes(big.begin(), big.begin() + 32883));
    EXPECT_EQ(exchange(Bytes{0x08, 0, 0, 0, 0},
                       [&] {
                           return module_->Streaming_Download_Protocol_Stream_Write(big.data(), 0,
                                                                                    33000);
                       }),
              0);
    ASSERT_EQ(sent_.size(), static_cast<size_t>(kMaxCommandLength));
    EXPECT_EQ(Bytes(sent_.begin() + 5, sent_.end()), Bytes(big.begin(), big.begin() + 32885));
}

TEST_F(Protocol, StreamingRequestBytes) {
    auto* m = module_;
    EXPECT_EQ(exchange(hello_reply(2, 2),
                       [&] { return m->Streaming_Download_Protocol_Handle_Hello_Cmd(); }),
              0);
    EXPECT_EQ(sent_, cat(cat({0x01}, text(kHost)), {0x02, 0x02, 0x01}));
    m->m_helloVariant = 0;
    EXPECT_EQ(exchange(hello_reply(3, 3),
                       [&] { return m->Streaming_Download_Protocol_Handle_Hello_Cmd(); }),
              0);
    EXPECT_EQ(sent_, cat(cat({0x01}, text(kHost)), {0x03, 0x03, 0x09}));

    uint8_t out[4] = {};
    EXPECT_EQ(exchange(Bytes{0x04, 0x20, 0, 0, 0, 9, 8, 7, 6},
                       [&] { return m->Streaming_Download_Protocol_Read(out, 0x20, 4); }),
              0);
    EXPECT_EQ(sent_, (Bytes{0x03, 0x20, 0, 0, 0, 0x04, 0x00}));
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{9, 8, 7, 6}));

    const Bytes data = {1, 2, 3};
    EXPECT_EQ(exchange(Bytes{0x08, 0x00, 0x04, 0, 0},
                       [&] {
                           return m->Streaming_Download_Protocol_Stream_Write(data.data(), 0x400,
                                                                              3);
                       }),
              0);
    EXPECT_EQ(sent_, (Bytes{0x07, 0x00, 0x04, 0, 0, 1, 2, 3}));

    EXPECT_EQ(
        exchange(Bytes{0x18}, [&] { return m->Streaming_Download_Protocol_Security_Mode(1); }), 0);
    EXPECT_EQ(sent_, (Bytes{0x17, 0x01}));

    const Bytes table = {0xAA, 0x73, 0x00, 0x7D};
    EXPECT_EQ(exchange(Bytes{0x1A, 0x00},
                       [&] {
                           return m->Streaming_Download_Protocol_Partition_Table(table.data(), 4,
                                                                                 0);
                       }),
              0);
    EXPECT_EQ(sent_, cat({0x19, 0x00}, table));

    const Bytes header = {0x05, 0x00, 0x00, 0x00, 0x28};
    EXPECT_EQ(exchange(Bytes{0x1C, 0x00},
                       [&] {
                           return m->Streaming_Download_Protocol_Open_Multi_Image(header.data(), 5,
                                                                                  0x05);
                       }),
              0);
    EXPECT_EQ(sent_, cat({0x1B, 0x05}, header));
    EXPECT_EQ(
        exchange(Bytes{0x1C, 0x00},
                 [&] { return m->Streaming_Download_Protocol_Open_Multi_Image(nullptr, 0, 0x0D); }),
        0);
    EXPECT_EQ(sent_, (Bytes{0x1B, 0x0D}));

    EXPECT_EQ(exchange(Bytes{0x16}, [&] { return m->Streaming_Download_Protocol_Close(); }), 0);
    EXPECT_EQ(sent_, Bytes{0x15});

    capture();
    EXPECT_EQ(exchange(Bytes{0x0C}, [&] { return m->Streaming_Download_Protocol_Reset(0x0B); }), 0);
    EXPECT_EQ(sent_, Bytes{0x0B});
    const std::vector<std::string> reset_lines = {
        "=================Streaming_Downlaod_Protocol_BuildPackageUint===================",
        "=================Streaming_Download_Protocol_Build_Reset_Cmd===================",
        "=================Streaming_Download_Protocol_SendAndWaitResponds in "
        "resetphone===================",
        "\n Close_Rsp STREAMING_DOWNLOAD_RSP_OPEN !",
        "=================Streaming_Download_Protocol_Check_Reset_Rsp in resetphone "
        "successfully==================="};
    EXPECT_EQ(lines_, reset_lines);
}

TEST_F(Protocol, HelloReplyChecks) {
    auto* m = module_;
    // Any versions will do.
    EXPECT_EQ(exchange(hello_reply(0x77, 0xEE),
                       [&] { return m->Streaming_Download_Protocol_Handle_Hello_Cmd(); }),
              0);
    capture();
    Bytes wrong = hello_reply(2, 2);
    wrong[32] = 'G'; // the 32nd text byte
    EXPECT_EQ(exchange(wrong, [&] { return m->Streaming_Download_Protocol_Handle_Hello_Cmd(); }),
              FB_ERR_STREAM);
    EXPECT_EQ(m->LastError(), FB_ERR_STREAM);
    EXPECT_TRUE(printed("\n PST_DATA_ADAPTER_ERROR_STREAM_DOWNLOAD_BAD_RSP_ERROR !"));
    // A reply cut after the code is not a hello reply, whatever the buffer still holds.
    EXPECT_EQ(
        exchange(Bytes{0x02}, [&] { return m->Streaming_Download_Protocol_Handle_Hello_Cmd(); }),
        FB_ERR_STREAM);
    // The exchange itself failing returns its own code.
    lines_.clear();
    EXPECT_EQ(
        exchange(std::nullopt, [&] { return m->Streaming_Download_Protocol_Handle_Hello_Cmd(); }),
        -1303);
    EXPECT_TRUE(printed("\n Streaming_Download_Protocol_Handle_Hello_Cmd_ERROR !"));
}

TEST_F(Protocol, ReadAndStreamWriteWithAnotherAddressAreRefused) {
    auto* m = module_;
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(exchange(Bytes{0x04, 0x21, 0, 0, 0, 9, 8, 7, 6},
                       [&] { return m->Streaming_Download_Protocol_Read(out, 0x20, 4); }),
              FB_ERR_STREAM);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xEE, 0xEE, 0xEE, 0xEE})); // nothing copied
    EXPECT_EQ(m->LastError(), FB_ERR_STREAM);
    // Right address but fewer data bytes than asked for: nothing copied either.
    EXPECT_EQ(exchange(Bytes{0x04, 0x20, 0, 0, 0, 9, 8},
                       [&] { return m->Streaming_Download_Protocol_Read(out, 0x20, 4); }),
              FB_ERR_STREAM);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xEE, 0xEE, 0xEE, 0xEE}));
    // A read whose answer could not fit the reply is refused before sending.
    phone_->clear();
    EXPECT_EQ(m->Streaming_Download_Protocol_Read(out, 0x20, 1027), FB_ERR_STREAM);
    EXPECT_EQ(m->Streaming_Download_Protocol_Read(nullptr, 0x20, 0), -1303); // silent phone
    EXPECT_EQ(phone_->count(), 1u);

    const uint8_t d[2] = {1, 2};
    EXPECT_EQ(exchange(Bytes{0x08, 0x00, 0x08, 0, 0},
                       [&] { return m->Streaming_Download_Protocol_Stream_Write(d, 0x400, 2); }),
              FB_ERR_STREAM);
    // Code alone: the address bytes still in the buffer are the request's, not an answer.
    EXPECT_EQ(exchange(Bytes{0x08},
                       [&] { return m->Streaming_Download_Protocol_Stream_Write(d, 0x400, 2); }),
              FB_ERR_STREAM);
    phone_->clear();
    EXPECT_EQ(m->Streaming_Download_Protocol_Stream_Write(d, 0x400, 0), FB_ERR_STREAM);
    EXPECT_EQ(m->Streaming_Download_Protocol_Stream_Write(nullptr, 0x400, 2), FB_ERR_STREAM);
    tw::clock::sleep_ms(2000);
    EXPECT_EQ(phone_->count(), 0u);
}

TEST_F(Protocol, PartitionTableAndOpenMultiImageStatusTables) {
    auto* m = module_;
    const uint8_t t[2] = {1, 2};
    struct Row {
        Bytes reply;
        int result;
        int recorded;
        const char* line;
    };
    const Row rows[] = {
        {{0x1A, 0},
         0,
         0,
         "\n Partition_Table STREAMING_DOWNLOAD_PARTITION_TABLE_RSP_ACCEPTED ! \n"},
        {{0x1A, 1},
         -11991,
         -11001,
         "\n Partition_Table STREAMING_DOWNLOAD_PARTITION_TABLE_RSP_OVERRIDE_ACCEPTED ! \n"},
        {{0x1A, 2},
         -11962,
         -11001,
         "\n Partition_Table STREAMING_DOWNLOAD_PARTITION_TABLE_RSP_UNRECOGNIZED ! \n"},
        {{0x1A, 3},
         -11962,
         -11993,
         "\n Partition_Table STREAMING_DOWNLOAD_PARTITION_TABLE_RSP_FAILED ! \n"},
        {{0x1A, 9}, -11962, -11962, "\n Partition_Table Unknown ERROR ! \n"},
        {{0x1C, 0}, -11962, -11962, nullptr}, // another reply code
    };
    for (const auto& r : rows) {
        m->m_lastError = 0;
        capture();
        EXPECT_EQ(exchange(r.reply,
                           [&] { return m->Streaming_Download_Protocol_Partition_Table(t, 2, 0); }),
                  r.result)
            << int(r.reply[1]);
        EXPECT_EQ(m->LastError(), r.recorded) << int(r.reply[1]);
        if (r.line) {
            EXPECT_TRUE(printed(r.line)) << r.line;
        }
    }
    phone_->clear();
    EXPECT_EQ(m->Streaming_Download_Protocol_Partition_Table(nullptr, 2, 0), FB_ERR_STREAM);
    EXPECT_EQ(m->Streaming_Download_Protocol_Partition_Table(t, 0, 0), FB_ERR_STREAM);

    const char* open_lines[] = {
        "\n Open_Multi_Image STREAMING_DOWNLOAD_MULTI_IMAGE_OPEN_STATUS_SUCCESS ! \n",
        "\n Open_Multi_Image STREAMING_DOWNLOAD_MULTI_IMAGE_OPEN_STATUS_LENGTH_ERROR ! \n",
        "\n Open_Multi_Image STREAMING_DOWNLOAD_MULTI_IMAGE_OPEN_STATUS_NO_PAYLOAD ! \n",
        "\n Open_Multi_Image STREAMING_DOWNLOAD_MULTI_IMAGE_OPEN_STATUS_PAYLOAD_REQ_FAILED ! \n",
        "\n Open_Multi_Image STREAMING_DOWNLOAD_MULTI_IMAGE_OPEN_STATUS_BLOCK_ZERO_PROTECTED ! \n",
    };
    for (uint8_t status = 0; status <= 5; ++status) {
        capture();
        int rc = exchange(Bytes{0x1C, status},
                          [&] { return m->Streaming_Download_Protocol_Open_Multi_Image(t, 2, 5); });
        EXPECT_EQ(rc, status == 0 ? 0 : FB_ERR_STREAM) << int(status);
        if (status <= 4) {
            EXPECT_TRUE(printed(open_lines[status])) << int(status);
        } else {
            EXPECT_TRUE(lines_.empty());
        }
    }
    EXPECT_EQ(exchange(Bytes{0x1A, 0},
                       [&] { return m->Streaming_Download_Protocol_Open_Multi_Image(t, 2, 5); }),
              FB_ERR_STREAM);
    phone_->clear();
    EXPECT_EQ(m->Streaming_Download_Protocol_Open_Multi_Image(nullptr, 2, 5), FB_ERR_STREAM_PACKET);
    EXPECT_EQ(m->LastError(), FB_ERR_STREAM_PACKET);
}

TEST_F(Protocol, ErrorAndLogAnswersAcceptSecurityModeCloseAndReset) {
    auto* m = module_;
    capture();
    for (uint8_t code : {0x0D, 0x0E}) {
        Bytes reply = {code, 0x01, 0x00, 0x00, 0x00};
        EXPECT_EQ(exchange(reply, [&] { return m->Streaming_Download_Protocol_Security_Mode(1); }),
                  0);
        EXPECT_EQ(exchange(reply, [&] { return m->Streaming_Download_Protocol_Close(); }), 0);
        EXPECT_EQ(exchange(reply, [&] { return m->Streaming_Download_Protocol_Reset(0x0B); }), 0);
    }
    EXPECT_TRUE(printed("\nOpen_Rsp STREAMING_DOWNLOAD_PHONE_ERROR !"));
    EXPECT_TRUE(printed("\nOpen_Rsp STREAMING_DOWNLOAD_PHONE_LOG !"));
    EXPECT_TRUE(printed("\n Close_Rsp STREAMING_DOWNLOAD_PHONE_ERROR !"));
    EXPECT_TRUE(printed("\n Close_Rsp STREAMING_DOWNLOAD_PHONE_LOG !"));
    // Any other answer is a failure.
    EXPECT_EQ(
        exchange(Bytes{0x16}, [&] { return m->Streaming_Download_Protocol_Security_Mode(1); }),
        FB_ERR_STREAM);
    EXPECT_EQ(exchange(Bytes{0x18}, [&] { return m->Streaming_Download_Protocol_Close(); }),
              FB_ERR_STREAM);
    lines_.clear();
    EXPECT_EQ(exchange(Bytes{0x16}, [&] { return m->Streaming_Download_Protocol_Reset(0x0B); }),
              FB_ERR_STREAM);
    EXPECT_TRUE(printed("=================Streaming_Download_Protocol_Check_Reset_Rsp in "
                        "resetphone fail==================="));
    EXPECT_EQ(m->LastError(), FB_ERR_STREAM);
}

TEST_F(Protocol, ASilentPhoneUnderAZeroTimeOutFailsOnItsOwnRequestCode) {
    auto* m = module_;
    m->trans_Dig->SetOverlapTimeout(0);
    const uint8_t d[2] = {1, 2};
    // The exchange itself succeeds with nothing received; the check then meets the request.
    m->m_packet.data[0] = 0;
    EXPECT_EQ(exchange(std::nullopt,
                       [&] { return m->Streaming_Download_Protocol_Stream_Write(d, 0, 2); }),
              FB_ERR_STREAM);
    EXPECT_EQ(m->ReplyLength(), 0);
    EXPECT_EQ(m->m_packet.data[0], 0x07); // its own code where 0x08 was wanted
    EXPECT_EQ(sent_, (Bytes{0x07, 0, 0, 0, 0, 1, 2}));
    struct Case {
        uint8_t code;
        std::function<int()> op;
    };
    uint8_t out[2];
    const Case cases[] = {
        {0x01, [&] { return m->Streaming_Download_Protocol_Handle_Hello_Cmd(); }},
        {0x03, [&] { return m->Streaming_Download_Protocol_Read(out, 0, 2); }},
        {0x17, [&] { return m->Streaming_Download_Protocol_Security_Mode(1); }},
        {0x19, [&] { return m->Streaming_Download_Protocol_Partition_Table(d, 2, 0); }},
        {0x1B, [&] { return m->Streaming_Download_Protocol_Open_Multi_Image(d, 2, 1); }},
        {0x15, [&] { return m->Streaming_Download_Protocol_Close(); }},
        {0x0B, [&] { return m->Streaming_Download_Protocol_Reset(0x0B); }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(exchange(std::nullopt, c.op), FB_ERR_STREAM) << int(c.code);
        EXPECT_EQ(m->m_packet.data[0], c.code);
        EXPECT_EQ(m->LastError(), FB_ERR_STREAM);
    }
}

} // namespace
