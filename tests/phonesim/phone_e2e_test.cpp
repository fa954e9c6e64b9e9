// Simulated phones driven over their ports by small clients written here on the link framing:
// DIAG, the re-enumerations, the DMSS upload and streaming download, fastboot over TCP, the
// fault switches and the control socket.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>

#include <cstring>

#include "phonesim/imei.h"
#include "phonesim/nv.h"
#include "phonesim/sim.h"
#include "sim_test_util.h"

namespace {

using namespace simtest;
using phonesim::SimOptions;

// Big-endian and little-endian fields as the protocols lay them out.
void be32(Bytes& b, uint32_t v) {
    for (int i = 3; i >= 0; --i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void be16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void le32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t get_le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

const Bytes kAck{0x02};

class SimE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.01);
        dev = temp_dir("dev");
        state = temp_dir("state");
    }
    void TearDown() override {
        sim.stop();
        tw::clock::set_scale(0.01);
        std::filesystem::remove_all(dev);
        std::filesystem::remove_all(state);
    }
    bool start(const std::function<void(SimOptions&)>& tweak = {}) {
        SimOptions o;
        o.device_dir = dev;
        o.state_dir = state;
        o.package = package_dir();
        if (tweak) tweak(o);
        std::string err;
        bool ok = sim.start(o, err);
        EXPECT_TRUE(ok) << err;
        return ok;
    }
    std::string phone_dir(int i) const { return state + "/phone0" + std::to_string(i); }
    static std::vector<phonesim::Programmer> programmers() {
        std::vector<phonesim::Programmer> p;
        std::string err;
        EXPECT_TRUE(phonesim::load_programmers(package_dir(), p, err)) << err;
        return p;
    }
    // Opens the port of the record at this hub position.
    bool open_port(PortClient& c, int hubport, uint16_t pid, tw::DeviceRecord* rec = nullptr) {
        auto r = wait_record(dev, hubport, pid);
        if (!r) return false;
        if (rec) *rec = *r;
        return c.open(r->path);
    }
    static phonesim::NvCatalogEntry pick(bool (*want)(const phonesim::NvCatalogEntry&)) {
        for (const auto& e : phonesim::nv_catalog())
            if (want(e)) return e;
        ADD_FAILURE() << "no such catalogue entry";
        return {};
    }
    // Writes the programmer over DMSS in blocks of the phone's maximum write size.
    static void upload(PortClient& c, const phonesim::Programmer& p) {
        auto param = c.request({0x07});
        ASSERT_TRUE(param);
        ASSERT_EQ(param->size(), 8u);
        ASSERT_EQ((*param)[0], 0x08);
        const size_t chunk = static_cast<size_t>((*param)[3] << 8 | (*param)[4]);
        ASSERT_GT(chunk, 0u);
        for (size_t off = 0; off < p.bytes.size(); off += chunk) {
            size_t n = std::min(chunk, p.bytes.size() - off);
            Bytes w{0x0F};
            be32(w, p.load + static_cast<uint32_t>(off));
            be16(w, static_cast<uint16_t>(n));
            w.insert(w.end(), p.bytes.begin() + static_cast<long>(off),
                     p.bytes.begin() + static_cast<long>(off + n));
            auto a = c.request(w);
            ASSERT_TRUE(a) << "no answer to the write at " << off;
            ASSERT_EQ(*a, kAck) << "at " << off;
        }
    }
    static Bytes hello() {
        const char magic[] = "QCOM fast download protocol host";
        Bytes h(36);
        h[0] = 0x01;
        std::memcpy(&h[1], magic, 32);
        h[33] = 3; // version
        h[34] = 3; // compatible version
        h[35] = 0x09;
        return h;
    }
    static Bytes go(uint32_t addr) {
        Bytes g{0x05};
        be32(g, addr);
        return g;
    }

    std::string dev, state;
    phonesim::Simulator sim;
};

