// The simulator's parts on their own: framing, IMEI, Intel HEX, packages, fault specifications
// and the protocol answers, checked against the protocols' layouts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "phonesim/diag.h"
#include "phonesim/dmss.h"
#include "phonesim/fastboot.h"
#include "phonesim/fault.h"
#include "phonesim/framing.h"
#include "phonesim/imei.h"
#include "phonesim/nv.h"
#include "phonesim/streaming.h"
#include "sim_test_util.h"

namespace {

using namespace phonesim;
using simtest::Bytes;

// A framer of the link layer that keeps what it would put on the wire.
class WireFramer : public CTransmitHdlc {
  public:
    int IsOpen() override { return 1; }
    int RawWrite(const uint8_t* d, int n) override {
        wire.insert(wire.end(), d, d + n);
        return n;
    }
    Bytes wire;
};

std::vector<std::pair<FrameDecoder::Event, Bytes>> decode(const Bytes& wire,
                                                          bool text_lines = true) {
    FrameDecoder dec(256);
    dec.set_text_lines(text_lines);
    std::vector<std::pair<FrameDecoder::Event, Bytes>> out;
    dec.feed(wire.data(), wire.size(), [&](FrameDecoder::Event e, const uint8_t* p, size_t n) {
        out.emplace_back(e, Bytes(p, p + n));
    });
    return out;
}

TEST(Framing, AgreesWithTheLinkFramerBothWays) {
    Bytes packet{0x26, 0x7E, 0x7D, 0x00, 0x5E, 0x7E};
    auto link = std::make_unique<WireFramer>();
    link->FrameWriteNo7e(packet.data(), static_cast<int>(packet.size()) + 1);
    link->FrameWrite(packet.data(), static_cast<int>(packet.size()));
    // Without and with an opening flag: both arrive whole.
    auto got = decode(link->wire);
    ASSERT_EQ(got.size(), 2u);
    for (auto& [ev, data] : got) {
        EXPECT_EQ(ev, FrameDecoder::Event::Frame);
        EXPECT_EQ(data, packet);
    }
    // What the phone sends decodes in the link's receiver.
    Bytes mine;
    encode_frame(packet.data(), packet.size(), true, mine);
    Bytes again;
    encode_frame(packet.data(), packet.size(), false, again);
    auto rx = std::make_unique<WireFramer>();
    rx->DecodeBytes(mine.data(), static_cast<int>(mine.size()));
    rx->DecodeBytes(again.data(), static_cast<int>(again.size()));
    ASSERT_EQ(rx->QueuedFrames(), 2);
    Bytes buf(64);
    EXPECT_EQ(rx->TakeFrame(buf.data(), 0), static_cast<int>(packet.size()));
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), buf.begin()));
}

TEST(Framing, AtLineBadFcsAndOversize) {
    Bytes wire{'A', 'T', '$', 'Q', 'C', 'D', 'M', 'G', '\r'};
    Bytes packet{0x3A};
    encode_frame(packet.data(), packet.size(), false, wire);
    // A line feed after the command is part of it, not of the next frame.
    Bytes crlf{'a', 't', '\r', '\n'};
    wire.insert(wire.end(), crlf.begin(), crlf.end());
    encode_frame(packet.data(), packet.size(), false, wire);
    Bytes bad;
    encode_frame(packet.data(), packet.size(), true, bad, true);
    wire.insert(wire.end(), bad.begin(), bad.end());
    Bytes big(300, 0x11);
    encode_frame(big.data(), big.size(), true, wire);
    auto got = decode(wire);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0].first, FrameDecoder::Event::Text);
    EXPECT_EQ(std::string(got[0].second.begin(), got[0].second.end()), "AT$QCDMG");
    EXPECT_EQ(got[1].first, FrameDecoder::Event::Frame);
    EXPECT_EQ(got[1].second, packet);
    EXPECT_EQ(got[2].first, FrameDecoder::Event::Text);
    EXPECT_EQ(got[3].first, FrameDecoder::Event::Frame);
    EXPECT_EQ(got[3].second, packet);
    EXPECT_EQ(got[4].first, FrameDecoder::Event::BadFcs);
    EXPECT_EQ(got[5].first, FrameDecoder::Event::Oversize);

    // A DIAG port's decoder has no text lines: the command is the head of the frame it runs
    // into, which then fails its FCS with every byte kept.
    Bytes line{'A', 'T', '$', 'Q', 'C', 'D', 'M', 'G', '\r'};
    Bytes joined = line;
    encode_frame(packet.data(), packet.size(), false, joined);
    auto seen = decode(joined, false);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, FrameDecoder::Event::BadFcs);
    EXPECT_EQ(seen[0].second.size(), line.size() + packet.size() + 2);
    EXPECT_TRUE(std::equal(line.begin(), line.end(), seen[0].second.begin()));
}

