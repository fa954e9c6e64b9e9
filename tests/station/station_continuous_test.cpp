// A station that runs all day: a slot keeps its result until its phone has left, then takes the
// next phone at its position by itself; a phone in the middle of its cycle is never taken for a
// new one; every finished phone leaves a line in the results file and counts.
#include "tests/station/station_rig.h"

#include <fstream>

#include "station/json_value.h"
#include "station/results_log.h"

namespace stationtest {
namespace {

const std::vector<std::string> kWholeCycle = {"backup", "reset", "emergency download", "fastboot",
                                              "restore"};

std::vector<std::string> StageNames(const CycleRecord& r) {
    std::vector<std::string> v;
    for (const auto& s : r.stages)
        v.push_back(s.name);
    return v;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

long Count(const std::vector<std::string>& v, const std::string& s) {
    return std::count(v.begin(), v.end(), s);
}

TEST_F(StationRig, EachSlotTakesTheNextPhoneAtItsPositionByItself) {
    ASSERT_TRUE(StartPhones(2));
    const std::string first = sim.phone(0).imei(), second = sim.phone(1).imei();
    Station& st = NewStation();
    st.ClickSlot(0);
    st.ClickSlot(1);
    ASSERT_TRUE(WaitEnded(2));

    // Finished, the rows keep their results while the phones stay where they are.
    tw::clock::sleep_ms(20000);
    EXPECT_EQ(st.Phase(0), SlotPhase::Finished);
    EXPECT_EQ(st.Phase(1), SlotPhase::Finished);
    EXPECT_EQ(ui.status(0), "Update Complete!");
    EXPECT_EQ(ui.status(1), "Restore QCN Complete");
    EXPECT_EQ(Count(ui.statuses(0), "Waiting"), 0);

    // Slot 1's phone is taken out and a new one goes in once the row says so; slot 2's phone is
    // pulled and plugged back ten seconds later.
    ASSERT_EQ(sim.unplug(first), 1);
    ASSERT_EQ(sim.replug(second, 10000), 2);
    ASSERT_TRUE(ui.WaitFor([&] { return ui.status(0) == "Waiting"; }, 20000));
    EXPECT_EQ(st.Phase(0), SlotPhase::WaitingForPhone);
    std::string err;
    const int next = sim.plug("1", err);
    ASSERT_EQ(next, 2) << err;
    const std::string third = sim.phone(2).imei();
    const NvState third_before = Nv(2);
    ASSERT_TRUE(WaitEnded(4));

    const auto ended = Ended();
    std::map<int, std::vector<CycleRecord>> by_slot;
    for (const auto& r : ended)
        by_slot[r.slot].push_back(r);
    ASSERT_EQ(by_slot[0].size(), 2u);
    ASSERT_EQ(by_slot[1].size(), 2u);
    EXPECT_EQ(by_slot[0][0].imei, first);
    EXPECT_EQ(by_slot[0][1].imei, third);
    EXPECT_EQ(by_slot[1][0].imei, second);
    EXPECT_EQ(by_slot[1][1].imei, second);
    for (const auto& r : ended) {
        EXPECT_EQ(r.result, CycleResult::Pass) << r.slot << ": " << r.message;
        // The phone re-enumerated four times and was away for seconds between its emergency
        // download and fastboot: still one cycle, each stage once.
        EXPECT_EQ(StageNames(r), kWholeCycle) << r.imei;
        EXPECT_EQ(r.position, Position(r.slot + 1));
        EXPECT_EQ(r.backup_file, home + "qcn/" + r.imei + ".txt");
    }
    // The new phone got its own calibration back, not the one before it.
    EXPECT_TRUE(WaitNv(2, [&](const NvState& s) { return s == third_before; }));
    // Rows: no "Waiting" inside a cycle; the new phone's cycle came after the row's return.
    for (int slot : {0, 1}) {
        const auto seen = ui.statuses(slot);
        EXPECT_EQ(Count(seen, "BackUp QCN..."), 2) << slot;
        const auto first_backup = std::find(seen.begin(), seen.end(), "BackUp QCN...");
        const auto first_pass = std::find(first_backup, seen.end(), "pass");
        EXPECT_EQ(std::count(first_backup, first_pass, std::string("Waiting")), 0) << slot;
        const auto back = std::find(first_pass, seen.end(), "Waiting");
        EXPECT_NE(back, seen.end()) << slot;
        EXPECT_NE(std::find(back, seen.end(), "BackUp QCN..."), seen.end()) << slot;
    }
    EXPECT_EQ(ui.marks(0), (std::vector<bool>{true, true}));
    // Slot 1's bar and box, once per phone; the first box did not hold the second phone back.
    EXPECT_TRUE(ui.WaitFor([&] { return ui.boxes(0).size() == 2; }, 10000));
    EXPECT_EQ(ui.cycle_bar(), 1200);

    // The counters, in the station and as the UI was given them.
    const StationCounters c = st.Counters();
    EXPECT_EQ(c.per_slot[0].passed, 2);
    EXPECT_EQ(c.per_slot[1].passed, 2);
    EXPECT_EQ(c.total.passed, 4);
    EXPECT_EQ(c.total.failed, 0);
    EXPECT_GT(c.total.mean_seconds(), 0);
    EXPECT_EQ(ui.counters().total.passed, 4);
    EXPECT_DOUBLE_EQ(ui.counters().total.seconds, c.total.seconds);

    // One line per phone in the results, in the order they ended.
    std::vector<std::string> lines;
    for (const auto& f : fs::directory_iterator(home + "results"))
        for (const auto& l : Lines(Slurp(f.path().string())))
            lines.push_back(l);
    ASSERT_EQ(lines.size(), 4u);
    for (size_t i = 0; i < lines.size(); ++i) {
        const CycleRecord& r = ended[i];
        const auto v = json::Parse(lines[i]);
        ASSERT_TRUE(v) << lines[i];
        EXPECT_EQ(v->num("slot"), r.slot + 1);
        EXPECT_EQ(v->str("imei"), r.imei);
        EXPECT_EQ(v->str("position"), r.position);
        EXPECT_EQ(v->str("result"), "PASS");
        EXPECT_EQ(v->str("message"), "");
        EXPECT_EQ(v->str("sw_ver"), "TW7627A_SIM_V1.1");
        EXPECT_EQ(v->str("brand"), "Tarnwell");
        EXPECT_EQ(v->str("model"), "SIM7627A");
        EXPECT_EQ(v->str("backup"), r.backup_file);
        EXPECT_EQ(v->str("qcn_file"), r.qcn_file);
        EXPECT_EQ(v->str("start"), IsoLocalTime(r.start));
        EXPECT_EQ(v->str("end"), IsoLocalTime(r.end));
        const json::Value* stages = v->find("stages");
        ASSERT_TRUE(stages && stages->items.size() == kWholeCycle.size()) << lines[i];
        for (size_t k = 0; k < kWholeCycle.size(); ++k) {
            EXPECT_EQ(stages->items[k].str("name"), kWholeCycle[k]);
            EXPECT_EQ(stages->items[k].num("result", -1), 0);
            EXPECT_EQ(stages->items[k].num("ms"), r.stages[k].duration.count());
        }
    }
}

TEST_F(StationRig, AFailedPhoneKeepsItsRowUntilItLeavesAndAStopIsRecorded) {
    // The phone answers the reset and is gone for good: its cycle fails without it.
    ASSERT_TRUE(StartPhones(2, {"0/diag:reset-unplug"}, {1, 2}));
    Station& st = NewStation();
    st.ClickSlot(0);
    ASSERT_TRUE(WaitEnded(1));
    EXPECT_EQ(Ended()[0].result, CycleResult::Fail);
    // Nothing is left at the position: the row returns to waiting by itself.
    ASSERT_TRUE(ui.WaitFor([&] { return ui.status(0) == "Waiting"; }, 20000));
    EXPECT_EQ(st.Phase(0), SlotPhase::WaitingForPhone);
    EXPECT_EQ(st.Counters().per_slot[0].failed, 1);

    // Slot 2 is stopped in the middle of its phone's cycle: a record says so, uncounted.
    st.ClickSlot(1);
    ASSERT_TRUE(ui.WaitFor([&] { return ui.status(1) == "UPdate modem Files..."; }, 60000));
    st.ClickSlot(1);
    EXPECT_FALSE(st.Running(1));
    std::vector<ResultEntry> entries;
    for (const auto& f : fs::directory_iterator(home + "results"))
        for (const auto& l : Lines(Slurp(f.path().string()))) {
            const auto e = ParseResultLine(l);
            ASSERT_TRUE(e) << l;
            entries.push_back(*e);
        }
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].result, "FAIL");
    EXPECT_EQ(entries[0].slot, 1);
    EXPECT_NE(entries[0].message.find("no emergency download port"), std::string::npos)
        << entries[0].message;
    EXPECT_EQ(entries[1].result, "STOPPED");
    EXPECT_EQ(entries[1].slot, 2);
    EXPECT_EQ(entries[1].imei, sim.phone(1).imei());
    EXPECT_EQ(st.Counters().total.phones(), 1);
}

} // namespace
} // namespace stationtest