TEST_F(SimE2E, DiagPortImeiAndNvRoundTripsMainAndSim1) {
    ASSERT_TRUE(start([](SimOptions& o) { o.phones = 2; }));
    const Bytes imeis[2] = {{0x08, 0x4A, 0x09, 0x51, 0x24, 0x30, 0x32, 0x57, 0x81},
                            {0x08, 0x4A, 0x09, 0x51, 0x24, 0x30, 0x32, 0x57, 0x62}};
    for (int i = 0; i < 2; ++i) {
        PortClient c;
        tw::DeviceRecord r;
        ASSERT_TRUE(open_port(c, i + 1, 0x9025, &r));
        EXPECT_EQ(r.kind, tw::DeviceKind::Serial);
        EXPECT_TRUE(r.diag);
        EXPECT_EQ(r.vid, 0x05C6);
        EXPECT_EQ(r.friendly,
                  "Qualcomm HS-USB Diagnostics 9025 (COM" + std::to_string(r.com) + ")");
        // On a DIAG port the raw switch command runs into the next frame, as on a real phone:
        // a request sent right after it without an opening flag (DIAG requests have none) is
        // dropped for its FCS, and the answer is the bad-command code with the bytes as they
        // came: the text, the request and its FCS.
        const Bytes at = {'A', 'T', '$', 'Q', 'C', 'D', 'M', 'G', '\r'};
        c.send_raw(at);
        auto bad = c.request(nv_read(550), false);
        ASSERT_TRUE(bad);
        ASSERT_EQ(bad->size(), 1 + at.size() + 133 + 2);
        EXPECT_EQ((*bad)[0], 0x13);
        EXPECT_TRUE(std::equal(at.begin(), at.end(), bad->begin() + 1));
        EXPECT_EQ((*bad)[1 + at.size()], 0x26);
        // A flag after the command ends it as a frame of its own, answered the same way; the
        // request after it is read.
        Bytes line = at;
        line.push_back(0x7E);
        c.send_raw(line);
        auto line_answer = c.receive();
        ASSERT_TRUE(line_answer);
        Bytes want{0x13};
        want.insert(want.end(), at.begin(), at.end());
        EXPECT_EQ(*line_answer, want);
        auto a = c.request(nv_read(550), false);
        ASSERT_TRUE(a);
        ASSERT_EQ(a->size(), 133u);
        EXPECT_EQ(nv_status(*a), 0);
        EXPECT_TRUE(std::equal(imeis[i].begin(), imeis[i].end(), a->begin() + 3)) << "phone " << i;
    }

    PortClient c;
    ASSERT_TRUE(open_port(c, 1, 0x9025));
    auto main_item = pick([](const phonesim::NvCatalogEntry& e) {
        return e.defined && e.context == 0 && !e.readonly && e.factory_active && e.item != 550;
    });
    auto sim_item = pick([](const phonesim::NvCatalogEntry& e) { return e.context == 1; });
    Bytes v1(128), v2(128);
    for (int k = 0; k < 128; ++k) {
        v1[k] = static_cast<uint8_t>(k * 7 + 1);
        v2[k] = static_cast<uint8_t>(0xF0 ^ k);
    }
    auto w = c.request(nv_write(main_item.item, v1), false);
    ASSERT_TRUE(w);
    EXPECT_EQ(nv_status(*w), 0);
    auto rd = c.request(nv_read(main_item.item), false);
    ASSERT_TRUE(rd);
    EXPECT_TRUE(std::equal(v1.begin(), v1.end(), rd->begin() + 3));

    // SIM 1 is its own copy of the item.
    auto main_before = c.request(nv_read(sim_item.item), false);
    ASSERT_TRUE(main_before);
    auto sw = c.request(sub_nv(true, sim_item.item, 1, v2), false);
    ASSERT_TRUE(sw);
    ASSERT_EQ(sw->size(), 138u);
    EXPECT_EQ(nv_status(*sw), 0);
    auto sr = c.request(sub_nv(false, sim_item.item, 1), false);
    ASSERT_TRUE(sr);
    EXPECT_EQ(nv_status(*sr), 0);
    EXPECT_TRUE(std::equal(v2.begin(), v2.end(), sr->begin() + 8));
    auto main_after = c.request(nv_read(sim_item.item), false);
    ASSERT_TRUE(main_after);
    EXPECT_EQ(*main_before, *main_after);
    // A context the item does not have.
    auto none = c.request(sub_nv(false, main_item.item, 1), false);
    ASSERT_TRUE(none);
    EXPECT_EQ(nv_status(*none), 8);

    // The state folder keeps the items as text.
    std::string want = "1 " + std::to_string(sim_item.item) + " active rw " +
                       phonesim::hex_packed(v2.data(), v2.size());
    EXPECT_TRUE(wait_for([&] {
        std::string text;
        phonesim::read_text(phone_dir(0) + "/nv.txt", text);
        return text.find(want) != std::string::npos;
    }));
}