TEST(Imei, Nv550LayoutCheckDigitAndSequence) {
    auto b = imei_to_nv("490154203237518");
    const uint8_t want[] = {0x08, 0x4A, 0x09, 0x51, 0x24, 0x30, 0x32, 0x57, 0x81};
    EXPECT_EQ(0, std::memcmp(b.data(), want, 9));
    EXPECT_EQ(imei_from_nv(b.data()).value_or(""), "490154203237518");
    EXPECT_EQ(imei_check_digit("49015420323751"), 8);
    EXPECT_TRUE(imei_valid("490154203237518"));
    EXPECT_FALSE(imei_valid("490154203237519"));
    // The base's own check digit does not matter; each phone gets a correct one.
    EXPECT_EQ(imei_nth("490154203237510", 0).value_or(""), "490154203237518");
    EXPECT_EQ(imei_nth("490154203237518", 1).value_or(""), "490154203237526");
    EXPECT_EQ(imei_nth("35000000000009", 1).value_or(""), "350000000000105");
    EXPECT_TRUE(imei_valid(*imei_nth("490154203237518", 15)));
    EXPECT_FALSE(imei_nth("99999999999999", 1));
    EXPECT_FALSE(imei_nth("4901542032375x8", 0));
    EXPECT_FALSE(imei_nth("12345", 0));
}

TEST(IntelHex, RoundTripAcrossA64KBoundaryAndRejections) {
    Bytes data(70000);
    Rng(5).fill(data.data(), data.size());
    std::string hex = make_intel_hex(data, 0x0010F000, 0x0010F000);
    // CR LF everywhere, the start address record, then the end-of-file record last.
    EXPECT_EQ(hex.find("\n"), hex.find("\r\n") + 1);
    EXPECT_NE(hex.find(":0400000500"
                       "10F000F7\r\n:00000001FF\r\n"),
              std::string::npos);
    EXPECT_EQ(hex.substr(hex.size() - 13), ":00000001FF\r\n");
    Bytes back;
    uint32_t load = 0;
    std::optional<uint32_t> start;
    std::string err;
    ASSERT_TRUE(parse_intel_hex(hex, back, load, start, err)) << err;
    EXPECT_EQ(back, data);
    EXPECT_EQ(load, 0x0010F000u);
    EXPECT_EQ(start.value_or(0), 0x0010F000u);

    std::string broken = hex;
    broken[10] = broken[10] == '0' ? '1' : '0';
    EXPECT_FALSE(parse_intel_hex(broken, back, load, start, err));
    EXPECT_NE(err.find("checksum"), std::string::npos);
    EXPECT_FALSE(parse_intel_hex(hex.substr(0, hex.size() - 13), back, load, start, err));
    EXPECT_EQ(err, "no end-of-file record");
}

// An independent reader: binutils turns the programmers into the same raw bytes.
TEST(Package, ProgrammersReadTheSameWithObjcopy) {
    const std::string& pkg = simtest::package_dir();
    std::vector<Programmer> progs;
    std::string err;
    ASSERT_TRUE(load_programmers(pkg, progs, err)) << err;
    ASSERT_EQ(progs.size(), 2u);
    EXPECT_NE(progs[0].bytes, progs[1].bytes);
    for (const auto& p : progs) {
        EXPECT_EQ(p.load, kProgrammerLoad);
        EXPECT_EQ(p.start, kProgrammerStart);
        simtest::TempDir tmp("objcopy");
        std::string bin = tmp.path + "/p.bin";
        std::string cmd = "objcopy -I ihex -O binary " + pkg + "/modem/" + p.file + " " + bin;
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        EXPECT_EQ(simtest::file_bytes(bin), p.bytes) << p.file;
    }
}

