#include "campaign/campaign.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "diag/qcn_file.h"
#include "phonesim/fault.h"
#include "phonesim/package.h"
#include "phonesim/sim.h"
#include "platform/clock.h"
#include "platform/ini.h"
#include "station/results_log.h"
#include "station/station.h"

namespace campaign {

namespace {

using namespace tw::station;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Nominal time an operator leaves a position empty between two phones (the station takes a
// position empty for 2 s as the phone gone).
constexpr std::chrono::milliseconds kSwapMs{3000};
// Real time one phone may take before the campaign calls its slot stuck.
constexpr std::chrono::seconds kPhoneLimit{600};
// The shortest receive time-out of the station's exchanges (the boot ROM's), nominal.
constexpr std::chrono::milliseconds kShortestTimeout{2000};
// A failed phone comes back for another go this often (in percent).
constexpr int kComeBackPercent = 30;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int HubPortOf(const std::string& position) {
    // "<hub>#<port>#"
    const size_t end = position.rfind('#');
    if (end == std::string::npos || end == 0) return -1;
    const size_t start = position.rfind('#', end - 1);
    if (start == std::string::npos) return -1;
    return std::atoi(position.substr(start + 1, end - start - 1).c_str());
}

size_t Differing(const NvImage& a, const NvImage& b) {
    std::set<NvKey> keys;
    for (const auto& [k, v] : a)
        keys.insert(k);
    for (const auto& [k, v] : b)
        keys.insert(k);
    size_t n = 0;
    for (const NvKey& k : keys) {
        auto ia = a.find(k), ib = b.find(k);
        if (ia == a.end() || ib == b.end() || !(ia->second == ib->second)) ++n;
    }
    return n;
}

// What the operator sees of each slot: whether its bar showed PASS during the phone's cycle.
// Boxes are closed and questions answered yes at once.
class OperatorUi : public StationUi {
  public:
    void MessageBox(const std::string&, const std::string&, MessageIcon) override {}
    void SetProgress(int, int) override {}
    void MarkResult(int slot, bool pass) override {
        std::lock_guard<std::mutex> g(m_);
        if (pass) pass_.insert(slot);
    }
    void SetStatus(int, const std::string&) override {}
    bool AskYesNo(int, const std::string&, const std::string&) override { return true; }
    bool AskPassword(Language) override { return true; }
    // Whether the slot showed PASS since the last call.
    bool TakePass(int slot) {
        std::lock_guard<std::mutex> g(m_);
        return pass_.erase(slot) != 0;
    }

  private:
    std::mutex m_;
    std::set<int> pass_;
};

// Measures how long the machine takes to carry a few bytes through a pseudo-terminal and back,
// as the phones' serial links do. A loaded machine can hold a pty's bytes for seconds, longer
// than the station's scaled time-outs: a phone that fails on a time-out then is the machine's
// doing, which the campaign tells apart from the station's.
class LinkProbe {
  public:
    LinkProbe() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) return;
        slave_ = ::open(name, O_RDWR | O_NOCTTY);
        termios t{};
        if (slave_ < 0 || ::tcgetattr(slave_, &t) != 0) return;
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
        thread_ = std::thread([this] { Run(); });
    }
    ~LinkProbe() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    // The longest round trip that overlapped [from, to].
    std::chrono::milliseconds Worst(Clock::time_point from, Clock::time_point to) {
        std::lock_guard<std::mutex> g(m_);
        std::chrono::milliseconds worst{0};
        for (const auto& [start, took] : slow_)
            if (start <= to && start + took >= from) worst = std::max(worst, took);
        return worst;
    }

