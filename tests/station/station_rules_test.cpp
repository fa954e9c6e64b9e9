// The station's rules that need no phone: the configuration's keys and folder, claiming USB
// positions, the busy flags and claims of the worker's messages, the engine's reports, the
// cycle bar, and the buttons' guards.
#include "tests/station/station_rig.h"

#include "station/slot_worker.h"

#include <future>

namespace stationtest {
namespace {

// A station folder without phones: an empty device directory.
class NoPhones : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(0.001);
        root = TempDir("rules");
        home = root + "/home/";
        fs::create_directories(root + "/dev");
        ::setenv("TARNWELL_DEVICE_DIR", (root + "/dev").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::string Ini() const { return home + "inifile.ini"; }
    std::string root, home;
    RecordingUi ui;
};

TEST_F(NoPhones, AFreshFolderAndTheEightyKeysOfCleanConfiguration) {
    {
        Station st(StationFolder(home), ui);
        ASSERT_TRUE(st.Init());
        // The first start makes the folder, "IsTestUsed" (empty: test use) and a reboot.sh
        // that only explains itself.
        tw::ini::Document d;
        ASSERT_TRUE(tw::ini::Document::load(Ini(), d));
        EXPECT_EQ(d.get("IsTestUsed", "IsTestUsed"), std::optional<std::string>(""));
        EXPECT_TRUE(StationConfig(Ini()).TestUse());
        for (const char* sub : {"SW", "qcn", "log"})
            EXPECT_TRUE(fs::is_directory(home + sub)) << sub;
        const std::string script = Slurp(home + "reboot.sh");
        EXPECT_NE(script.find("# reboot.sh"), std::string::npos);
        EXPECT_EQ(::system(("/bin/sh " + home + "reboot.sh 3 'hub#3#'").c_str()), 0);

        ASSERT_TRUE(st.LoadPackage(Package()));
        EXPECT_EQ(StationConfig(Ini()).SoftwarePath(), Package());
        tw::ini::write_string(Ini(), "QDLoadcom9008", "USBAddress[4]", "hub#5#");
        ui.answer_yes = false; // the password is refused: nothing is cleared
        st.CleanConfiguration();
        EXPECT_EQ(ui.boxes(kNoSlot).back().text, "Password error，Please rewrite！");
        EXPECT_EQ(StationConfig(Ini()).SlotValue(kUsbAddressKey, 4), "hub#5#");
        ui.answer_yes = true;
        st.CleanConfiguration();
    }
    tw::ini::Document d;
    ASSERT_TRUE(tw::ini::Document::load(Ini(), d));
    int keys = 0;
    for (const SlotKey& k : kAllSlotKeys)
        for (int i = 0; i < kSlots; ++i) {
            const auto v =
                d.get(k.section, std::string(k.key_prefix) + "[" + std::to_string(i) + "]");
            ASSERT_TRUE(v.has_value()) << k.section << " " << i;
            EXPECT_EQ(*v, "");
            ++keys;
        }
    EXPECT_EQ(keys, 80);
    EXPECT_EQ(d.get("PhoneSoftwarePath", "PhoneSoftwarePathName"), std::optional<std::string>(""));
    EXPECT_EQ(d.get("Rawprogram0Path", "Rawprogram0PathName"), std::optional<std::string>(""));

    StationConfig cfg(Ini());
    EXPECT_EQ(cfg.FastbootContinueSleepMs(), 60000);
    cfg.Write("Kestrin", "fastbootContinueSleepTime", "0");
    EXPECT_EQ(cfg.FastbootContinueSleepMs(), 0);
    cfg.Write("Kestrin", "fastbootContinueSleepTime", "15");
    EXPECT_EQ(cfg.FastbootContinueSleepMs(), 15000);
    cfg.Write("Kestrin", "fastbootContinueSleepTime", "soon");
    EXPECT_EQ(cfg.FastbootContinueSleepMs(), 0);

    // The DIAG pause: none unless "diagPauseMs" asks for one, and every module the bridge makes
    // carries the value read at that moment.
    struct Host : BridgeHost {
        explicit Host(const StationConfig& c) : cfg(c) {}
        void OnReport(int, int, Report, uint64_t) override {}
        void RowBox(int, Text, const char*) override {}
        bool RowSleep(int, int64_t) override { return true; }
        bool RowStopping(int) override { return false; }
        uint64_t RowGeneration(int) override { return 0; }
        int DiagPauseMs() override { return cfg.DiagPauseMs(); }
        const StationConfig& cfg;
    } host(cfg);
    ModuleBridge bridge(host);
    auto pause_of_new_module = [&] {
        Subclass req;
        req.port = 250; // no such port: the module is made all the same
        Flashboot* m = bridge.CreateModule(req);
        EXPECT_NE(m, nullptr);
        const int ms = m ? m->DiagPauseMs() : -1;
        DeleteModule(m);
        return ms;
    };
    EXPECT_EQ(cfg.DiagPauseMs(), 0);
    EXPECT_EQ(pause_of_new_module(), 0);
    cfg.Write("Kestrin", "diagPauseMs", "40");
    EXPECT_EQ(pause_of_new_module(), 40);
    cfg.Write("Kestrin", "diagPauseMs", "99999999999");
    EXPECT_EQ(cfg.DiagPauseMs(), 60000);
    cfg.Write("Kestrin", "diagPauseMs", "slow");
    EXPECT_EQ(pause_of_new_module(), 0);
}

TEST_F(NoPhones, APositionKeepsItsSlot) {
    fs::create_directories(home);
    StationConfig cfg(Ini());
    PortTable t(cfg);
    EXPECT_EQ(t.Claim("hub#1#"), 0); // the first position seen is slot 1
    EXPECT_EQ(t.Claim("hub#2#"), 1);
    EXPECT_EQ(t.Claim("hub#1#"), 0); // the same hub port in another identity
    for (const SlotKey& k : {kUsbAddressKey, kFastbootNameKey, kDiagCom9025Key})
        EXPECT_EQ(cfg.SlotValue(k, 1), "hub#2#") << k.section;
    // A key emptied by hand below a stored position: the position stays where it is, once.
    cfg.SetSlotValue(kUsbAddressKey, 0, "");
    cfg.SetSlotValue(kFastbootNameKey, 0, "");
    cfg.SetSlotValue(kDiagCom9025Key, 0, "");
    EXPECT_EQ(t.Claim("hub#2#"), 1);
    EXPECT_EQ(cfg.SlotValue(kUsbAddressKey, 0), "");
    EXPECT_EQ(t.Claim("hub#3#"), 0);    // a new one takes the first empty key
    EXPECT_EQ(t.Claim("hub#9#", 7), 7); // a started slot without a position takes its phone
    EXPECT_EQ(t.SlotOf("hub#9#"), 7);
    EXPECT_EQ(t.Claim("", 3), -1);
    for (int i = 0; i < kSlots; ++i)
        t.Claim("full#" + std::to_string(i) + "#");
    EXPECT_EQ(t.Claim("hub#99#"), -1);
    EXPECT_EQ(t.SlotOf("hub#99#"), -1);
}

TEST_F(NoPhones, TheCycleBarCreepsTo1102AndEndsAt1200) {
    tw::clock::set_scale(0.0001);
    std::mutex m;
    std::vector<int> seen;
    std::atomic<int> finished{0};
    PacingThread p({[&](int v) {
                        std::lock_guard<std::mutex> g(m);
                        seen.push_back(v);
                    },
                    [&] { finished.fetch_add(1); },
                    {}});
    p.Start();
    ASSERT_TRUE(p.Post(MSG_PROGRESS_START));
    ASSERT_TRUE(ui.WaitFor([&] { return p.Position() == 1102; }, 20000));
    tw::clock::sleep_ms(50 * 1000); // fifty more steps' time: the bar stays
    EXPECT_EQ(p.Position(), 1102);
    EXPECT_EQ(finished.load(), 0);
    ASSERT_TRUE(p.Post(MSG_PROGRESS_FINISH));
    ASSERT_TRUE(p.WaitEnded(std::chrono::seconds(10)));
    EXPECT_EQ(p.Position(), 1200);
    EXPECT_EQ(finished.load(), 1);
    {
        std::lock_guard<std::mutex> g(m);
        for (size_t i = 1; i + 1 < seen.size(); ++i)
            EXPECT_EQ(seen[i], seen[i - 1] + 2) << i;
        EXPECT_EQ(seen.back(), 1200);
    }
    EXPECT_FALSE(p.Post(MSG_PROGRESS_FINISH)); // nobody takes it any more

    // Ended before its finish (a failure or a stop): no 1200, no box.
    p.Start();
    p.Post(MSG_PROGRESS_START);
    ASSERT_TRUE(ui.WaitFor([&] { return p.Position() >= 10; }, 20000));
    p.Terminate();
    EXPECT_LT(p.Position(), 1200);
    EXPECT_EQ(finished.load(), 1);
    // A first message other than the start ends it at once.
    p.Start();
    p.Post(MSG_PROGRESS_FINISH);
    EXPECT_TRUE(p.WaitEnded(std::chrono::seconds(10)));
    EXPECT_EQ(p.Position(), 0);
}

TEST_F(NoPhones, TheFinishBoxHoldsNoBarBack) {
    tw::clock::set_scale(0.0001);
    std::atomic<int> boxes{0};
    tw::ManualResetEvent closed;
    PacingThread p({[](int) {}, [] {},
                    [&] {
                        boxes.fetch_add(1);
                        closed.wait_ms(-1); // the operator has not closed it yet
                    }});
    p.Start();
    ASSERT_TRUE(p.Post(MSG_PROGRESS_START));
    ASSERT_TRUE(p.Post(MSG_PROGRESS_FINISH));
    // Ended while its box is open: the next phone's bar starts at once and runs.
    ASSERT_TRUE(p.WaitEnded(std::chrono::seconds(10)));
    ASSERT_TRUE(ui.WaitFor([&] { return boxes.load() == 1; }, 10000));
    // Neither a new start nor a failure (a terminate) waits for the operator.
    auto returns_at_once = [&](auto&& f) {
        auto done = std::async(std::launch::async, f);
        const bool quick = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!quick) closed.set();
        return quick;
    };
    EXPECT_TRUE(returns_at_once([&] { p.Start(); }));
    EXPECT_TRUE(p.Running());
    ASSERT_TRUE(p.Post(MSG_PROGRESS_START));
    ASSERT_TRUE(ui.WaitFor([&] { return p.Position() >= 10; }, 20000));
    EXPECT_TRUE(returns_at_once([&] { p.Terminate(); }));
    EXPECT_FALSE(p.Running());
    EXPECT_EQ(boxes.load(), 1);
    closed.set();
}

TEST_F(NoPhones, OnlyTheStationsOwnTextsEndASlot) {
    fs::create_directories(home);
    StationCore core(StationFolder(home), ui);
    for (int i = 0; i < kSlots; ++i)
        core.slot(i).busy.store(1);
    SlotDownload d;
    d.host = &core;
    d.generation = core.slot(2).generation.load();
    d.iProgressIndex = 2;
    // An engine step whose text reads "-fail" is a progress report like any other.
    static const char engine_text[] = "-fail";
    d.iProgress = 37;
    d.pStatus = engine_text;
    ModuleBridge::CallbackFunction(&d);
    EXPECT_EQ(ui.progress(2), 37);
    EXPECT_TRUE(ui.marks(2).empty());
    EXPECT_TRUE(ui.statuses(2).empty());
    EXPECT_EQ(core.slot(2).busy.load(), 1);
    // The station's pass ends row 2 only.
    d.iProgress = 100;
    d.pStatus = kPassStatus;
    ModuleBridge::CallbackFunction(&d);
    EXPECT_EQ(ui.marks(2), std::vector<bool>{true});
    EXPECT_EQ(ui.status(2), "pass");
    EXPECT_EQ(core.slot(2).busy.load(), 0);
    EXPECT_EQ(core.slot(1).busy.load(), 1);
    EXPECT_TRUE(ui.marks(1).empty());
    // The station's failure: FAIL, "Fail", the bilingual box.
    d.pStatus = kFailStatus;
    d.iProgressIndex = 5;
    d.generation = core.slot(5).generation.load();
    ModuleBridge::CallbackFunction(&d);
    EXPECT_EQ(ui.marks(5), std::vector<bool>{false});
    EXPECT_EQ(ui.status(5), "Fail");
    ASSERT_EQ(ui.boxes(5).size(), 1u);
    EXPECT_EQ(ui.boxes(5)[0].text, "Update Failed!\n更新失败!");
    // A report of a run that was stopped since touches nothing.
    core.slot(5).generation.fetch_add(1);
    ModuleBridge::CallbackFunction(&d);
    EXPECT_EQ(ui.marks(5).size(), 1u);
    EXPECT_EQ(ui.boxes(5).size(), 1u);
}

TEST_F(NoPhones, BusyDropsAndTheClaimOfThePortAssignment) {
    fs::create_directories(home);
    StationCore core(StationFolder(home), ui);
    const int row = 3;
    SlotState& s = core.slot(row);
    s.queue.reopen();
    s.running.store(true);
    std::thread worker([&] { SlotWorker(core, row, SlotThreadParam{}).Run(); });

    // While a stage holds the slot, downloads and restores are dropped, not kept for later,
    // and fastboot requests after a finished cycle are ignored.
    s.busy.store(1);
    s.cycle_done.store(true);
    for (uint32_t id : {MSG_TO_UPDATE_MODEM, MSG_TO_UPDATE_MODEM, MSG_TO_RESTORE_QCN,
                        MSG_TO_DOWNLOAD_FASTBOOT, MSG_TO_DOWNLOAD_FASTBOOT})
        core.Post(row, id);
    core.Post(row, MSG_TO_RESET_ROW, 0, 0); // only if idle: ignored
    ASSERT_TRUE(ui.WaitFor([&] { return s.queue.size() == 0; }, 20000));
    tw::clock::sleep_ms(5000);
    EXPECT_TRUE(ui.statuses(row).empty());
    EXPECT_TRUE(ui.boxes(row).empty());

    // The port assignment's claim lets its download in although the slot is busy; with no
    // phone there the stage fails once, as a lost phone does.
    s.busy.store(0);
    ASSERT_TRUE(OfferDownload(core, row, 7, 0));
    EXPECT_FALSE(OfferDownload(core, row, 7, 0)); // a second report finds the slot busy
    ASSERT_TRUE(ui.WaitFor([&] { return !ui.boxes(row).empty(); }, 20000));
    tw::clock::sleep_ms(5000);
    const auto boxes = ui.boxes(row);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Can't find phone！Please check the phone and driver！");
    EXPECT_EQ(s.busy.load(), 0);
    // Idle now: the routing's reset turns the row back to "Waiting".
    core.Post(row, MSG_TO_RESET_ROW, 0, 0);
    ASSERT_TRUE(ui.WaitFor([&] { return ui.status(row) == "Waiting"; }, 20000));
    EXPECT_EQ(ui.progress(row), 0);

    s.stopping.store(true);
    s.stop_event.set();
    s.queue.close();
    worker.join();
}

TEST_F(NoPhones, APhoneTheRoutingHandsOverAsItsSlotStartsGetsOneCycle) {
    fs::create_directories(home);
    tw::ini::write_file_atomic(root + "/dev/phone.dev",
                               "[device]\nkind=serial\ncom=5\ndiag=1\nfriendly=Qualcomm HS-USB "
                               "Diagnostics 9025 (COM5)\npath=/dev/null\nparent=hub\nhubport=1\n"
                               "vid=05c6\npid=9025\n");
    StationCore core(StationFolder(home), ui);
    SlotState& s = core.slot(0);
    s.queue.reopen();
    s.running.store(true);
    // The phone's arrival was routed between the slot's start and its look for a phone.
    s.phase.store(SlotPhase::InCycle);
    OfferPhoneAtStart(core, 0);
    EXPECT_EQ(s.queue.size(), 0u);
    EXPECT_EQ(s.phase.load(), SlotPhase::InCycle);
    // Still waiting: the start hands the phone over itself.
    s.phase.store(SlotPhase::WaitingForPhone);
    OfferPhoneAtStart(core, 0);
    tw::ThreadMessage m;
    ASSERT_EQ(s.queue.size(), 1u);
    ASSERT_TRUE(s.queue.get(m));
    EXPECT_EQ(m.id, MSG_TO_BACKUP_QCN);
    EXPECT_EQ(m.wParam, 5u);
    EXPECT_EQ(s.phase.load(), SlotPhase::InCycle);
    s.queue.close();
}

TEST_F(NoPhones, AFastbootDeviceReportedForACycleThatEndedStartsNoOther) {
    fs::create_directories(home);
    StationCore core(StationFolder(home), ui);
    const int row = 2;
    SlotState& s = core.slot(row);
    s.queue.reopen();
    s.running.store(true);
    std::thread worker([&] { SlotWorker(core, row, SlotThreadParam{}).Run(); });
    // The phone came back as a fastboot device while its cycle failed: the routing's request
    // is still queued when the slot has finished.
    s.phase.store(SlotPhase::Finished);
    s.busy.store(1);
    core.Post(row, MSG_TO_DOWNLOAD_FASTBOOT);
    ASSERT_TRUE(ui.WaitFor([&] { return s.queue.size() == 0; }, 20000));
    tw::clock::sleep_ms(30000); // longer than the stage's first wait
    EXPECT_TRUE(ui.statuses(row).empty());
    EXPECT_EQ(s.phase.load(), SlotPhase::Finished);
    EXPECT_EQ(s.busy.load(), 0);

    s.stopping.store(true);
    s.stop_event.set();
    s.queue.close();
    worker.join();
}

TEST_F(NoPhones, TheButtonsGuardTheirSlots) {
    tw::clock::set_scale(1); // slot 1's six seconds must outlast the test's two clicks
    Station st(StationFolder(home), ui);
    ASSERT_TRUE(st.Init());
    // Without a package nothing starts, and a slot other than 1 says why.
    st.ClickSlot(4);
    EXPECT_FALSE(st.Running(4));
    EXPECT_EQ(ui.boxes(kNoSlot).back().text, "请先选择要下载的文件！");
    ASSERT_TRUE(st.LoadPackage(Package()));

    st.ClickSlot(0);
    ASSERT_TRUE(st.Running(0));
    st.ClickSlot(0); // within six seconds: the button is disabled
    EXPECT_TRUE(st.Running(0));
    EXPECT_TRUE(ui.questions().empty());

    // Start all leaves a running slot alone and starts the others.
    st.ClickSlot(2);
    const uint64_t run3 = st.core().slot(2).generation.load();
    st.StartAll();
    for (int i = 0; i < kSlots; ++i)
        EXPECT_TRUE(st.Running(i)) << i;
    EXPECT_EQ(st.core().slot(2).generation.load(), run3);
    EXPECT_EQ(ui.status(7), "Waiting for phone");

    // A stop refused at the question leaves the slot running and its button as it was.
    ui.answer_yes = false;
    st.ClickSlot(5);
    EXPECT_TRUE(st.Running(5));
    EXPECT_EQ(ui.questions().back(), "正在下载中，是否要终止下载 ?");
    ui.answer_yes = true;
    st.ClickSlot(5);
    EXPECT_FALSE(st.Running(5));
    EXPECT_EQ(ui.status(5), "Waiting");

    // Stop all: every slot, without asking each one again.
    const size_t asked = ui.questions().size();
    st.StartAll();
    EXPECT_EQ(ui.questions().size(), asked + 1);
    for (int i = 0; i < kSlots; ++i)
        EXPECT_FALSE(st.Running(i)) << i;
}

} // namespace
} // namespace stationtest
