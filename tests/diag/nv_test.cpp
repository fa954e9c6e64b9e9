// NV requests, answer checks and the IMEI.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "diag/imei.h"
#include "diag/nv.h"

using namespace diag;

namespace {

std::vector<uint8_t> Bytes(const Request& r, size_t n) {
    return {r.begin(), r.begin() + n};
}

TEST(NvRequest, PlainReadAndWriteLayouts) {
    Request r;
    r.fill(0xEE);
    ASSERT_EQ(BuildNvRead(550, r), 133);
    EXPECT_EQ(r[0], 0x26);
    EXPECT_EQ(r[1], 0x26);
    EXPECT_EQ(r[2], 0x02);
    for (size_t i = 3; i < r.size(); ++i)
        ASSERT_EQ(r[i], 0) << i;

    uint8_t data[128];
    for (int i = 0; i < 128; ++i)
        data[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(BuildNvWrite(0x1234, data, r), 133);
    EXPECT_EQ(r[0], 0x27);
    EXPECT_EQ(r[1], 0x34);
    EXPECT_EQ(r[2], 0x12);
    EXPECT_EQ(r[3], 1);
    EXPECT_EQ(r[130], 128);
    EXPECT_EQ(r[131], 0);
    EXPECT_EQ(r[132], 0);
}

TEST(NvRequest, Sim1RequestsUseTheContextLayout) {
    Request r;
    ASSERT_EQ(BuildNvReadSim1(453, r), 138);
    EXPECT_EQ(Bytes(r, 8), (std::vector<uint8_t>{0x4B, 0x30, 0x01, 0x00, 0xC5, 0x01, 0x01, 0x00}));
    for (size_t i = 8; i < 138; ++i)
        ASSERT_EQ(r[i], 0) << i;

    uint8_t data[128];
    for (int i = 0; i < 128; ++i)
        data[i] = static_cast<uint8_t>(0x80 + i);
    ASSERT_EQ(BuildNvWriteSim1(453, data, r), 138);
    EXPECT_EQ(Bytes(r, 8), (std::vector<uint8_t>{0x4B, 0x30, 0x02, 0x00, 0xC5, 0x01, 0x01, 0x00}));
    // The whole 128 bytes sit at 8-135; the status word after them is zero.
    EXPECT_EQ(r[8], 0x80);
    EXPECT_EQ(r[135], 0xFF);
    EXPECT_EQ(r[136], 0);
    EXPECT_EQ(r[137], 0);
}

TEST(NvRequest, ClosingRequestIsAnEfsSyncOfRoot) {
    Request r;
    ASSERT_EQ(BuildCloseRequest(r), 9);
    EXPECT_EQ(Bytes(r, 9),
              (std::vector<uint8_t>{0x4B, 0x13, 0x30, 0x00, 0x00, 0x00, 0x2F, 0x00, 0x00}));
}

TEST(NvAnswer, ItemDataAndReplyChecks) {
    uint8_t a[256] = {};
    a[0] = 0x26;
    a[1] = 0x26;
    a[2] = 0x02;
    a[3] = 0xAB;
    EXPECT_TRUE(IsNvReadReply(NvKind::Main, a, 550));
    EXPECT_FALSE(IsNvReadReply(NvKind::Main, a, 551));
    EXPECT_EQ(AnswerData(NvKind::Main, a)[0], 0xAB);
    a[131] = 5;
    EXPECT_EQ(AnswerStatus(NvKind::Main, a), 5);

    // An error answer echoes the request behind its own code.
    uint8_t e[256] = {0x13, 0x26, 0x0A, 0x00};
    EXPECT_FALSE(IsNvReadReply(NvKind::Main, e, 10));

    uint8_t s[256] = {0x4B, 0x30, 0x01, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x77};
    s[135] = 0x99;
    EXPECT_TRUE(IsNvReadReply(NvKind::Sim1, s, 10));
    EXPECT_EQ(AnswerData(NvKind::Sim1, s)[0], 0x77);
    EXPECT_EQ(AnswerData(NvKind::Sim1, s)[127], 0x99);
    s[2] = 0x02; // a write reply is not a read reply
    EXPECT_FALSE(IsNvReadReply(NvKind::Sim1, s, 10));
}

TEST(Imei, DecodesPackedDigitsDroppingTheTypeNibble) {
    uint8_t a[256] = {};
    const uint8_t bcd[] = {0x3A, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0x43};
    std::memcpy(a + 4, bcd, 8);
    char imei[16];
    DecodeImei(a, imei);
    EXPECT_STREQ(imei, "312345678901234");

    a[5] = 0xA5; // low half-byte first: "5" then "a"
    DecodeImei(a, imei);
    EXPECT_EQ(std::string(imei).substr(1, 2), "5a");

    uint8_t zero[256] = {};
    DecodeImei(zero, imei);
    EXPECT_STREQ(imei, "000000000000000");
    EXPECT_TRUE(ImeiIsBlank(imei));
    EXPECT_FALSE(ImeiIsBlank("000000000000001"));
}

TEST(SlotImeiStore, EachRowKeepsItsOwnValueUnderConcurrentUse) {
    SlotImeiStore::ClearAll();
    std::vector<std::thread> threads;
    for (int row = 0; row < 16; ++row) {
        threads.emplace_back([row] {
            std::string mine = std::string(14, '1') + static_cast<char>('a' + row);
            for (int i = 0; i < 2000; ++i) {
                SlotImeiStore::Set(row, mine);
                std::string got;
                ASSERT_TRUE(SlotImeiStore::Get(row, got));
                ASSERT_EQ(got, mine);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    std::string got;
    SlotImeiStore::Clear(3);
    EXPECT_FALSE(SlotImeiStore::Get(3, got));
    EXPECT_TRUE(SlotImeiStore::Get(4, got));
    EXPECT_EQ(got, std::string(14, '1') + 'e');
    SlotImeiStore::ClearAll();
}

} // namespace
