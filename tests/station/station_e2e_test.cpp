// The station end to end against simulated phones, time scaled down: whole cycles, slots by
// USB position, failures that stay in their slot, a stop in the middle of a download,
// RepairMode, and the texts of the boxes in both languages.
#include "tests/station/station_rig.h"

#include "diag/flashboot_qcn.h"
#include "engine/flashboot.h"
#include "platform/device_source.h"
#include "station/texts.h"
#include <fstream>

namespace stationtest {
namespace {

using Clock = std::chrono::steady_clock;

// The stages a record went through, by name.
std::vector<std::string> StageNames(const CycleRecord& r) {
    std::vector<std::string> v;
    for (const auto& s : r.stages)
        v.push_back(s.name);
    return v;
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

// True when the texts appear in this order (others may come between).
bool InOrder(const std::vector<std::string>& seen, const std::vector<std::string>& want) {
    size_t at = 0;
    for (const std::string& s : seen)
        if (at < want.size() && s == want[at]) ++at;
    return at == want.size();
}

TEST_F(StationRig, OnePhoneThroughTheWholeCycleOfSlotOne) {
    ASSERT_TRUE(StartPhones(1));
    const NvState before = Nv(0);
    Station& st = NewStation();
    st.ClickSlot(0);
    ASSERT_TRUE(st.Running(0));
    ASSERT_TRUE(WaitFinished(1)) << ui.status(0);
    const CycleRecord r = Finished().at(0);
    EXPECT_EQ(r.result, CycleResult::Pass) << r.message;
    EXPECT_EQ(StageNames(r), (std::vector<std::string>{"backup", "reset", "emergency download",
                                                       "fastboot", "restore"}));
    EXPECT_EQ(r.imei, sim.phone(0).imei());
    EXPECT_EQ(r.position, Position(1));
    // The backup is kept in the station folder under the IMEI, and the restore used it.
    EXPECT_EQ(r.backup_file, home + "qcn/" + r.imei + ".txt");
    EXPECT_EQ(r.qcn_file, r.backup_file);
    EXPECT_TRUE(fs::exists(r.backup_file));
    // reboot.sh ran with the slot number and the position: the simulator answered it.
    EXPECT_NE(Slurp(home + "log/reboot.log").find("OK 1"), std::string::npos);
    // Every NV item is back (the emergency download had reset them to factory values).
    EXPECT_TRUE(WaitNv(0, [&](const NvState& s) { return s == before; }));

    EXPECT_EQ(ui.marks(0), std::vector<bool>{true});
    EXPECT_TRUE(InOrder(ui.statuses(0),
                        {"BackUp QCN...", "BackUp QCN Complete", "UPdate modem Files...",
                         "Update Modem Complete", "Waiting Device...", "Update AP...",
                         "Update Fastboot Complete", "Waiting for phone restart...",
                         "Restore QCN...", "pass", "Restore QCN Complete", "Update Complete!"}));
    EXPECT_EQ(ui.cycle_bar(), 1200);
    // The box comes once the bar is free again.
    ASSERT_TRUE(ui.WaitFor([&] { return !ui.boxes(0).empty(); }, 10000));
    const auto boxes = ui.boxes(0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Update complete!Please stop update!");
    EXPECT_EQ(boxes[0].caption, "Tarnwell");
    // The slot's row stays as it ended; a new start is the operator's.
    EXPECT_FALSE(st.Busy(0));
    EXPECT_EQ(st.Phase(0), SlotPhase::Finished);
}

TEST_F(StationRig, FourPhonesByPositionAndTheSameSlotsAfterARestart) {
    // Phone i sits at hub port 4 - i, so slots follow positions, not phone order.
    ASSERT_TRUE(StartPhones(4, {}, {4, 3, 2, 1}));
    std::vector<NvState> before;
    for (int i = 0; i < 4; ++i)
        before.push_back(Nv(i));
    auto phone_at = [](int slot) { return 3 - slot; }; // slot s holds hub port s + 1

    NewStation().StartAll();
    ASSERT_TRUE(WaitFinished(4));
    for (int s = 0; s < 4; ++s) {
        const CycleRecord r = Finished().at(s);
        EXPECT_EQ(r.result, CycleResult::Pass) << s << ": " << r.message;
        EXPECT_EQ(r.position, Position(s + 1));
        EXPECT_EQ(r.imei, sim.phone(static_cast<size_t>(phone_at(s))).imei());
        EXPECT_EQ(SlotKey("QDLoadcom9008", "USBAddress", s), Position(s + 1));
        EXPECT_EQ(SlotKey("FastbootDeviceName", "fastbootDeviceName", s), Position(s + 1));
        EXPECT_EQ(SlotKey("DiagCom9025", "diagcom9025", s), Position(s + 1));
    }
    for (int s = 4; s < kSlots; ++s) {
        EXPECT_EQ(ui.status(s), "Waiting for phone");
        EXPECT_EQ(SlotKey("QDLoadcom9008", "USBAddress", s), "");
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(WaitNv(i, [&](const NvState& n) { return n == before[size_t(i)]; })) << i;

    // A new station reads the positions back: slots started in reverse order still take the
    // phones at their own positions.
    {
        std::lock_guard<std::mutex> g(cycles_m);
        cycles.clear();
    }
    Station& again = NewStation();
    for (int s = 3; s >= 0; --s)
        again.ClickSlot(s);
    ASSERT_TRUE(WaitFinished(4));
    for (int s = 0; s < 4; ++s) {
        const CycleRecord r = Finished().at(s);
        EXPECT_EQ(r.result, CycleResult::Pass) << s << ": " << r.message;
        EXPECT_EQ(r.imei, sim.phone(static_cast<size_t>(phone_at(s))).imei()) << s;
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(WaitNv(i, [&](const NvState& n) { return n == before[size_t(i)]; })) << i;
}

TEST_F(StationRig, SlotsWaitForTheirPhonesAndAPhoneGoneAfterTheResetFailsOnlyItsSlot) {
    // The slots start before any phone is there: they wait, and each phone's DIAG port starts
    // the cycle of the slot it is given.
    fs::create_directories(dev);
    Station& st = NewStation();
    st.ClickSlot(0);
    st.ClickSlot(1);
    EXPECT_EQ(ui.status(0), "Waiting for phone");
    EXPECT_EQ(ui.status(1), "Waiting for phone");
    EXPECT_EQ(st.Phase(1), SlotPhase::WaitingForPhone);
    ASSERT_TRUE(StartPhones(2, {"0/diag:reset-unplug"}));
    ASSERT_TRUE(WaitFinished(2));
    const auto done = Finished();
    const int gone_slot = done.at(0).imei == sim.phone(0).imei() ? 0 : 1;
    const CycleRecord gone = done.at(gone_slot), other = done.at(1 - gone_slot);
    EXPECT_EQ(gone.imei, sim.phone(0).imei());
    EXPECT_EQ(other.imei, sim.phone(1).imei());
    EXPECT_EQ(SlotKey("QDLoadcom9008", "USBAddress", gone_slot), Position(1));
    EXPECT_EQ(SlotKey("QDLoadcom9008", "USBAddress", 1 - gone_slot), Position(2));
    EXPECT_EQ(gone.result, CycleResult::Fail);
    EXPECT_EQ(other.result, CycleResult::Pass) << other.message;
    const auto boxes = ui.boxes(gone_slot);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Can't find phone！Please check the phone and driver！");
    EXPECT_EQ(boxes[0].caption, "Android 2.3");
    EXPECT_EQ(boxes[0].icon, MessageIcon::Error);
    // (The row returns to "Waiting" once the position has been empty for two seconds.)
    EXPECT_TRUE(InOrder(ui.statuses(gone_slot), {"Fail"}));
    EXPECT_EQ(ui.marks(gone_slot), std::vector<bool>{false});
    EXPECT_EQ(ui.marks(1 - gone_slot), std::vector<bool>{true});
    EXPECT_FALSE(st.Busy(gone_slot));
}

TEST_F(StationRig, FailuresInChineseStayInTheirSlotsAndTheRunEnds) {
    // Phone 0 never takes its programmer; phone 1's boot partition is refused three times.
    ASSERT_TRUE(StartPhones(
        3, {"0/dmss:silence@1", "1/fastboot:fail@1", "1/fastboot:fail@2", "1/fastboot:fail@3"}));
    NewStation(Language::Chinese).StartAll();
    ASSERT_TRUE(WaitFinished(3));
    const auto done = Finished();

    // Three emergency downloads, each with its box and FAIL, then the slot gives up.
    const CycleRecord edl = done.at(0);
    EXPECT_EQ(edl.result, CycleResult::Fail);
    int attempts = 0;
    for (const auto& s : edl.stages)
        if (s.name == "emergency download") {
            ++attempts;
            EXPECT_NE(s.result, 0);
        }
    EXPECT_EQ(attempts, 3);
    EXPECT_FALSE(Contains(StageNames(edl), "fastboot"));
    const auto edl_boxes = ui.boxes(0);
    ASSERT_EQ(edl_boxes.size(), 3u);
    for (const auto& b : edl_boxes) {
        EXPECT_EQ(b.text, "Update Failed!\n更新失败!");
        EXPECT_EQ(b.caption, "Tarnwell");
    }
    EXPECT_EQ(ui.marks(0), (std::vector<bool>{false, false, false}));
    EXPECT_TRUE(
        InOrder(ui.statuses(0), {"备份 QCN...", "备份QCN完成", "下载modem文件...", "Fail"}));
    // Slot 1's failure ended its cycle bar where it stood.
    const int bar = ui.cycle_bar();
    EXPECT_LT(bar, 1200);
    tw::clock::sleep_ms(3000);
    EXPECT_EQ(ui.cycle_bar(), bar);

    const CycleRecord flash = done.at(1);
    EXPECT_EQ(flash.result, CycleResult::Fail);
    EXPECT_NE(flash.message.find("boot"), std::string::npos) << flash.message;
    const auto flash_boxes = ui.boxes(1);
    ASSERT_EQ(flash_boxes.size(), 1u);
    EXPECT_EQ(flash_boxes[0].text, "更新失败!");
    EXPECT_EQ(flash_boxes[0].caption, "Tarnwell");
    EXPECT_EQ(ui.marks(1), std::vector<bool>{false});
    EXPECT_TRUE(InOrder(ui.statuses(1), {"等待设备...", "更新AP...", "Fail"}));

    EXPECT_EQ(done.at(2).result, CycleResult::Pass) << done.at(2).message;
    EXPECT_TRUE(ui.boxes(2).empty());
    EXPECT_TRUE(InOrder(ui.statuses(2), {"导回QCN...", "pass", "恢复QCN完成"}));
}

TEST_F(StationRig, StopInTheMiddleOfAnEmergencyDownloadThenStartAgain) {
    // The boot ROM answers slowly, so the programmer upload lasts long enough to be cut.
    ASSERT_TRUE(StartPhones(1, {"0/dmss:slow=4"}));
    const NvState before = Nv(0);
    Station& st = NewStation();
    st.ClickSlot(0);
    ASSERT_TRUE(ui.WaitFor(
        [&] {
            const int p = ui.progress(0);
            return ui.status(0) == "UPdate modem Files..." && p > 0 && p < 30;
        },
        60000));
    const auto t0 = Clock::now();
    st.ClickSlot(0); // the question is answered yes
    const auto took = Clock::now() - t0;
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_FALSE(st.Running(0));
    EXPECT_EQ(ui.status(0), "Waiting");
    EXPECT_EQ(ui.progress(0), 0);
    EXPECT_EQ(ui.questions().back(), "DO you want to stop downloading?");
    EXPECT_EQ(SondrelLiveModules(), 0);

    // The port is free: a module on it opens without "in use".
    int com = 0;
    for (const auto& r : tw::list_devices())
        if (r.pid == 0x9008) com = r.com;
    ASSERT_GT(com, 0);
    Flashboot* m = nullptr;
    CreateModule(com, 1, &m);
    ASSERT_NE(m, nullptr);
    EXPECT_NE(m->hComHandle, 0x170);
    EXPECT_GE(m->hComHandle, 0);
    DeleteModule(m);

    // Started again, the slot finishes the phone with the backup its first run made.
    st.ClickSlot(0);
    ASSERT_TRUE(WaitFinished(1));
    const CycleRecord r = Finished().at(0);
    EXPECT_EQ(r.result, CycleResult::Pass) << r.message;
    EXPECT_EQ(r.qcn_file, home + "qcn/" + sim.phone(0).imei() + ".txt");
    EXPECT_TRUE(WaitNv(0, [&](const NvState& s) { return s == before; }));
}

TEST_F(StationRig, RepairModeSelectedFileForSlotOneOwnBackupForTheOthers) {
    ASSERT_TRUE(StartPhones(2));
    const NvState before0 = Nv(0), before1 = Nv(1);
    // Earlier backups of both phones in the station folder, as a normal run leaves them.
    fs::create_directories(home + "qcn");
    for (int i = 0; i < 2; ++i) {
        int com = 0;
        for (const auto& r : tw::list_devices())
            if (r.hubport == i + 1 && r.pid == 0x9025) com = r.com;
        Flashboot* m = nullptr;
        CreateModule(com, 1, &m);
        ASSERT_NE(m, nullptr);
        diag::BackupOutcome b;
        EXPECT_EQ(diag::BackUpQcn(m, m, (home + "qcn/").c_str(), (Package() + "/").c_str(), &b), 0);
        if (i == 0) {
            // Slot 1's phone comes to the station in download mode, with its file selected.
            fs::copy_file(b.path, root + "/selected-calibration.txt");
            m->DoResetPhone(m);
        }
        DeleteModule(m);
    }
    // Positions of an earlier run: hub port 1 is slot 1, hub port 2 slot 2.
    Station& st = NewStation();
    st.SelectQcnFile(root + "/selected-calibration.txt");
    ASSERT_TRUE(st.RepairMode());
    tw::ini::write_string(home + "inifile.ini", "QDLoadcom9008", "USBAddress[0]", Position(1));
    tw::ini::write_string(home + "inifile.ini", "FastbootDeviceName", "fastbootDeviceName[0]",
                          Position(1));
    tw::ini::write_string(home + "inifile.ini", "DiagCom9025", "diagcom9025[0]", Position(1));
    tw::ini::write_string(home + "inifile.ini", "QDLoadcom9008", "USBAddress[1]", Position(2));
    tw::ini::write_string(home + "inifile.ini", "FastbootDeviceName", "fastbootDeviceName[1]",
                          Position(2));
    tw::ini::write_string(home + "inifile.ini", "DiagCom9025", "diagcom9025[1]", Position(2));
    // Only slot 2 is started: the download port of phone 0 is reported by the listener and
    // starts slot 1 by its position.
    st.ClickSlot(1);
    ASSERT_TRUE(WaitFinished(2));
    const CycleRecord one = Finished().at(0), two = Finished().at(1);
    EXPECT_EQ(one.result, CycleResult::Pass) << one.message;
    EXPECT_EQ(two.result, CycleResult::Pass) << two.message;
    EXPECT_EQ(one.position, Position(1));
    EXPECT_EQ(one.qcn_file, root + "/selected-calibration.txt");
    EXPECT_FALSE(Contains(StageNames(one), "backup"));
    EXPECT_EQ(two.qcn_file, home + "qcn/" + sim.phone(1).imei() + ".txt");
    EXPECT_FALSE(Contains(StageNames(two), "backup"));
    EXPECT_TRUE(WaitNv(0, [&](const NvState& s) { return s == before0; }));
    EXPECT_TRUE(WaitNv(1, [&](const NvState& s) { return s == before1; }));
}

class EmmcStage : public StationRig {
  protected:
    // A package with a raw-programming plan whose TZ image starts at `tz_sector`, and a phone
    // that comes as a mass-storage disk at the position slot 1 holds. Returns SBL1's bytes.
    std::string StartEmmcPhone(const std::string& tz_sector) {
        const std::string pkg = root + "/emmc-package";
        fs::copy(Package(), pkg, fs::copy_options::recursive);
        std::ofstream(pkg + "/rawprogram0.xml") << R"(<?xml version="1.0" ?>
<data>
  <program filename="MBR" label="MBR" start_sector="0"/>
  <program filename="sbl1.mbn" label="SBL1" start_sector="2048."/>
  <program filename="sbl2.mbn" label="SBL2" start_sector="3072."/>
  <program filename="sbl3.mbn" label="SBL3" start_sector="4096."/>
  <program filename="rpm.mbn" label="RPM" start_sector="6144."/>
  <program filename="emmc_appsboot.mbn" label="ABOOT" start_sector="7168."/>
  <program filename="tz.mbn" label="TZ" start_sector=")" +
                                                       tz_sector + R"("/>
  <program filename="EBR0.bin" label="EBR" start_sector="9216."/>
</data>
)";
        std::ofstream(pkg + "/patch0.xml") << R"(<?xml version="1.0" ?>
<patches>
  <patch byte_offset="458" filename="EBR0.bin" size_in_bytes="4" start_sector="0" value="0"/>
  <patch byte_offset="474" filename="EBR0.bin" size_in_bytes="4" start_sector="0" value="0"/>
</patches>
)";
        for (const char* f :
             {"MBR", "sbl2.mbn", "sbl3.mbn", "rpm.mbn", "emmc_appsboot.mbn", "tz.mbn", "EBR0.bin"})
            std::ofstream(pkg + "/" + f, std::ios::binary) << std::string(512, 'x');
        const std::string sbl1(70000, 'S');
        std::ofstream(pkg + "/sbl1.mbn", std::ios::binary) << sbl1;

        fs::create_directories(dev);
        Station& st = NewStation();
        EXPECT_TRUE(st.LoadPackage(pkg));
        st.ClickSlot(0);
        phonesim::SimOptions o;
        o.device_dir = dev;
        o.state_dir = state;
        o.package = pkg;
        o.start = phonesim::Mode::Disk;
        o.hub = "USB\\ROOT_HUB20\\4&EMMC&0";
        for (const tw::station::SlotKey& k : {kUsbAddressKey, kFastbootNameKey, kDiagCom9025Key})
            StationConfig(home + "inifile.ini").SetSlotValue(k, 0, o.hub + "#1#");
        std::string err;
        EXPECT_TRUE(sim.start(o, err)) << err;
        return sbl1;
    }
};

TEST_F(EmmcStage, ADiskAtAStartedSlotsPositionGetsIt) {
    const std::string sbl1 = StartEmmcPhone("8192.");
    // Written, then no DIAG port comes back at the position: the stage says so and stays.
    ASSERT_TRUE(ui.WaitFor([&] { return !ui.boxes(0).empty(); }, 60000)) << ui.status(0);
    EXPECT_EQ(ui.boxes(0).back().text, "threadStart1 DiagCom diagcom[0] 在配置文档中为空");
    EXPECT_TRUE(InOrder(ui.statuses(0), {"emmc"}));
    EXPECT_TRUE(ui.marks(0).empty()); // the download itself succeeded
    const std::string disk = Slurp(PhoneDir(0) + "/disk.img");
    ASSERT_GE(disk.size(), 2048u * 512 + sbl1.size());
    EXPECT_EQ(disk.substr(2048 * 512, sbl1.size()), sbl1);
    EXPECT_TRUE(station->Busy(0));
}

TEST_F(EmmcStage, APlanPastTheEndOfTheDiskFailsTheSlotAndWritesNothing) {
    StartEmmcPhone("99999999.");
    ASSERT_TRUE(ui.WaitFor([&] { return !ui.marks(0).empty(); }, 60000)) << ui.status(0);
    EXPECT_FALSE(ui.marks(0).back()); // FAIL
    // The reason in a box of its own, before the failure's.
    std::string box;
    for (const auto& b : ui.boxes(0))
        if (b.text.find("eMMC: ") == 0) box = b.text;
    EXPECT_NE(box.find("TZ (tz.mbn"), std::string::npos) << box;
    EXPECT_NE(box.find("past the end of the disk"), std::string::npos) << box;
    EXPECT_NE(box.find("nothing written"), std::string::npos) << box;
    // Not one image reached the disk, and the slot is free for its next phone.
    const std::string disk = Slurp(PhoneDir(0) + "/disk.img");
    ASSERT_FALSE(disk.empty());
    EXPECT_EQ(disk.find_first_not_of('\0'), std::string::npos);
    EXPECT_TRUE(ui.WaitFor([&] { return !station->Busy(0); }, 10000));
}

} // namespace
} // namespace stationtest