TEST(Package, EveryFileReproducibleFromTheSeed) {
    simtest::TempDir ta("pa"), tb("pb"), tc("pc");
    const std::string &a = ta.path, &b = tb.path, &c = tc.path;
    std::string err;
    ASSERT_TRUE(make_package(a, {7, 1}, err)) << err;
    ASSERT_TRUE(make_package(b, {7, 1}, err)) << err;
    ASSERT_TRUE(make_package(c, {8, 1}, err)) << err;
    for (const auto& rel : package_paths()) {
        Bytes fa = simtest::file_bytes(a + "/" + rel);
        ASSERT_FALSE(fa.empty()) << rel;
        EXPECT_EQ(fa, simtest::file_bytes(b + "/" + rel)) << rel;
        if (rel.find(".mbn") != std::string::npos && rel.find("hd") == std::string::npos &&
            rel != "modem/partition.mbn") {
            EXPECT_NE(fa, simtest::file_bytes(c + "/" + rel)) << rel;
        }
    }
    EXPECT_LE(simtest::file_bytes(a + "/modem/partition.mbn").size(), kPartitionMax);
    std::string rom;
    read_text(a + "/ROMINFO.ini", rom);
    EXPECT_NE(rom.find("[Config]\r\n"), std::string::npos);
    for (const char* k : {"SW_Ver=", "Brand=", "Model="})
        EXPECT_NE(rom.find(std::string("\r\n") + k), std::string::npos) << k;
    EXPECT_FALSE(make_package(a, {7, 0}, err));
}

TEST(Package, NvFromListsTheCatalogue) {
    std::string text = nvfrom_text();
    size_t main = 0, sim = 0;
    for (const auto& e : nv_catalog()) {
        if (!e.listed) continue;
        std::string line = e.context == 0 ? "NV item: " : " NV item (SIM 1): ";
        line += std::to_string(e.item) + " [" + e.name + "]\r\n";
        EXPECT_NE(text.find(line), std::string::npos) << line;
        (e.context == 0 ? main : sim)++;
    }
    EXPECT_GE(main, 250u);
    EXPECT_GE(sim, 10u);
    EXPECT_NE(text.find("NV item: 550 [NV_UE_IMEI_I]\r\n"), std::string::npos);
}

TEST(Faults, SpecificationsParseOrSayWhy) {
    std::string err;
    auto f = parse_fault("2/dmss:nak@3", err);
    ASSERT_TRUE(f) << err;
    EXPECT_EQ(f->phone, 2);
    EXPECT_EQ(f->stage, static_cast<int>(Stage::Dmss));
    EXPECT_EQ(f->kind, FaultKind::Nak);
    EXPECT_EQ(f->at, 3u);
    f = parse_fault("stream:unplug@10=500", err);
    ASSERT_TRUE(f) << err;
    EXPECT_EQ(f->phone, -1);
    EXPECT_EQ(f->value, 500);
    f = parse_fault("*:crc=0.25", err);
    ASSERT_TRUE(f) << err;
    EXPECT_DOUBLE_EQ(f->fraction, 0.25);
    ASSERT_TRUE(parse_fault("diag:imei-unreadable", err));
    ASSERT_TRUE(parse_fault("fastboot:slow=100", err));
    f = parse_fault("1/diag:nv-read=busy@s453x2", err);
    ASSERT_TRUE(f) << err;
    EXPECT_EQ(f->kind, FaultKind::NvRead);
    EXPECT_EQ(f->item, 453);
    EXPECT_EQ(f->context, 1);
    EXPECT_EQ(f->answer, kNvBusy);
    EXPECT_EQ(f->times, 2u);
    f = parse_fault("diag:nv-write=err-locked@10", err);
    ASSERT_TRUE(f) << err;
    EXPECT_TRUE(f->error_packet);
    EXPECT_EQ(f->answer, kDiagLocked);
    EXPECT_EQ(f->times, 0u);
    f = parse_fault("diag:readonly@4678", err);
    ASSERT_TRUE(f) << err;
    EXPECT_EQ(f->kind, FaultKind::ReadOnly);
    for (const char* bad : {"dmss:nak",
                            "dmss:nak@0",
                            "usb:nak@1",
                            "diag:crc=0",
                            "diag:crc=2",
                            "fastboot:crc=0.5",
                            "x/diag:nak@1",
                            "diag:slow",
                            "diag:boom@1",
                            "dmss:imei-unreadable",
                            "nak@1",
                            "diag:nv-read@10",
                            "diag:nv-read=maybe@10",
                            "diag:nv-write=4@70000",
                            "diag:nv-write=4",
                            "diag:nv-read=busy@10x0",
                            "stream:nv-read=4@10",
                            "diag:readonly=7@10",
                            "diag:readonly@10x2",
                            "download:crc=0.5",
                            "restore:readonly@10",
                            "dmss:error@0",
                            "dmss:error@1=256",
                            "flush:nak@1"}) {
        err.clear();
        EXPECT_FALSE(parse_fault(bad, err)) << bad;
        EXPECT_FALSE(err.empty()) << bad;
    }
}

