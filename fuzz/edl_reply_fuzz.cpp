// Replies of a phone in emergency download mode, to every DMSS and streaming request, with any
// bytes: no crash, and no check trusts bytes that did not arrive. Each script runs twice, the
// bytes past every received frame set to 0x00 and then to 0xFF; the results must not differ.
// A read that succeeds hands back exactly the data bytes of its reply.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/flashboot.h"
#include "fuzz/fake_link.h"
#include "fuzz/fuzz_input.h"
#include "platform/clock.h"

namespace {

struct Step {
    uint8_t op = 0;
    uint8_t flag = 0;
    uint32_t address = 0;
    uint16_t count = 0;
    std::vector<std::vector<uint8_t>> frames; // the answer: none, one or a stale pair
};

std::vector<int> Run(Flashboot* m, const std::vector<Step>& steps, uint8_t fill) {
    auto& s = fakelink::script();
    s = {};
    s.fill = fill;
    for (const Step& st : steps)
        s.answers.push_back(st.frames);
    std::vector<int> outcome;
    std::vector<uint8_t> payload(1200);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 13 + 1);
    for (const Step& st : steps) {
        m->m_lastError = 0;
        int rc = 0;
        std::vector<uint8_t> got;
        switch (st.op % 12) {
        case 0:
            rc = m->DMSS_Nop(payload.data(), 1);
            break;
        case 1:
            rc = m->DMSS_Parameter_Request(payload.data(), 1);
            break;
        case 2:
            m->m_write32 = st.flag & 1;
            rc = m->DMSS_Write(payload.data(), st.address, st.count % 1100);
            break;
        case 3:
            rc = m->DMSS_Go(st.address);
            break;
        case 4:
            m->m_helloVariant = st.flag & 1;
            rc = m->Streaming_Download_Protocol_Handle_Hello_Cmd();
            break;
        case 5: {
            got.assign(st.count % 1100, 0xEE);
            rc = m->Streaming_Download_Protocol_Read(got.data(), st.address,
                                                     static_cast<uint16_t>(got.size()));
            if (rc == FB_OK) {
                // The data of a successful read are the reply's, all of them received.
                FUZZ_CHECK(!st.frames.empty());
                const auto& reply = st.frames.front();
                FUZZ_CHECK(reply.size() >= 5 + got.size());
                FUZZ_CHECK(std::equal(got.begin(), got.end(), reply.begin() + 5));
            }
            break;
        }
        case 6:
            rc = m->Streaming_Download_Protocol_Stream_Write(payload.data(), st.address,
                                                             1 + st.count % 1100);
            break;
        case 7:
            rc = m->Streaming_Download_Protocol_Reset(st.flag);
            break;
        case 8:
            rc = m->Streaming_Download_Protocol_Close();
            break;
        case 9:
            rc = m->Streaming_Download_Protocol_Security_Mode(st.flag);
            break;
        case 10:
            rc = m->Streaming_Download_Protocol_Partition_Table(payload.data(), 1 + st.count % 600,
                                                                st.flag);
            break;
        default:
            rc = m->Streaming_Download_Protocol_Open_Multi_Image(payload.data(), st.count % 600,
                                                                 st.flag);
            break;
        }
        outcome.push_back(rc);
        outcome.push_back(m->LastError());
        outcome.insert(outcome.end(), got.begin(), got.end());
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Flashboot* module = [] {
        tw::clock::set_scale(1e-6); // the pauses between tries are not what is tested
        return CreateModule(3, 1, nullptr);
    }();
    fuzz::Input in(data, size);
    std::vector<Step> steps;
    while (!in.empty() && steps.size() < 64) {
        Step st;
        st.op = in.u8();
        st.flag = in.u8();
        st.address = in.u32();
        st.count = in.u16();
        const uint8_t frames = in.u8() % 4; // 3 counts as 1: most requests are answered
        for (int f = 0; f < (frames == 3 ? 1 : frames); ++f)
            st.frames.push_back(in.bytes(in.upto(1100)));
        steps.push_back(std::move(st));
    }
    FUZZ_CHECK(Run(module, steps, 0x00) == Run(module, steps, 0xFF));
    return 0;
}