TEST_F(SimE2E, PortSurvivesTheHostClosingAndReopeningItWithoutSpinning) {
    ASSERT_TRUE(start());
    auto r = wait_record(dev, 1, 0x9025);
    ASSERT_TRUE(r);
    for (int i = 0; i < 10; ++i) {
        PortClient c;
        ASSERT_TRUE(c.open(r->path));
        auto a = c.request(nv_read(550), false);
        ASSERT_TRUE(a) << "round " << i;
        EXPECT_EQ(nv_status(*a), 0);
    }
    // The port is closed now: a phone thread polling a hung-up master would burn a core.
    timespec t0{}, t1{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
    auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
    double cpu = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
    double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    EXPECT_LT(cpu, wall / 2) << "the simulator keeps a CPU busy while idle";
}

TEST_F(SimE2E, DloadReenumeratesAtTheSameHubPositionWithANewCom) {
    ASSERT_TRUE(start());
    PortClient c;
    tw::DeviceRecord diag;
    ASSERT_TRUE(open_port(c, 1, 0x9025, &diag));
    auto echo = c.request({0x3A}, false);
    ASSERT_TRUE(echo);
    EXPECT_EQ(*echo, Bytes{0x3A});
    auto qdl = wait_record(dev, 1, 0x9008);
    ASSERT_TRUE(qdl);
    EXPECT_FALSE(record_at(dev, 1, 0x9025));
    EXPECT_EQ(qdl->parent, diag.parent);
    EXPECT_EQ(qdl->hubport, diag.hubport);
    EXPECT_NE(qdl->com, diag.com);
    EXPECT_NE(qdl->path, diag.path);
    EXPECT_FALSE(qdl->diag);
    EXPECT_EQ(qdl->friendly, "Qualcomm HS-USB QDLoader 9008 (COM" + std::to_string(qdl->com) + ")");
    // The old port goes away once its last answer has been read.
    EXPECT_FALSE(c.receive(3000));
    EXPECT_TRUE(c.hung_up);
    PortClient q;
    ASSERT_TRUE(q.open(qdl->path));
    EXPECT_EQ(q.request({0x06}).value_or(Bytes{}), kAck);
}

TEST_F(SimE2E, DownloadCycleStoresWhatArrivesThenFastbootAndBackToDiag) {
    ASSERT_TRUE(start([](SimOptions& o) { o.start = phonesim::Mode::Download; }));
    const std::string pkg = package_dir() + "/modem/";
    auto progs = programmers();
    PortClient c;
    tw::DeviceRecord qdl;
    ASSERT_TRUE(open_port(c, 1, 0x9008, &qdl));
    EXPECT_EQ(c.request({0x06}).value_or(Bytes{}), kAck);
    ASSERT_NO_FATAL_FAILURE(upload(c, progs[1]));
    EXPECT_EQ(c.request(go(progs[1].start)).value_or(Bytes{}), kAck);
    EXPECT_EQ(file_bytes(phone_dir(0) + "/ram.bin"), progs[1].bytes);

    // The programmer speaks on the same port.
    auto h = c.request(hello());
    ASSERT_TRUE(h);
    ASSERT_GT(h->size(), 43u);
    EXPECT_EQ((*h)[0], 0x02);
    EXPECT_EQ(std::string(h->begin() + 1, h->begin() + 33), "QCOM fast download protocol targ");
    const uint32_t block = get_le32(&(*h)[35]);
    ASSERT_GE(block, 64u);
    auto info = c.request({0x03, 0x20, 0, 0, 0, 52, 0});
    ASSERT_TRUE(info);
    ASSERT_EQ(info->size(), 57u);
    EXPECT_EQ((*info)[0], 0x04);
    EXPECT_EQ(Bytes(info->begin() + 5, info->end()),
              Bytes(phonesim::flash_info_block(), phonesim::flash_info_block() + 52));
    auto early = c.request({0x1B, 0x04});
    ASSERT_TRUE(early);
    EXPECT_EQ((*early)[0], 0x0D);
    EXPECT_EQ(get_le32(&(*early)[1]), 0x0Fu);
    EXPECT_EQ(c.request({0x17, 0x00}).value_or(Bytes{}), Bytes{0x18});
    Bytes table = file_bytes(pkg + "partition.mbn");
    Bytes pt{0x19, 0x00};
    pt.insert(pt.end(), table.begin(), table.end());
    EXPECT_EQ(c.request(pt).value_or(Bytes{}), (Bytes{0x1A, 0x00}));

    // One image: its header rides on the open, its body is streamed.
    Bytes hdr = file_bytes(pkg + "oemsblhd.mbn"), body = file_bytes(pkg + "oemsbl.mbn");
    Bytes open{0x1B, 0x04};
    open.insert(open.end(), hdr.begin(), hdr.end());
    EXPECT_EQ(c.request(open).value_or(Bytes{}), (Bytes{0x1C, 0x00}));
    for (size_t off = 0; off < body.size(); off += block) {
        size_t n = std::min<size_t>(block, body.size() - off);
        Bytes w{0x07};
        le32(w, static_cast<uint32_t>(off));
        w.insert(w.end(), body.begin() + static_cast<long>(off),
                 body.begin() + static_cast<long>(off + n));
        auto a = c.request(w);
        ASSERT_TRUE(a) << off;
        Bytes want{0x08};
        le32(want, static_cast<uint32_t>(off));
        ASSERT_EQ(*a, want) << off;
        if (off == block) {
            Bytes skip{0x07};
            le32(skip, static_cast<uint32_t>(off + 2 * block));
            skip.push_back(0);
            auto refused = c.request(skip);
            ASSERT_TRUE(refused);
            EXPECT_EQ((*refused)[0], 0x0D);
        }
    }
    EXPECT_EQ(c.request({0x15}).value_or(Bytes{}), Bytes{0x16});
    EXPECT_EQ(file_bytes(phone_dir(0) + "/partition.bin"), table);
    EXPECT_EQ(file_bytes(phone_dir(0) + "/image_04.hdr"), hdr);
    EXPECT_EQ(file_bytes(phone_dir(0) + "/image_04.bin"), body);

    // Reset: Android, waiting for reboot-bootloader, then fastboot at the same position.
    EXPECT_EQ(c.request({0x0B}).value_or(Bytes{}), Bytes{0x0C});
    EXPECT_TRUE(wait_for([&] { return !record_at(dev, 1, 0x9008); }));
    EXPECT_TRUE(wait_for([&] { return sim.phone(0).phase() == phonesim::Phase::Android; }));
    std::string reply, err;
    ASSERT_TRUE(phonesim::ctl_request(state, "reboot-bootloader 0", reply, err)) << err;
    EXPECT_EQ(reply, "OK 1");
    auto fb = wait_record(dev, 1, 0xD00D);
    ASSERT_TRUE(fb);
    EXPECT_EQ(fb->kind, tw::DeviceKind::Usb);
    EXPECT_EQ(fb->vid, 0x18D1);
    EXPECT_EQ(fb->parent, qdl.parent);
    EXPECT_EQ(fb->address.rfind("tcp:127.0.0.1:", 0), 0u);
    FastbootClient f;
    ASSERT_TRUE(f.connect(port_of(*fb)));
    EXPECT_EQ(f.command("getvar:product").value_or(""), "OKAYSIM7627A");
    EXPECT_EQ(f.command("reboot").value_or(""), "OKAY");

    // Back in DIAG with a new COM number; the modem write left the IMEI zeroed.
    PortClient d;
    tw::DeviceRecord diag;
    ASSERT_TRUE(open_port(d, 1, 0x9025, &diag));
    EXPECT_NE(diag.com, qdl.com);
    auto imei = d.request(nv_read(550), false);
    ASSERT_TRUE(imei);
    EXPECT_EQ(nv_status(*imei), 0);
    EXPECT_EQ(Bytes(imei->begin() + 3, imei->begin() + 131), Bytes(128, 0));
    Bytes id{0x08, 0x4A, 0x09, 0x51, 0x24, 0x30, 0x32, 0x57, 0x81};
    ASSERT_TRUE(d.request(nv_write(550, id), false));
    imei = d.request(nv_read(550), false);
    ASSERT_TRUE(imei);
    EXPECT_TRUE(std::equal(id.begin(), id.end(), imei->begin() + 3));
}

TEST_F(SimE2E, AFastbootPhonePulledUnderAnOpenConnectionComesBackAtItsAddress) {
    ASSERT_TRUE(start([](SimOptions& o) {
        o.start = phonesim::Mode::Fastboot;
        std::string err;
        o.faults.push_back(*phonesim::parse_fault("fastboot:unplug@1=100", err));
    }));
    auto fb = wait_record(dev, 1, 0xD00D);
    ASSERT_TRUE(fb);
    FastbootClient f;
    ASSERT_TRUE(f.connect(port_of(*fb)));
    EXPECT_FALSE(f.command("getvar:version")); // pulled; the host has not closed its end yet
    EXPECT_TRUE(wait_for([&] {
        auto again = record_at(dev, 1, 0xD00D);
        return again && again->name != fb->name;
    }));
    auto again = record_at(dev, 1, 0xD00D);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->address, fb->address); // the host reopens it by that name
}