TEST(Faults, PlanCountsPerStageAndPerPhone) {
    std::string err;
    std::vector<FaultSpec> specs{*parse_fault("0/diag:silence@3", err),
                                 *parse_fault("dmss:nak@2", err),
                                 *parse_fault("1/stream:stale@1=5", err)};
    FaultPlan p0(specs, 0, 1), p1(specs, 1, 1);
    EXPECT_FALSE(p0.on_request(Stage::Diag, false).silent);
    EXPECT_FALSE(p0.on_request(Stage::Diag, false).silent);
    EXPECT_TRUE(p0.on_request(Stage::Diag, false).silent);
    EXPECT_TRUE(p0.on_request(Stage::Diag, false).silent);
    EXPECT_FALSE(p1.on_request(Stage::Diag, false).silent);     // another phone
    EXPECT_FALSE(p0.on_request(Stage::Dmss, false).fail_write); // not a write
    EXPECT_FALSE(p0.on_request(Stage::Dmss, true).fail_write);  // write 1
    EXPECT_TRUE(p0.on_request(Stage::Dmss, true).fail_write);   // write 2
    EXPECT_FALSE(p0.on_request(Stage::Dmss, true).fail_write);  // only the one
    auto d = p1.on_request(Stage::Stream, false);
    EXPECT_TRUE(d.stale);
    EXPECT_EQ(d.stale_ms, 5);
    EXPECT_FALSE(p0.on_request(Stage::Stream, false).stale);

    // NV answers: per item and context, the first N times or always.
    FaultPlan nv({*parse_fault("diag:nv-read=busy@10x2", err),
                  *parse_fault("diag:nv-write=err-len@s10", err),
                  *parse_fault("diag:readonly@20", err)},
                 0, 1);
    EXPECT_FALSE(nv.nv_answer(true, 10, 0));
    EXPECT_FALSE(nv.nv_answer(false, 10, 1));
    EXPECT_EQ(nv.nv_answer(false, 10, 0).value_or(NvOverride{}).value, kNvBusy);
    EXPECT_TRUE(nv.nv_answer(false, 10, 0));
    EXPECT_FALSE(nv.nv_answer(false, 10, 0));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(nv.nv_answer(true, 10, 1).value_or(NvOverride{}).error_packet);
    EXPECT_EQ(nv.readonly_items(), (std::vector<std::pair<uint16_t, uint16_t>>{{20, 0}}));

    // A step's faults count that step's requests only; a refusal carries its code.
    const int backup = static_cast<int>(Step::Backup), restore = static_cast<int>(Step::Restore);
    FaultPlan steps({*parse_fault("restore:nak@2", err), *parse_fault("restore:error@3=21", err),
                     *parse_fault("backup:nv-read=fail@550", err)},
                    0, 1);
    for (int i = 0; i < 5; ++i) // a backup's writes, were there any, are not the restore's
        EXPECT_FALSE(steps.on_request(Stage::Diag, true, backup).fail_write);
    EXPECT_FALSE(steps.on_request(Stage::Diag, true, restore).fail_write);
    EXPECT_TRUE(steps.on_request(Stage::Diag, true, restore).fail_write);
    d = steps.on_request(Stage::Diag, false, restore);
    EXPECT_TRUE(d.refuse);
    EXPECT_EQ(d.refuse_code, 21);
    EXPECT_FALSE(steps.on_request(Stage::Diag, false, restore).refuse);
    EXPECT_FALSE(steps.nv_answer(false, 550, 0, restore));
    EXPECT_TRUE(steps.nv_answer(false, 550, 0, backup));

    FaultPlan half({*parse_fault("diag:crc=0.5", err)}, 0, 9);
    int bad = 0;
    for (int i = 0; i < 400; ++i)
        bad += half.corrupt_answer(Stage::Diag);
    EXPECT_GT(bad, 140);
    EXPECT_LT(bad, 260);
    EXPECT_FALSE(half.corrupt_answer(Stage::Dmss));
}

