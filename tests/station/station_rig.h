#pragma once
// What the station tests share: a UI that records everything the station shows and answers its
// questions, and a rig with simulated phones, a station folder whose "reboot.sh" asks the
// simulator to bring the phone at the given USB position up in fastboot mode, and a package.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/imei.h"
#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "platform/device_source.h"
#include "platform/ini.h"
#include "station/password.h"
#include "station/station.h"
#include "tests/common/files.h"
#include "tests/common/sim_package.h"

namespace stationtest {

using namespace tw::station;
namespace fs = std::filesystem;
using twtest::Slurp;

constexpr double kScale = 0.01;

inline std::string TempDir(const char* tag) {
    std::string t = std::string("/tmp/tw-station-") + tag + "-XXXXXX";
    return ::mkdtemp(t.data()) ? t : std::string();
}

// One package for the whole test program.
inline const std::string& Package() {
    return twtest::SimPackage();
}

// Remembers what the station showed and answers as told. Safe from any thread.
class RecordingUi : public StationUi {
  public:
    struct Box {
        int slot;
        std::string text, caption;
        MessageIcon icon;
    };

    void MessageBox(const std::string& text, const std::string& caption,
                    MessageIcon icon) override {
        SlotMessageBox(kNoSlot, text, caption, icon);
    }
    void SlotMessageBox(int slot, const std::string& text, const std::string& caption,
                        MessageIcon icon) override {
        std::lock_guard<std::mutex> g(m_);
        boxes_.push_back({slot, text, caption, icon});
        cv_.notify_all();
    }
    void SetProgress(int slot, int position) override {
        std::lock_guard<std::mutex> g(m_);
        progress_[slot] = position;
        cv_.notify_all();
    }
    void MarkResult(int slot, bool pass) override {
        std::lock_guard<std::mutex> g(m_);
        marks_[slot].push_back(pass);
        cv_.notify_all();
    }
    void SetStatus(int slot, const std::string& text) override {
        std::lock_guard<std::mutex> g(m_);
        statuses_[slot].push_back(text);
        cv_.notify_all();
    }
    bool AskYesNo(int, const std::string& text, const std::string&) override {
        std::lock_guard<std::mutex> g(m_);
        questions_.push_back(text);
        return answer_yes;
    }
    bool AskPassword(Language) override {
        const std::time_t now = std::time(nullptr);
        return answer_yes && PasswordMatches(ExpectedPassword(now), now);
    }
    void CloseBoxes(int slot) override {
        std::lock_guard<std::mutex> g(m_);
        closed_.insert(slot);
    }
    void ReopenBoxes(int slot) override {
        std::lock_guard<std::mutex> g(m_);
        closed_.erase(slot);
    }
    void SetCycleProgress(int position) override {
        std::lock_guard<std::mutex> g(m_);
        cycle_bar_ = position;
        cv_.notify_all();
    }
    void SetCounters(const StationCounters& c) override {
        std::lock_guard<std::mutex> g(m_);
        counters_ = c;
    }

    std::vector<Box> boxes(int slot) const {
        std::lock_guard<std::mutex> g(m_);
        std::vector<Box> out;
        for (const Box& b : boxes_)
            if (b.slot == slot) out.push_back(b);
        return out;
    }
    std::vector<std::string> statuses(int slot) const {
        std::lock_guard<std::mutex> g(m_);
        auto it = statuses_.find(slot);
        return it == statuses_.end() ? std::vector<std::string>{} : it->second;
    }
    std::string status(int slot) const {
        auto s = statuses(slot);
        return s.empty() ? "" : s.back();
    }
    std::vector<bool> marks(int slot) const {
        std::lock_guard<std::mutex> g(m_);
        auto it = marks_.find(slot);
        return it == marks_.end() ? std::vector<bool>{} : it->second;
    }
    int progress(int slot) const {
        std::lock_guard<std::mutex> g(m_);
        auto it = progress_.find(slot);
        return it == progress_.end() ? -1 : it->second;
    }
    int cycle_bar() const {
        std::lock_guard<std::mutex> g(m_);
        return cycle_bar_;
    }
    std::vector<std::string> questions() const {
        std::lock_guard<std::mutex> g(m_);
        return questions_;
    }
    StationCounters counters() const {
        std::lock_guard<std::mutex> g(m_);
        return counters_;
    }
    // Waits (real time) until pred holds; pred runs under the recorder's lock-free getters.
    bool WaitFor(const std::function<bool()>& pred, int real_ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(real_ms);
        while (std::chrono::steady_clock::now() < end) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return pred();
    }

    std::atomic<bool> answer_yes{true};