TEST_F(SimE2E, AutoFastbootAfterResetWithoutControl) {
    ASSERT_TRUE(start([](SimOptions& o) {
        o.start = phonesim::Mode::Download;
        o.auto_fastboot = true;
    }));
    auto p = programmers()[0];
    PortClient c;
    ASSERT_TRUE(open_port(c, 1, 0x9008));
    ASSERT_NO_FATAL_FAILURE(upload(c, p));
    EXPECT_EQ(c.request(go(p.start)).value_or(Bytes{}), kAck);
    ASSERT_TRUE(c.request(hello()));
    EXPECT_EQ(c.request({0x0B}).value_or(Bytes{}), Bytes{0x0C});
    EXPECT_TRUE(wait_record(dev, 1, 0xD00D));
    // Nobody waits in Android mode any more.
    std::string reply, err;
    ASSERT_TRUE(phonesim::ctl_request(state, "reboot-bootloader 490154203237518", reply, err));
    EXPECT_EQ(reply.rfind("ERR", 0), 0u) << reply;
}

TEST_F(SimE2E, GarbageInRamKeepsThePhoneSilent) {
    ASSERT_TRUE(start([](SimOptions& o) { o.start = phonesim::Mode::Download; }));
    auto progs = programmers();
    PortClient c;
    ASSERT_TRUE(open_port(c, 1, 0x9008));
    auto p = progs[0];
    p.bytes[100] ^= 0xFF;
    ASSERT_NO_FATAL_FAILURE(upload(c, p));
    EXPECT_EQ(c.request(go(p.start)).value_or(Bytes{}), kAck);
    EXPECT_FALSE(c.request(hello(), true, 400));
    EXPECT_FALSE(c.request({0x06}, true, 200));
}