// ---- protocol answers ----

struct DiagFixture : ::testing::Test {
    NvStore nv{"490154203237518", 3};
    DiagResponder diag{nv};
    Bytes out;
    const NvCatalogEntry& pick(bool (*want)(const NvCatalogEntry&)) {
        for (const auto& e : nv_catalog())
            if (want(e)) return e;
        ADD_FAILURE() << "no such catalogue entry";
        return nv_catalog().front();
    }
};

TEST_F(DiagFixture, NvStatusesAndLengths) {
    auto rw = pick([](const NvCatalogEntry& e) {
        return e.defined && e.context == 0 && !e.readonly && e.factory_active && e.item != 550;
    });
    auto inactive = pick([](const NvCatalogEntry& e) { return e.defined && !e.factory_active; });
    auto ro = pick([](const NvCatalogEntry& e) { return e.defined && e.readonly; });
    auto undef = pick([](const NvCatalogEntry& e) { return !e.defined; });

    Bytes data(128);
    Rng(1).fill(data.data(), data.size());
    diag.handle(simtest::nv_write(rw.item, data).data(), 133, out);
    ASSERT_EQ(out.size(), 133u);
    EXPECT_EQ(simtest::nv_status(out), kNvDone);
    // Cut short of its status field: still a read, answered in full.
    Bytes rd = simtest::nv_read(rw.item);
    diag.handle(rd.data(), 131, out);
    ASSERT_EQ(out.size(), 133u);
    EXPECT_EQ(simtest::nv_status(out), kNvDone);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin() + 3));

    diag.handle(simtest::nv_read(inactive.item).data(), 133, out);
    EXPECT_EQ(simtest::nv_status(out), kNvInactive);
    diag.handle(simtest::nv_write(ro.item, data).data(), 133, out);
    EXPECT_EQ(simtest::nv_status(out), kNvReadOnly);
    diag.handle(simtest::nv_read(undef.item).data(), 133, out);
    EXPECT_EQ(simtest::nv_status(out), kNvBadItem);
    // A failing write (fault) leaves the item alone.
    Bytes other(128, 0x55);
    diag.handle(simtest::nv_write(rw.item, other).data(), 133, out, true);
    EXPECT_EQ(simtest::nv_status(out), kNvFail);
    diag.handle(rd.data(), 133, out);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin() + 3));
    // Answers of a fault: a status stores nothing; an error packet echoes the request.
    NvOverride busy{false, kNvBusy}, locked{true, kDiagLocked};
    diag.handle(simtest::nv_write(rw.item, other).data(), 133, out, false, false, &busy);
    EXPECT_EQ(simtest::nv_status(out), kNvBusy);
    diag.handle(rd.data(), 133, out, false, false, &locked);
    ASSERT_EQ(out.size(), 134u);
    EXPECT_EQ(out[0], kDiagLocked);
    EXPECT_TRUE(std::equal(rd.begin(), rd.end(), out.begin() + 1));
    diag.handle(rd.data(), 133, out);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin() + 3));

    for (size_t n : {size_t{130}, size_t{134}}) {
        Bytes req = simtest::nv_read(rw.item);
        req.resize(n, 0);
        diag.handle(req.data(), n, out);
        ASSERT_EQ(out.size(), n + 1);
        EXPECT_EQ(out[0], kDiagBadLen);
        EXPECT_TRUE(std::equal(req.begin(), req.end(), out.begin() + 1));
    }
    Bytes sub = simtest::sub_nv(false, rw.item, 0);
    sub.resize(139, 0);
    diag.handle(sub.data(), sub.size(), out);
    EXPECT_EQ(out[0], kDiagBadLen);
    sub.resize(136);
    diag.handle(sub.data(), sub.size(), out);
    ASSERT_EQ(out.size(), 138u);
    EXPECT_EQ(simtest::nv_status(out), kNvDone); // context 0 is the main item
}