  private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<Box> boxes_;
    std::map<int, std::vector<std::string>> statuses_;
    std::map<int, std::vector<bool>> marks_;
    std::map<int, int> progress_;
    std::vector<std::string> questions_;
    std::set<int> closed_;
    int cycle_bar_ = -1;
    StationCounters counters_;
};

// One NV item of a simulated phone's state file: (context, item) -> "active hex".
using NvState = std::map<std::pair<int, int>, std::string>;
inline NvState ParseNv(const std::string& text) {
    NvState s;
    std::istringstream in(text);
    int ctx = 0, item = 0;
    std::string act, rw, hex;
    while (in >> ctx >> item >> act >> rw >> hex)
        s[{ctx, item}] = act + " " + hex;
    return s;
}

// Simulated phones, a station folder, and the cycles that ended.
class StationRig : public ::testing::Test {
  protected:
    void SetUp() override {
        tw::clock::set_scale(kScale);
        root = TempDir("run");
        dev = root + "/dev";
        state = root + "/state";
        home = root + "/home/";
        ::setenv("TARNWELL_DEVICE_DIR", dev.c_str(), 1);
        fs::create_directories(home);
        // The rig's "reboot.sh": what a fixture does for a real phone, done by the simulator.
        tw::ini::write_file_atomic(home + "reboot.sh", "#!/bin/sh\nexec " +
                                                           std::string(TW_BINARY_DIR) +
                                                           "/phonesim/phonesim ctl --state-dir " +
                                                           state + " reboot-bootloader \"$2\"\n");
    }
    void TearDown() override {
        station.reset();
        sim.stop();
        std::error_code ec;
        fs::remove_all(root, ec);
        diag::SlotImeiStore::ClearAll();
    }

    bool StartPhones(int phones, std::vector<std::string> faults = {},
                     std::vector<int> hub_ports = {}) {
        phonesim::SimOptions o;
        o.device_dir = dev;
        o.state_dir = state;
        o.package = Package();
        o.phones = phones;
        o.hub_ports = std::move(hub_ports);
        for (const auto& f : faults) {
            std::string err;
            auto spec = phonesim::parse_fault(f, err);
            if (!spec) {
                ADD_FAILURE() << f << ": " << err;
                return false;
            }
            o.faults.push_back(*spec);
        }
        std::string err;
        if (!sim.start(o, err)) {
            ADD_FAILURE() << err;
            return false;
        }
        for (int i = 0; i < phones; ++i)
            if (!WaitNv(i, [](const NvState& s) { return !s.empty(); })) return false;
        // Each phone writes its device record after its NV items: wait for every one.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            if (static_cast<int>(tw::list_devices().size()) >= phones) return true;
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the phones' device records did not appear";
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // A station on the rig's folder, started up, with the package loaded.
    Station& NewStation(Language lang = Language::English) {
        station.reset();
        station = std::make_unique<Station>(StationFolder(home), ui);
        station->SetCycleHook([this](const CycleRecord& r) {
            std::lock_guard<std::mutex> g(cycles_m);
            cycles.push_back(r);
        });
        tw::ini::write_string(home + "inifile.ini", "Language", "Language",
                              lang == Language::Chinese ? "Chinese" : "English");
        std::string why;
        EXPECT_TRUE(station->Init(&why)) << why;
        EXPECT_TRUE(station->LoadPackage(Package()));
        return *station;
    }

    // The cycles that ended with PASS or FAIL, by slot.
    std::map<int, CycleRecord> Finished() {
        std::lock_guard<std::mutex> g(cycles_m);
        std::map<int, CycleRecord> out;
        for (const auto& c : cycles)
            if (c.result != CycleResult::Stopped) out[c.slot] = c;
        return out;
    }
    bool WaitFinished(size_t n, int real_ms = 90000) {
        return ui.WaitFor([&] { return Finished().size() >= n; }, real_ms);
    }
    // Every cycle that ended with PASS or FAIL, in order.
    std::vector<CycleRecord> Ended() {
        std::lock_guard<std::mutex> g(cycles_m);
        std::vector<CycleRecord> out;
        for (const auto& c : cycles)
            if (c.result != CycleResult::Stopped) out.push_back(c);
        return out;
    }
    bool WaitEnded(size_t n, int real_ms = 90000) {
        return ui.WaitFor([&] { return Ended().size() >= n; }, real_ms);
    }

    std::string PhoneDir(int i) const {
        char name[24];
        std::snprintf(name, sizeof name, "/phone%02d", i);
        return state + name;
    }
    NvState Nv(int i) const { return ParseNv(Slurp(PhoneDir(i) + "/nv.txt")); }
    bool WaitNv(int i, const std::function<bool(const NvState&)>& pred, int real_ms = 10000) {
        return ui.WaitFor([&] { return pred(Nv(i)); }, real_ms);
    }
    std::string Position(int hubport) const {
        return sim.hub() + "#" + std::to_string(hubport) + "#";
    }
    std::string SlotKey(const char* section, const char* key, int slot) const {
        return tw::ini::read_string(home + "inifile.ini", section,
                                    std::string(key) + "[" + std::to_string(slot) + "]");
    }

    std::string root, dev, state, home;
    phonesim::Simulator sim;
    RecordingUi ui;
    std::unique_ptr<Station> station;
    std::mutex cycles_m;
    std::vector<CycleRecord> cycles;
};

} // namespace stationtest