TEST_F(SimE2E, DmssNaksBadFcsDestinationLengthAndCommand) {
    ASSERT_TRUE(start([](SimOptions& o) { o.start = phonesim::Mode::Download; }));
    PortClient c;
    ASSERT_TRUE(open_port(c, 1, 0x9008));
    // A frame whose FCS is wrong, by hand.
    c.send_raw({0x7E, 0x06, 0x12, 0x34, 0x7E});
    EXPECT_EQ(c.receive().value_or(Bytes{}), (Bytes{0x03, 0x00, 0x01}));
    Bytes far{0x0F};
    be32(far, 0x40000000);
    be16(far, 1);
    far.push_back(0);
    EXPECT_EQ(c.request(far).value_or(Bytes{}), (Bytes{0x03, 0x00, 0x02}));
    Bytes shortw{0x01, 0x10, 0x00, 0x00, 0x00, 0x08, 1, 2};
    EXPECT_EQ(c.request(shortw).value_or(Bytes{}), (Bytes{0x03, 0x00, 0x03}));
    EXPECT_EQ(c.request({0x26}).value_or(Bytes{}), (Bytes{0x03, 0x00, 0x06}));
}

TEST_F(SimE2E, FastbootOverTcpFlashesAndReenumerates) {
    ASSERT_TRUE(start([](SimOptions& o) {
        o.start = phonesim::Mode::Fastboot;
        std::string err;
        o.faults.push_back(*phonesim::parse_fault("fastboot:nak@2", err));
    }));
    auto fb = wait_record(dev, 1, 0xD00D);
    ASSERT_TRUE(fb);
    FastbootClient f;
    ASSERT_TRUE(f.connect(port_of(*fb)));
    EXPECT_EQ(f.command("getvar:version").value_or(""), "OKAY0.5");
    EXPECT_EQ(f.command("getvar:serialno").value_or(""), "OKAYSIM490154203237518");
    EXPECT_EQ(f.command("getvar:is-logical:boot").value_or("").substr(0, 4), "FAIL");
    Bytes img(3000);
    phonesim::Rng(4).fill(img.data(), img.size());
    EXPECT_EQ(f.command("download:00000bb8").value_or(""), "DATA00000bb8");
    ASSERT_TRUE(f.send_packet(img.data(), 1000));
    ASSERT_TRUE(f.send_packet(img.data() + 1000, 2000));
    EXPECT_EQ(f.read_packet().value_or(""), "OKAY");
    EXPECT_EQ(f.command("flash:recovery").value_or(""), "OKAY");
    ASSERT_FALSE(f.info.empty());
    EXPECT_EQ(f.info.back(), "writing 'recovery'");
    EXPECT_EQ(file_bytes(phone_dir(0) + "/fastboot/recovery.img"), img);
    EXPECT_EQ(f.command("flash:boot").value_or("").substr(0, 4), "FAIL"); // the second write
    EXPECT_EQ(f.command("flash:boot").value_or(""), "OKAY");
    EXPECT_EQ(f.command("erase:cache").value_or(""), "OKAY");
    EXPECT_EQ(f.command("reboot-bootloader").value_or(""), "OKAY");
    EXPECT_TRUE(wait_for([&] {
        auto again = record_at(dev, 1, 0xD00D);
        return again && again->name != fb->name;
    }));
}