TEST_F(DiagFixture, FactoryResetZeroesTheImeiAndLosesTheCalibration) {
    uint8_t buf[128];
    ASSERT_EQ(nv.read(550, 0, buf), kNvDone);
    EXPECT_EQ(buf[0], 8);
    auto cal = pick([](const NvCatalogEntry& e) { return e.calibrated && e.item != 550; });
    uint8_t before[128];
    ASSERT_EQ(nv.read(cal.item, 0, before), kNvDone);
    NvStore other("490154203237526", 4);
    uint8_t theirs[128];
    ASSERT_EQ(other.read(cal.item, 0, theirs), kNvDone);
    EXPECT_NE(0, std::memcmp(before, theirs, 128)); // calibration differs per phone
    nv.factory_reset();
    other.factory_reset();
    ASSERT_EQ(nv.read(550, 0, buf), kNvDone);
    EXPECT_EQ(Bytes(buf, buf + 128), Bytes(128, 0));
    // The calibration is gone; other items are back to the values every phone shares.
    EXPECT_EQ(nv.read(cal.item, 0, before), kNvInactive);
    auto plain = pick([](const NvCatalogEntry& e) {
        return e.defined && e.factory_active && !e.calibrated && e.context == 0;
    });
    ASSERT_EQ(nv.read(plain.item, 0, before), kNvDone);
    ASSERT_EQ(other.read(plain.item, 0, theirs), kNvDone);
    EXPECT_EQ(0, std::memcmp(before, theirs, 128));
    EXPECT_EQ(nv.write(cal.item, 0, theirs), kNvDone);
    EXPECT_EQ(nv.read(cal.item, 0, before), kNvDone);
    EXPECT_TRUE(nv.set_readonly(cal.item, 0));
    EXPECT_EQ(nv.write(cal.item, 0, buf), kNvReadOnly);
    EXPECT_FALSE(nv.set_readonly(pick([](const NvCatalogEntry& e) { return !e.defined; }).item, 0));
}

TEST_F(DiagFixture, EfsSyncDloadAndUnknown) {
    Bytes sync{0x4B, 0x13, 0x30, 0x00, 0x34, 0x12, '/', 0};
    diag.handle(sync.data(), sync.size(), out);
    ASSERT_EQ(out.size(), 14u);
    EXPECT_TRUE(std::equal(sync.begin(), sync.begin() + 6, out.begin()));
    EXPECT_EQ(le32(out.data() + 10), 0u);
    uint32_t token = le32(out.data() + 6);
    diag.handle(sync.data(), sync.size(), out);
    EXPECT_NE(le32(out.data() + 6), token);
    Bytes nonul{0x4B, 0x13, 0x30, 0x00, 0x34, 0x12, '/'};
    diag.handle(nonul.data(), nonul.size(), out);
    EXPECT_EQ(out[0], kDiagBadLen);
    Bytes dl{0x3A};
    EXPECT_EQ(diag.handle(dl.data(), 1, out), DiagResponder::Action::ToDownload);
    EXPECT_EQ(out, dl);
    Bytes unk{0x99, 0x01};
    diag.handle(unk.data(), unk.size(), out);
    EXPECT_EQ(out, (Bytes{kDiagBadCmd, 0x99, 0x01}));
}

