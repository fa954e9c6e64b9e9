// The reset into download mode: one DIAG byte on the wire, any answer (or none) taken.
#include <gtest/gtest.h>

#include "engine/flashboot.h"
#include "platform/clock.h"
#include "scripted_phone.h"

using enginetest::Bytes;
using enginetest::ScriptedPhone;

namespace {

TEST(ResetPhone, SendsOnly0x3AAndTakesAnyAnswer) {
    tw::clock::set_scale(0.01);
    constexpr int kCom = 53;
    ScriptedPhone phone(kCom);
    ASSERT_TRUE(phone.ok());
    Flashboot* module = CreateModule(kCom, 0, nullptr);
    ASSERT_NE(module, nullptr);
    Flashboot* station = CreateModule(kCom + 1, 0, nullptr); // only its port number is read
    station->m_portNumber = kCom;
    // The opening "AT$QCDMG\r" has no flag after it: one framed packet ends it, so that the
    // unflagged DIAG request that follows is a frame of its own to this phone.
    const uint8_t end_text = 0;
    module->trans_Dig->Write(&end_text, 1);
    phone.requests(1);
    phone.clear();

    phone.answer(Bytes{0x3A});
    EXPECT_EQ(module->DoResetPhone(station), 0);
    EXPECT_EQ(module->m_portNumber, kCom);
    auto reqs = phone.requests(1);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0], Bytes{0x3A});

    // An answer as long as a frame may be lands whole in the routine's own buffer.
    Bytes big(30000, 0x3A);
    phone.answer(big);
    EXPECT_EQ(module->DoResetPhone(module), 0);
    // Silence: still 0, after the link's read time-out.
    phone.answer(std::nullopt);
    EXPECT_EQ(module->DoResetPhone(module), 0);
    EXPECT_EQ(phone.requests(3).size(), 3u);

    DeleteModule(station);
    DeleteModule(module);
}

} // namespace