TEST_F(SimE2E, DiskModeAndStopRemovesEveryRecord) {
    ASSERT_TRUE(start([](SimOptions& o) {
        o.start = phonesim::Mode::Disk;
        o.phones = 3;
    }));
    for (int i = 1; i <= 3; ++i) {
        auto d = wait_record(dev, i, 0x9006);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->kind, tw::DeviceKind::Disk);
        struct stat st {};
        ASSERT_EQ(::stat(d->path.c_str(), &st), 0);
        EXPECT_EQ(static_cast<uint64_t>(st.st_size), phonesim::kDiskImageBytes);
    }
    std::string reply, err;
    ASSERT_TRUE(phonesim::ctl_request(state, "reboot-bootloader", reply, err)) << err;
    EXPECT_EQ(reply.rfind("ERR", 0), 0u); // nobody waits in Android mode
    ASSERT_TRUE(phonesim::ctl_request(state, "reboot-bootloader 7", reply, err)) << err;
    EXPECT_EQ(reply, "ERR no phone 7");
    sim.stop();
    EXPECT_TRUE(tw::list_devices_from_dir(dev).empty());
    EXPECT_FALSE(phonesim::ctl_request(state, "status", reply, err));
}

TEST_F(SimE2E, TheOperatorPullsPhonesAndPlugsNewOnesIn) {
    ASSERT_TRUE(start([](SimOptions& o) { o.phones = 2; }));
    ASSERT_TRUE(wait_record(dev, 1, 0x9025));
    const auto second = wait_record(dev, 2, 0x9025);
    ASSERT_TRUE(second);
    std::string reply, err;
    auto ctl = [&](const std::string& line) {
        reply.clear();
        EXPECT_TRUE(phonesim::ctl_request(state, line, reply, err)) << err;
        return reply;
    };
    // Pulled for good: gone by the time the answer comes, and for the rest of the run.
    EXPECT_EQ(ctl("unplug 490154203237518"), "OK 1");
    EXPECT_FALSE(record_at(dev, 1, 0x9025));
    EXPECT_EQ(ctl("status"), "OK 0:off 1:diag");
    EXPECT_EQ(ctl("unplug 0"), "ERR no phone plugged in: 0");
    // A new phone with the next IMEI at the free hub port, none where one is.
    EXPECT_EQ(ctl("plug 2"), "ERR a phone is plugged in at hub port 2");
    EXPECT_EQ(ctl("plug 1"), "OK 2 " + *phonesim::imei_nth(phonesim::kDefaultImeiBase, 2));
    const auto fresh = wait_record(dev, 1, 0x9025);
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh->instance.find(sim.phone(2).imei()), std::string::npos) << fresh->instance;
    EXPECT_FALSE(file_bytes(phone_dir(2) + "/nv.txt").empty());
    const std::string by_position = ctl("plug " + sim.hub() + "#3#");
    ASSERT_EQ(sim.size(), 4u);
    EXPECT_EQ(by_position, "OK 3 " + sim.phone(3).imei());
    // Pulled and plugged back: the same phone, a new port.
    EXPECT_EQ(ctl("replug 1 200"), "OK 2");
    EXPECT_TRUE(wait_for([&] {
        const auto back = record_at(dev, 2, 0x9025);
        return back && back->com != second->com && back->instance == second->instance;
    }));
    EXPECT_EQ(ctl("replug 1 x"), "ERR bad time 1 x");
    // A phone back for another go: its IMEI and its NV items as it left them, and a fault of
    // its own. Only an unplugged phone can come back.
    phonesim::PlugOptions again;
    again.same_as = 2;
    again.faults.push_back(*phonesim::parse_fault("diag:silence@1", err));
    EXPECT_EQ(sim.plug("4", err, again), -1);
    EXPECT_EQ(err, "phone 2 is not an unplugged phone");
    again.same_as = 3;
    ASSERT_EQ(ctl("unplug 3"), "OK 3");
    ASSERT_EQ(sim.plug("4", err, again), 4) << err;
    EXPECT_EQ(sim.phone(4).imei(), sim.phone(3).imei());
    EXPECT_EQ(file_bytes(phone_dir(4) + "/nv.txt"), file_bytes(phone_dir(3) + "/nv.txt"));
    EXPECT_NE(file_bytes(phone_dir(4) + "/nv.txt"), file_bytes(phone_dir(2) + "/nv.txt"));
    PortClient c;
    ASSERT_TRUE(open_port(c, 4, 0x9025));
    EXPECT_FALSE(c.request(nv_read(550), false, 300)) << "its own fault";
}