TEST(Dmss, NaksWritesAndGo) {
    std::vector<Programmer> progs(1);
    progs[0].bytes = Bytes(3000);
    Rng(2).fill(progs[0].bytes.data(), 3000);
    progs[0].load = progs[0].start = kProgrammerLoad;
    DmssResponder d(&progs, 1024);
    Bytes out;
    auto nak = [&](uint16_t why) { return Bytes{kDmssNak, 0, static_cast<uint8_t>(why)}; };

    Bytes req{kDmssParamReq};
    d.handle(req.data(), 1, out);
    EXPECT_EQ(out, (Bytes{kDmssParamResp, kDmssVersion, kDmssMinVersion, 0x04, 0x00, kDmssModel,
                          kDmssDeviceSize, kDmssDeviceType}));
    auto write32 = [&](uint32_t addr, const uint8_t* p, size_t n, size_t claim) {
        Bytes w{kDmssWrite32};
        put_be32(w, addr);
        put_be16(w, static_cast<uint16_t>(claim));
        w.insert(w.end(), p, p + n);
        d.handle(w.data(), w.size(), out);
        return out;
    };
    const uint8_t* code = progs[0].bytes.data();
    EXPECT_EQ(write32(0x00080000, code, 16, 16), nak(kNakBadDestination));
    EXPECT_EQ(write32(kProgrammerLoad, code, 16, 17), nak(kNakBadLength));
    Bytes huge(1025, 0);
    EXPECT_EQ(write32(kProgrammerLoad, huge.data(), huge.size(), huge.size()), nak(kNakBadLength));
    // 24-bit write for the first block, 32-bit for the rest.
    Bytes w24{kDmssWrite24, 0x10, 0x00, 0x00, 0x04, 0x00};
    w24.insert(w24.end(), code, code + 1024);
    d.handle(w24.data(), w24.size(), out);
    EXPECT_EQ(out, Bytes{kDmssAck});
    EXPECT_EQ(write32(kProgrammerLoad + 1024, code + 1024, 1024, 1024), Bytes{kDmssAck});
    Bytes go{kDmssGo, 0x00, 0x10, 0x00, 0x00};
    // One block short: GO is acknowledged but runs nothing.
    EXPECT_EQ(d.handle(go.data(), go.size(), out), DmssResponder::Action::RunGarbage);
    EXPECT_EQ(out, Bytes{kDmssAck});
    EXPECT_EQ(write32(kProgrammerLoad + 2048, code + 2048, 952, 952), Bytes{kDmssAck});
    Bytes go_wrong{kDmssGo, 0x00, 0x10, 0x00, 0x04};
    EXPECT_EQ(d.handle(go_wrong.data(), go_wrong.size(), out), DmssResponder::Action::RunGarbage);
    EXPECT_EQ(d.handle(go.data(), go.size(), out), DmssResponder::Action::RunProgrammer);
    EXPECT_EQ(d.ram_image(), progs[0].bytes);
    Bytes unk{0x44};
    d.handle(unk.data(), 1, out);
    EXPECT_EQ(out, nak(kNakBadCommand));
}

struct MemStore : StreamStore {
    void partition_table(const uint8_t* d, size_t n, bool) override { table.assign(d, d + n); }
    void open_image(uint8_t t, const uint8_t* h, size_t n) override {
        type = t;
        header.assign(h, h + n);
        image.clear();
    }
    void write_image(uint8_t, uint32_t off, const uint8_t* d, size_t n) override {
        EXPECT_EQ(off, image.size());
        image.insert(image.end(), d, d + n);
    }
    void close_image(uint8_t) override { ++closed; }
    Bytes table, header, image;
    int type = -1, closed = 0;
};

Bytes hello(uint8_t version = 3, uint8_t compat = 3) {
    Bytes h{kStrHello};
    h.insert(h.end(), kHostMagic, kHostMagic + 32);
    h.push_back(version);
    h.push_back(compat);
    h.push_back(0x09);
    return h;
}