  private:
    void Run() {
        uint8_t b[64] = {};
        while (!stop_.load()) {
            const auto t0 = Clock::now();
            if (::write(slave_, b, sizeof b) != static_cast<ssize_t>(sizeof b)) return;
            size_t got = 0;
            while (got < sizeof b && !stop_.load()) {
                pollfd p{master_, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) continue;
                const ssize_t r = ::read(master_, b, sizeof b - got);
                if (r > 0) got += static_cast<size_t>(r);
            }
            const auto took =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
            if (took >= std::chrono::milliseconds(50)) {
                std::lock_guard<std::mutex> g(m_);
                slow_.emplace_back(t0, took);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    int master_ = -1, slave_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::vector<std::pair<Clock::time_point, std::chrono::milliseconds>> slow_;
};

class Campaign {
  public:
    Campaign(const Options& o, FILE* out) : o_(o), out_(out), dealer_(o.seed) {}
    ~Campaign() {
        station_.reset();
        sim_.stop();
    }
    int Run();

  private:
    struct Ended {
        CycleRecord rec;
        bool shown_pass;
    };
    struct Port {
        int current = -1; // index into runs_ of the phone there
        int last = -1;    // and of the one before
        Clock::time_point plugged;
        int done = 0; // phones finished here, the final one not counted
        bool finished = false;
        bool plug_due = false;
        Clock::time_point due;
        int slot = -1;
        DrawnFault next;
        int next_same_as = -1;
        bool next_final = false;
    };

    bool Setup();
    bool Plug(int hubport);
    void OnEnded(const Ended& e);
    void Evaluate(PhoneRun& r, const CycleRecord& rec);
    // Every QCN file of the IMEI must hold the items of one of its phones' states; as many
    // as the backups made. Problems go to `into`.
    void CheckQcnFiles(const std::string& imei, std::vector<std::string>& into);
    bool FinalChecks();
    std::string PhoneDir(int index) { return sim_.phone(static_cast<size_t>(index)).dir(); }
    void Problem(const std::string& what) {
        std::fprintf(out_, "campaign: %s\n", what.c_str());
        global_.push_back(what);
    }

    Options o_;
    FILE* out_;
    Dealer dealer_;
    std::string root_, dev_, state_, home_, pkg_;
    LinkProbe probe_;
    phonesim::Simulator sim_;
    OperatorUi ui_;
    std::unique_ptr<Station> station_;
    std::vector<PhoneRun> runs_;
    std::map<int, Port> ports_;
    std::map<std::string, NvImage> original_;             // each IMEI's own calibration
    std::map<std::string, std::vector<NvValues>> states_; // what a backup may hold, by IMEI
    std::map<std::string, int> backups_;                  // backups made, by IMEI
    std::vector<std::string> global_;                     // problems of no single phone
    std::mutex ev_m_;
    std::condition_variable ev_cv_;
    std::deque<Ended> events_;
};

bool Campaign::Setup() {
    root_ = "/tmp/tw-campaign-XXXXXX";
    if (!::mkdtemp(root_.data())) {
        Problem("no work folder in /tmp");
        return false;
    }
    dev_ = root_ + "/dev";
    state_ = root_ + "/phones";
    home_ = root_ + "/station/";
    pkg_ = root_ + "/package";
    fs::create_directories(home_);
    fs::create_directories(root_ + "/state");
    // The link writes its logs below the current folder.
    if (::chdir(root_.c_str()) != 0) return false;
    ::setenv("TARNWELL_DEVICE_DIR", dev_.c_str(), 1);
    ::setenv("TARNWELL_STATE_DIR", (root_ + "/state").c_str(), 1);
    tw::clock::set_scale(o_.scale);
    std::string err;
    if (!phonesim::make_package(pkg_, {}, err)) {
        Problem("package: " + err);
        return false;
    }
    // What a fixture does for a real phone, done by the simulator.
    tw::ini::write_file_atomic(home_ + "reboot.sh", "#!/bin/sh\nexec \"" + o_.self + "\" ctl \"" +
                                                        state_ + "\" reboot-bootloader \"$2\"\n");
    tw::ini::write_string(home_ + "inifile.ini", "Language", "Language", "English");

    phonesim::SimOptions so;
    so.device_dir = dev_;
    so.state_dir = state_;
    so.package = pkg_;
    so.phones = o_.phones;
    so.seed = o_.seed;
    std::vector<DrawnFault> first;
    for (int i = 0; i < o_.phones; ++i) {
        first.push_back(dealer_.Next());
        for (const std::string& s : first.back().specs) {
            auto spec = phonesim::parse_fault(s, err);
            if (!spec) {
                Problem(s + ": " + err);
                return false;
            }
            spec->phone = i;
            so.faults.push_back(*spec);
        }
    }
    if (!sim_.start(so, err)) {
        Problem("phonesim: " + err);
        return false;
    }
    for (int i = 0; i < o_.phones; ++i) {
        PhoneRun r;
        r.index = i;
        r.hubport = i + 1;
        r.imei = sim_.phone(static_cast<size_t>(i)).imei();
        r.fault = first[static_cast<size_t>(i)];
        r.before = ParseNvText(Slurp(PhoneDir(i) + "/nv.txt"));
        original_[r.imei] = r.before;
        states_[r.imei].push_back(BackupOf(r.before));
        Port& p = ports_[r.hubport];
        p.current = static_cast<int>(runs_.size());
        p.plugged = Clock::now();
        runs_.push_back(std::move(r));
    }

    station_ = std::make_unique<Station>(StationFolder(home_), ui_);
    station_->SetCycleHook([this](const CycleRecord& rec) {
        Ended e{rec, ui_.TakePass(rec.slot)};
        std::lock_guard<std::mutex> g(ev_m_);
        events_.push_back(std::move(e));
        ev_cv_.notify_all();
    });
    std::string why;
    if (!station_->Init(&why)) {
        Problem("station: " + why);
        return false;
    }
    if (!station_->LoadPackage(pkg_)) {
        Problem("station: the package does not load");
        return false;
    }
    for (int s = 0; s < o_.phones; ++s)
        station_->ClickSlot(s);
    return true;
}

bool Campaign::Plug(int hubport) {
    Port& p = ports_[hubport];
    phonesim::PlugOptions po;
    po.same_as = p.next_same_as;
    std::string err;
    for (const std::string& s : p.next.specs) {
        auto spec = phonesim::parse_fault(s, err);
        if (!spec) {
            Problem(s + ": " + err);
            return false;
        }
        po.faults.push_back(*spec);
    }
    const int index = sim_.plug(std::to_string(hubport), err, po);
    if (index < 0) {
        Problem("hub port " + std::to_string(hubport) + ": " + err);
        return false;
    }
    PhoneRun r;
    r.index = index;
    r.hubport = hubport;
    r.imei = sim_.phone(static_cast<size_t>(index)).imei();
    r.fault = p.next;
    r.same_as = p.next_same_as;
    r.final_round = p.next_final;
    r.before = ParseNvText(Slurp(PhoneDir(index) + "/nv.txt"));
    if (r.same_as >= 0) {
        // Back for another go with no fault: it passes when it can still tell its IMEI; a phone
        // whose NV a re-flash erased can only be restored by the operator's own choice of file.
        r.fault.expect = ImeiReadable(r.before) ? Expect::Pass : Expect::Fail;
    } else {
        original_[r.imei] = r.before;
    }
    states_[r.imei].push_back(BackupOf(r.before));
    p.current = static_cast<int>(runs_.size());
    p.plugged = Clock::now();
    p.plug_due = false;
    runs_.push_back(std::move(r));
    return true;
}

void Campaign::OnEnded(const Ended& e) {
    const int hubport = HubPortOf(e.rec.position);
    auto it = ports_.find(hubport);
    if (it != ports_.end() && it->second.current < 0 && it->second.last >= 0) {
        // The phone came back (its fault's unplug ended) after its cycle had failed and before
        // the operator pulled it, 2 s after its position was empty: the station rightly took it
        // for the next phone. That cycle must fail, the phone being gone by now.
        PhoneRun& r = runs_[static_cast<size_t>(it->second.last)];
        const bool own = e.rec.imei.empty() || e.rec.imei == r.imei;
        if (own && e.rec.result == CycleResult::Fail) {
            r.extra.push_back(e.rec.message);
            if (o_.verbose)
                std::fprintf(out_, "  phone %3d came back and was taken again -> FAIL %s\n",
                             r.index, e.rec.message.c_str());
            return;
        }
    }
    if (it == ports_.end() || it->second.current < 0) {
        Problem("slot " + std::to_string(e.rec.slot + 1) + " ended a cycle (" +
                ResultName(e.rec.result) + ", IMEI " + e.rec.imei + ") at " + e.rec.position +
                ", where no phone of the campaign is");
        return;
    }
    Port& p = it->second;
    PhoneRun& r = runs_[static_cast<size_t>(p.current)];
    r.stall_ms = static_cast<long>(probe_.Worst(p.plugged, Clock::now()).count());
    p.last = p.current;
    p.current = -1;
    p.slot = e.rec.slot;
    r.ended = true;
    r.slot = e.rec.slot;
    r.pass = e.rec.result == CycleResult::Pass;
    r.shown = e.shown_pass;
    r.message = e.rec.message;
    if (e.rec.result == CycleResult::Stopped) r.problems.push_back("the cycle was stopped");
    // The operator takes the phone out; its NV items are on disk once it is off.
    sim_.unplug(std::to_string(r.index));
    r.after = ParseNvText(Slurp(PhoneDir(r.index) + "/nv.txt"));
    Evaluate(r, e.rec);

    if (o_.verbose || !r.problems.empty()) {
        std::string fault;
        for (const auto& s : r.fault.specs)
            fault += (fault.empty() ? "" : " ") + s;
        if (r.same_as >= 0) fault = "back again (phone " + std::to_string(r.same_as) + ")";
        if (r.final_round) fault = "final round";
        const std::string stall =
            r.stalled ? " (the machine held the links " + std::to_string(r.stall_ms) + " ms)" : "";
        std::fprintf(out_, "  phone %3d slot %2d %-34s expect %-6s -> %s%s%s%s\n", r.index,
                     r.slot + 1, fault.empty() ? "no fault" : fault.c_str(),
                     ExpectName(r.fault.expect), r.pass ? "PASS" : "FAIL",
                     r.pass || r.message.empty() ? "" : " ", r.pass ? "" : r.message.c_str(),
                     stall.c_str());
        for (const auto& pr : r.problems)
            std::fprintf(out_, "      !! %s\n", pr.c_str());
    }

    // The next phone for this position.
    if (r.final_round) {
        p.finished = true;
        return;
    }
    ++p.done;
    p.next = DrawnFault{};
    p.next_same_as = -1;
    p.next_final = false;
    if (p.done >= o_.rounds) {
        p.next_final = true;
    } else if (!r.pass && r.same_as < 0 && r.fault.stage >= 0 &&
               std::uniform_int_distribution<int>(1, 100)(dealer_.rng()) <= kComeBackPercent) {
        p.next_same_as = r.index;
    } else {
        p.next = dealer_.Next();
    }
    p.plug_due = true;
    p.due = Clock::now() + tw::clock::scaled(kSwapMs);
}

void Campaign::Evaluate(PhoneRun& r, const CycleRecord& rec) {
    const bool shows_pass = r.pass || r.shown;
    if (r.shown && !r.pass) r.problems.push_back("the bar showed PASS for a phone that failed");
    if (r.pass && !r.shown) r.problems.push_back("a PASS the bar never showed");
    if (shows_pass && r.fault.expect == Expect::Fail) {
        r.wrong_pass = true;
        r.problems.push_back("PASS for a fault the station cannot recover from");
    }
    if (!r.pass && r.fault.expect == Expect::Pass) {
        const auto shortest = std::chrono::duration_cast<std::chrono::milliseconds>(
            tw::clock::scaled_timeout(kShortestTimeout));
        r.stalled = r.stall_ms >= shortest.count();
        r.should_pass = !r.stalled;
    }

    const NvImage& own = original_[r.imei];
    if (rec.imei.size() && rec.imei != r.imei) {
        r.lost = true;
        r.problems.push_back("the record names IMEI " + rec.imei);
    }
    for (const std::string* f : {&rec.backup_file, &rec.qcn_file, &rec.earlier_backup}) {
        const std::string of = diag::ImeiOfQcnFile(*f);
        if (!of.empty() && of != r.imei) {
            r.lost = true;
            r.problems.push_back("the cycle used " + *f + ", another phone's file");
        }
    }
    for (const StageRecord& s : rec.stages)
        if (s.name == "backup" && s.result == 0) ++backups_[r.imei];
    std::vector<std::string> qcn;
    CheckQcnFiles(r.imei, qcn);
    if (!qcn.empty()) r.lost = true;
    r.problems.insert(r.problems.end(), qcn.begin(), qcn.end());

    if (r.after == own) return;
    if (shows_pass) {
        r.lost = true;
        r.problems.push_back("PASS with " + std::to_string(Differing(r.after, own)) +
                             " NV items not the phone's own");
        return;
    }
    // A failed phone may have lost its calibration on the way; a QCN file must hold it whole.
    const NvValues want = BackupOf(own);
    bool kept = false;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(home_ + "qcn", ec)) {
        const std::string path = entry.path().string();
        if (diag::ImeiOfQcnFile(path) != r.imei) continue;
        auto items = ReadQcnText(path);
        if (items && *items == want) kept = true;
    }
    if (!kept) {
        r.lost = true;
        r.problems.push_back("the phone's calibration is changed and no QCN file holds it");
    }
}

void Campaign::CheckQcnFiles(const std::string& imei, std::vector<std::string>& into) {
    int files = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(home_ + "qcn", ec)) {
        const std::string path = entry.path().string();
        if (diag::ImeiOfQcnFile(path) != imei) continue;
        ++files;
        auto items = ReadQcnText(path);
        if (!items) {
            into.push_back(path + " is not a whole QCN file");
            continue;
        }
        const auto& mine = states_[imei];
        if (std::find(mine.begin(), mine.end(), *items) != mine.end()) continue;
        std::string whose;
        for (const auto& [other, states] : states_)
            if (other != imei && std::find(states.begin(), states.end(), *items) != states.end())
                whose = other;
        into.push_back(path + (whose.empty() ? " holds items this phone never held"
                                             : " holds the items of IMEI " + whose));
    }
    if (files < backups_[imei])
        into.push_back(std::to_string(backups_[imei]) + " backups made, " + std::to_string(files) +
                       " QCN files left");
}

bool Campaign::FinalChecks() {
    bool ok = true;
    // Every slot is back to waiting for its next phone.
    const auto until = Clock::now() + std::chrono::seconds(60);
    for (auto& [port, p] : ports_) {
        if (p.slot < 0) continue;
        while (station_->Phase(p.slot) != SlotPhase::WaitingForPhone && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (station_->Phase(p.slot) != SlotPhase::WaitingForPhone || !station_->Running(p.slot)) {
            Problem("slot " + std::to_string(p.slot + 1) + " does not wait for its next phone");
            ok = false;
        }
    }
    // Every QCN file once more, and none that names no phone of the campaign.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(home_ + "qcn", ec)) {
        const std::string path = entry.path().string();
        const std::string imei = diag::ImeiOfQcnFile(path);
        if (imei.empty()) continue; // record files, unfinished ".partial" files
        if (!states_.count(imei)) {
            Problem(path + " names no phone of the campaign");
            ok = false;
        }
    }
    for (const auto& [imei, states] : states_) {
        std::vector<std::string> qcn;
        CheckQcnFiles(imei, qcn);
        for (const auto& q : qcn)
            Problem(q);
        ok = ok && qcn.empty();
    }
    // The record of every phone: one line each, with its result.
    int pass = 0, fail = 0, lines_pass = 0, lines_fail = 0;
    for (const PhoneRun& r : runs_) {
        if (r.ended) ++(r.pass ? pass : fail);
        fail += static_cast<int>(r.extra.size());
    }
    for (const auto& entry : fs::directory_iterator(home_ + "results", ec)) {
        std::istringstream in(Slurp(entry.path().string()));
        std::string line;
        while (std::getline(in, line)) {
            auto e = ParseResultLine(line);
            if (!e) {
                Problem(entry.path().string() + ": a line that is not a record");
                ok = false;
            } else if (e->result == "PASS") {
                ++lines_pass;
            } else if (e->result == "FAIL") {
                ++lines_fail;
            }
        }
    }
    if (lines_pass != pass || lines_fail != fail) {
        Problem("the results file holds " + std::to_string(lines_pass) + " PASS and " +
                std::to_string(lines_fail) + " FAIL, the campaign saw " + std::to_string(pass) +
                " and " + std::to_string(fail));
        ok = false;
    }
    return ok;
}

int Campaign::Run() {
    const auto t0 = Clock::now();
    std::fprintf(out_,
                 "campaign: %d positions, %d phones each and a final one, seed %llu, time "
                 "scale %g\n",
                 o_.phones, o_.rounds, static_cast<unsigned long long>(o_.seed), o_.scale);
    bool ok = Setup();
    size_t reported = 0;
    while (ok) {
        std::deque<Ended> got;
        {
            std::unique_lock<std::mutex> g(ev_m_);
            ev_cv_.wait_for(g, std::chrono::milliseconds(10), [&] { return !events_.empty(); });
            got.swap(events_);
        }
        for (const Ended& e : got)
            OnEnded(e);
        const auto now = Clock::now();
        bool all_done = true;
        for (auto& [port, p] : ports_) {
            all_done = all_done && p.finished;
            if (p.plug_due && now >= p.due &&
                (p.slot < 0 || station_->Phase(p.slot) == SlotPhase::WaitingForPhone))
                ok = Plug(port) && ok;
            if (p.current >= 0 && now - p.plugged > kPhoneLimit) {
                Problem("slot " + std::to_string(p.slot + 1) + " has had phone " +
                        std::to_string(runs_[static_cast<size_t>(p.current)].index) + " for " +
                        std::to_string(kPhoneLimit.count()) + " s without a result");
                ok = false;
            }
        }
        if (!global_.empty()) ok = false;
        if (all_done) break;
        if (o_.verbose) continue;
        size_t ended = 0;
        for (const PhoneRun& r : runs_)
            ended += r.ended;
        if (ended / 16 > reported) {
            reported = ended / 16;
            std::fprintf(out_, "  %zu phones done\n", ended);
        }
    }
    if (ok) ok = FinalChecks();
    station_->Exit();

    PrintTable(runs_, out_);
    int wrong = 0, lost = 0, clean_failed = 0, should = 0, faulted = 0, stalled = 0;
    long worst_stall = 0;
    for (const PhoneRun& r : runs_) {
        if (!r.ended) continue;
        faulted += r.fault.stage >= 0;
        stalled += r.stalled;
        worst_stall = std::max(worst_stall, r.stall_ms);
        wrong += r.wrong_pass;
        lost += r.lost;
        const bool clean = r.fault.stage < 0;
        if (r.should_pass && clean) ++clean_failed;
        if (r.should_pass && !clean) ++should;
        if (r.should_pass && clean) ok = false;
        if (r.wrong_pass || r.lost || !r.problems.empty()) ok = false;
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::fprintf(out_,
                 "campaign: %zu phones, %d with a fault; wrong PASS %d, data lost or crossed %d, "
                 "phones without fault that failed %d, FAIL where the station should recover %d; "
                 "%.0f s\n",
                 runs_.size(), faulted, wrong, lost, clean_failed, should, secs);
    std::fprintf(out_,
                 "campaign: the machine held the serial links up to %ld ms; %d phones that were "
                 "due to pass failed meanwhile (not counted against the station)\n",
                 worst_stall, stalled);
    std::fprintf(out_, "campaign: %s\n", ok ? "passed" : "FAILED");
    station_.reset();
    sim_.stop();
    std::error_code ec;
    if (!ok || o_.keep)
        std::fprintf(out_, "work folder kept: %s\n", root_.c_str());
    else if (::chdir("/") == 0)
        fs::remove_all(root_, ec);
    return ok ? 0 : 1;
}

} // namespace

int Run(const Options& o, FILE* out) {
    Campaign c(o, out);
    return c.Run();
}

} // namespace campaign