// ---- faults ----

TEST_F(SimE2E, FaultSilenceFromTheKthRequestOnOnePhone) {
    ASSERT_TRUE(start([](SimOptions& o) {
        o.phones = 2;
        std::string err;
        o.faults.push_back(*phonesim::parse_fault("1/diag:silence@3", err));
    }));
    PortClient a, b;
    ASSERT_TRUE(open_port(a, 1, 0x9025));
    ASSERT_TRUE(open_port(b, 2, 0x9025));
    for (int k = 1; k <= 4; ++k) {
        EXPECT_TRUE(a.request(nv_read(550), false, 2000)) << k;
        bool answered = b.request(nv_read(550), false, k < 3 ? 2000 : 300).has_value();
        EXPECT_EQ(answered, k < 3) << k;
    }
}

TEST_F(SimE2E, FaultNakOnTheKthWriteThenRecovery) {
    ASSERT_TRUE(start([](SimOptions& o) {
        o.start = phonesim::Mode::Download;
        std::string err;
        o.faults.push_back(*phonesim::parse_fault("dmss:nak@2", err));
    }));
    auto p = programmers()[0];
    PortClient c;
    ASSERT_TRUE(open_port(c, 1, 0x9008));
    auto write = [&](size_t off) {
        Bytes w{0x0F};
        be32(w, p.load + static_cast<uint32_t>(off));
        be16(w, 1024);
        w.insert(w.end(), p.bytes.begin() + static_cast<long>(off),
                 p.bytes.begin() + static_cast<long>(off + 1024));
        return c.request(w).value_or(Bytes{});
    };
    EXPECT_EQ(write(0), kAck);
    EXPECT_EQ(write(1024), (Bytes{0x03, 0x00, 0x07}));
    EXPECT_EQ(write(1024), kAck); // the host's retry goes through
    ASSERT_NO_FATAL_FAILURE(upload(c, p));
    EXPECT_EQ(c.request(go(p.start)).value_or(Bytes{}), kAck);
    EXPECT_TRUE(c.request(hello()));
}