TEST(Streaming, SessionOrderAndConsecutiveWrites) {
    MemStore store;
    StreamingResponder s(store, 1024);
    Bytes out;
    auto run = [&](const Bytes& req) {
        s.handle(req.data(), req.size(), out);
        return out;
    };
    auto err_code = [&]() { return out.size() >= 5 && out[0] == kStrError ? le32(&out[1]) : 0u; };

    run({kStrSecurity, 0});
    EXPECT_EQ(err_code(), kErrOutOfSequence); // hello first
    run(hello(1, 1));
    EXPECT_EQ(err_code(), kErrIncompatible);
    Bytes h = run(hello());
    ASSERT_GE(h.size(), 1u + 32 + 2 + 4 + 4 + 1);
    EXPECT_EQ(h[0], kStrHelloResp);
    EXPECT_EQ(std::string(h.begin() + 1, h.begin() + 33), kTargetMagic);
    EXPECT_EQ(le32(&h[35]), 1024u);
    EXPECT_EQ(le32(&h[39]), kFlashBase);
    EXPECT_EQ(std::string(h.begin() + 44, h.begin() + 44 + h[43]), kFlashId);

    Bytes rd{kStrRead, 0x20, 0, 0, 0, 52, 0};
    Bytes info = run(rd);
    ASSERT_EQ(info.size(), 5u + 52);
    EXPECT_EQ(info[0], kStrReadResp);
    EXPECT_EQ(le32(&info[1]), 0x20u);
    EXPECT_TRUE(std::equal(info.begin() + 5, info.end(), flash_info_block()));

    run({kStrOpenMulti, 0x05});
    EXPECT_EQ(err_code(), kErrOutOfSequence); // no security mode, no partition table
    EXPECT_EQ(run({kStrSecurity, 1}), Bytes{kStrSecurityResp});
    run({kStrOpenMulti, 0x05});
    EXPECT_EQ(err_code(), kErrOutOfSequence); // still no partition table
    Bytes table(600, 1);
    table[0] = kStrPartition;
    run(table);
    EXPECT_EQ(err_code(), kErrBadLength);
    table.resize(2 + 300);
    EXPECT_EQ(run(table), (Bytes{kStrPartitionResp, 0}));
    EXPECT_EQ(store.table.size(), 300u);
    EXPECT_EQ(run({kStrOpenMulti, 0x05, 0xAA, 0xBB}), (Bytes{kStrOpenMultiResp, 0}));
    EXPECT_EQ(store.header, (Bytes{0xAA, 0xBB}));
    run({kStrOpenMulti, 0x06});
    EXPECT_EQ(err_code(), kErrOutOfSequence); // one image at a time

    auto write = [&](uint32_t addr, size_t n, uint8_t fill) {
        Bytes w{kStrWrite};
        put_le32(w, addr);
        w.insert(w.end(), n, fill);
        return run(w);
    };
    EXPECT_EQ(write(0, 1024, 1), (Bytes{kStrWriteResp, 0, 0, 0, 0}));
    EXPECT_EQ(write(0, 1024, 1), (Bytes{kStrWriteResp, 0, 0, 0, 0})); // a repeat is answered again
    write(0, 1024, 2);
    EXPECT_EQ(err_code(), kErrBadAddress); // same address, other data
    write(2048, 10, 3);
    EXPECT_EQ(err_code(), kErrBadAddress); // a gap
    write(1024, 1025, 3);
    EXPECT_EQ(err_code(), kErrBadLength);
    EXPECT_EQ(write(1024, 10, 3), (Bytes{kStrWriteResp, 0, 4, 0, 0}));
    EXPECT_EQ(store.image.size(), 1034u);
    EXPECT_EQ(run({kStrClose}), Bytes{kStrCloseResp});
    EXPECT_EQ(store.closed, 1);
    write(1034, 10, 3);
    EXPECT_EQ(err_code(), kErrOutOfSequence);
    EXPECT_EQ(s.handle(Bytes{kStrReset}.data(), 1, out), StreamingResponder::Action::Reset);
    EXPECT_EQ(out, Bytes{kStrResetResp});
}

TEST(FastbootCommands, VariablesDownloadFlashAndRefusals) {
    simtest::TempDir tmp("fbdev");
    const std::string& dir = tmp.path;
    FastbootDevice fb(dir, "SIM1");
    std::vector<std::string> out;
    fb.command("getvar:max-download-size", out);
    EXPECT_EQ(out.back(), "OKAY0x10000000");
    fb.command("getvar:serialno", out);
    EXPECT_EQ(out.back(), "OKAYSIM1");
    fb.command("getvar:has-slot:boot", out);
    EXPECT_EQ(out.back().substr(0, 4), "FAIL");
    fb.command("flash:boot", out);
    EXPECT_EQ(out.back().substr(0, 4), "FAIL"); // nothing downloaded
    fb.command("download:10000001", out);
    EXPECT_EQ(out.back().substr(0, 4), "FAIL");
    fb.command("download:00000006", out);
    EXPECT_EQ(out.back(), "DATA00000006");
    const uint8_t d[] = {1, 2, 3, 4, 5, 6};
    out.clear();
    EXPECT_TRUE(fb.data(d, 4, out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(fb.data(d + 4, 2, out));
    EXPECT_EQ(out.back(), "OKAY");
    fb.command("flash:nosuch", out);
    EXPECT_EQ(out.back().substr(0, 4), "FAIL");
    fb.command("flash:boot", out, true);
    EXPECT_EQ(out.back().substr(0, 4), "FAIL");
    fb.command("flash:boot", out);
    EXPECT_EQ(out.back(), "OKAY");
    EXPECT_EQ(simtest::file_bytes(dir + "/boot.img"), Bytes(d, d + 6));
    EXPECT_EQ(fb.command("reboot", out), FastbootDevice::Action::Reboot);
    for (const auto& s : out)
        EXPECT_LE(s.size(), kFastbootMaxResponse);
}

} // namespace