TEST_F(SimE2E, FaultCorruptedFcs) {
    ASSERT_TRUE(start([](SimOptions& o) {
        std::string err;
        o.faults.push_back(*phonesim::parse_fault("diag:crc=1", err));
    }));
    PortClient c;
    ASSERT_TRUE(open_port(c, 1, 0x9025));
    EXPECT_FALSE(c.request(nv_read(550), false, 500));
    ASSERT_GE(c.raw.size(), 135u); // the answer arrived, but the link framer dropped it
    EXPECT_EQ(c.raw.back(), 0x7E);
    EXPECT_NE(quillon::crc16_update(0xFFFF, c.raw.data(), c.raw.size() - 1), quillon::kCrc16Good);
}

TEST_F(SimE2E, FaultUnplugDuringTransferAndReplug) {
    ASSERT_TRUE(start([](SimOptions& o) {
        o.start = phonesim::Mode::Download;
        std::string err;
        o.faults.push_back(*phonesim::parse_fault("dmss:unplug@3=300", err));
    }));
    auto p = programmers()[0];
    PortClient c;
    tw::DeviceRecord first;
    ASSERT_TRUE(open_port(c, 1, 0x9008, &first));
    EXPECT_EQ(c.request({0x06}).value_or(Bytes{}), kAck);
    Bytes w{0x0F};
    be32(w, p.load);
    be16(w, 16);
    w.insert(w.end(), p.bytes.begin(), p.bytes.begin() + 16);
    EXPECT_EQ(c.request(w).value_or(Bytes{}), kAck);
    EXPECT_FALSE(c.request(w, true, 2000)); // the third request pulls the plug
    EXPECT_TRUE(c.hung_up);
    EXPECT_TRUE(wait_for([&] {
        auto r = record_at(dev, 1, 0x9008);
        return r && r->com != first.com;
    }));
    PortClient again;
    ASSERT_TRUE(open_port(again, 1, 0x9008));
    ASSERT_NO_FATAL_FAILURE(upload(again, p));
    EXPECT_EQ(again.request(go(p.start)).value_or(Bytes{}), kAck);
    EXPECT_TRUE(again.request(hello()));
}

TEST_F(SimE2E, FaultStaleExtraAnswer) {
    ASSERT_TRUE(start([](SimOptions& o) {
        std::string err;
        o.faults.push_back(*phonesim::parse_fault("diag:stale@1", err));
    }));
    PortClient c;
    ASSERT_TRUE(open_port(c, 1, 0x9025));
    auto first = c.request(nv_read(550), false);
    ASSERT_TRUE(first);
    auto extra = c.receive(2000);
    ASSERT_TRUE(extra);
    EXPECT_EQ(*extra, *first);
    auto second = c.request(nv_read(10), false);
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)[1], 10);
    EXPECT_FALSE(c.receive(300));
}

TEST_F(SimE2E, FaultSlowLinkAndUnreadableImei) {
    tw::clock::set_scale(1.0); // bytes per second in real time here
    ASSERT_TRUE(start([](SimOptions& o) {
        std::string err;
        o.faults.push_back(*phonesim::parse_fault("diag:slow=1000", err));
        o.faults.push_back(*phonesim::parse_fault("diag:imei-unreadable", err));
    }));
    PortClient c;
    ASSERT_TRUE(open_port(c, 1, 0x9025));
    auto t0 = Clock::now();
    auto a = c.request(nv_read(550), false, 5000);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    ASSERT_TRUE(a);
    EXPECT_EQ(nv_status(*a), 5);
    // 136 bytes on the wire at 1000 bytes/s cannot arrive in less than about 0.12 s.
    EXPECT_GE(took.count(), 100);
    auto other = c.request(nv_read(10), false, 5000);
    ASSERT_TRUE(other);
    EXPECT_EQ(nv_status(*other), 0);
}

} // namespace
