#include "station/station_core.h"

#include <algorithm>
#include <tuple>
#include <vector>

#include "detect/port_enum.h"
#include "platform/clock.h"
#include "platform/device_source.h"
#include "platform/process.h"
#include "station/debug_line.h"
#include "station/results_log.h"
#include "station/routing_rules.h"

namespace tw::station {

PortKind PortKindOf(const std::string& friendly) {
    if (friendly.find("9008") != std::string::npos) return PortKind::Download;
    return friendly.empty() ? PortKind::None : PortKind::Diag;
}

StationCore::StationCore(const StationFolder& folder, StationUi& ui)
    : folder_(folder), config_(folder.ini()), ui_(ui), ports_(config_), bridge_(*this),
      pacing_({[this](int p) { ui_.SetCycleProgress(p); },
               [this] { Status(0, Text::UpdateComplete); },
               [this] { Box(0, Text::UpdateCompleteStop, kCaption, MessageIcon::Information); }}) {}

StationCore::~StationCore() {
    pacing_.Terminate();
}

bool StationCore::AnyRunning() const {
    for (const auto& s : slots_)
        if (s.running.load()) return true;
    return false;
}

// ---- rows ----

void StationCore::Status(int slot, Text t) {
    ui_.SetStatus(slot, T(t));
}

void StationCore::StatusText(int slot, const std::string& text) {
    ui_.SetStatus(slot, text);
}

void StationCore::Progress(int slot, int position) {
    ui_.SetProgress(slot, position);
}

void StationCore::Mark(int slot, bool pass) {
    ui_.MarkResult(slot, pass);
}

void StationCore::Box(int slot, Text t, const char* caption, MessageIcon icon) {
    BoxText(slot, T(t), caption, icon);
}

void StationCore::BoxText(int slot, const std::string& text, const char* caption,
                          MessageIcon icon) {
    if (slot >= 0 && slot < kSlots && this->slot(slot).stopping.load()) return;
    DebugLine("box (slot %d, %s): %s", slot + 1, caption, text.c_str());
    ui_.SlotMessageBox(slot, text, caption, icon);
}

bool StationCore::Post(int slot, uint32_t id, uintptr_t w, intptr_t l) {
    return this->slot(slot).queue.post({id, w, l});
}

bool StationCore::Sleep(int slot, int64_t nominal_ms) {
    SlotState& s = this->slot(slot);
    if (s.stopping.load()) return false;
    if (nominal_ms <= 0) return true;
    return s.stop_event.wait_real(clock::scaled(std::chrono::milliseconds(nominal_ms))) ==
               WaitResult::Timeout &&
           !s.stopping.load();
}

// ---- positions and ports ----

std::string StationCore::PositionOf(int slot) const {
    std::lock_guard<std::mutex> g(cfg_mu_);
    return ports_.PositionOf(slot);
}

int StationCore::SlotOf(const std::string& position) const {
    std::lock_guard<std::mutex> g(cfg_mu_);
    return ports_.SlotOf(position);
}

int StationCore::Claim(const std::string& position, int prefer) {
    std::lock_guard<std::mutex> g(cfg_mu_);
    return ports_.Claim(position, prefer);
}

bool StationCore::PositionUsable(int slot, std::string& bad) const {
    std::lock_guard<std::mutex> g(cfg_mu_);
    return ports_.Usable(slot, bad);
}

void StationCore::CleanSlotKeys() {
    std::lock_guard<std::mutex> g(cfg_mu_);
    config_.ClearSlotKeys();
}

void StationCore::SetSoftwarePaths(const std::string& folder) {
    std::lock_guard<std::mutex> g(cfg_mu_);
    config_.SetSoftwarePaths(folder);
}

FoundPort StationCore::FindPort(int slot, PortKind kind, bool any_kind) {
    devlist list[kDevListCapacity];
    bool diag = false, diag9025 = false;
    const int n = QualcommVcom_QuaryDeviceName(list, kDevListCapacity, &diag, &diag9025);
    if (n <= 0) return {};
    const std::vector<DeviceRecord> records = list_devices();
    struct Candidate {
        FoundPort port;
        std::tuple<std::string, int, int> order;
    };
    std::vector<Candidate> found;
    for (int i = 0; i < n; ++i) {
        const PortKind k = PortKindOf(list[i].DevicesName);
        if (k == PortKind::None || (!any_kind && k != kind)) continue;
        for (const DeviceRecord& r : records) {
            if (r.kind != DeviceKind::Serial || r.com != list[i].ComPort) continue;
            found.push_back({{r.com, k, RecordPosition(r)}, {r.parent, r.hubport, r.com}});
            break;
        }
    }
    // Hub port order, so slots without a position take the phones in the order they sit.
    std::sort(found.begin(), found.end(),
              [](const Candidate& a, const Candidate& b) { return a.order < b.order; });
    std::lock_guard<std::mutex> g(cfg_mu_);
    const std::string mine = ports_.PositionOf(slot);
    for (const Candidate& c : found) {
        if (c.port.position.empty()) continue;
        if (!mine.empty()) {
            if (c.port.position == mine) return c.port;
            continue;
        }
        if (ports_.SlotOf(c.port.position) >= 0) continue;
        if (ports_.Claim(c.port.position, slot) == slot) return c.port;
    }
    return {};
}

FoundPort StationCore::FindPhonePort(int slot, PortKind kind) {
    FoundPort p = FindPort(slot, kind, false);
    if (p.com) this->slot(slot).own_port.store(p.com);
    return p;
}

FoundPort StationCore::FindAnyPhonePort(int slot) {
    return FindPort(slot, PortKind::None, true);
}

std::string StationCore::FastbootDeviceAt(const std::string& position) const {
    if (position.empty()) return "";
    for (const DeviceRecord& r : list_devices())
        if (IsFastbootDevice(r) && RecordPosition(r) == position) return FastbootNameOf(r);
    return "";
}

std::string StationCore::RowString(int slot, std::string SlotState::*field) const {
    const SlotState& s = slots_[static_cast<size_t>(slot)];
    std::lock_guard<std::mutex> g(s.m);
    return s.*field;
}

void StationCore::SetRowString(int slot, std::string SlotState::*field, const std::string& value) {
    SlotState& s = this->slot(slot);
    std::lock_guard<std::mutex> g(s.m);
    s.*field = value;
}

void StationCore::RunRebootScript(int slot) {
    SpawnOptions opt;
    opt.output_file = folder_.reboot_log();
    std::string err;
    const int pid = spawn_detached(
        {"/bin/sh", folder_.reboot_script(), std::to_string(slot + 1), PositionOf(slot)}, opt,
        &err);
    if (pid < 0)
        DebugLine("reboot.sh for slot %d cannot be started: %s", slot + 1, err.c_str());
    else
        DebugLine("reboot.sh %d started (process %d)", slot + 1, pid);
}

// ---- software and mode ----

std::shared_ptr<const Software> StationCore::software() const {
    std::lock_guard<std::mutex> g(state_mu_);
    return software_;
}

void StationCore::set_software(std::shared_ptr<const Software> sw) {
    std::lock_guard<std::mutex> g(state_mu_);
    software_ = std::move(sw);
}

std::string StationCore::qcn_file() const {
    std::lock_guard<std::mutex> g(state_mu_);
    return qcn_file_;
}

void StationCore::set_qcn_file(const std::string& path) {
    std::lock_guard<std::mutex> g(state_mu_);
    qcn_file_ = path.substr(0, 511);
}

// ---- cycles ----

void StationCore::set_cycle_hook(CycleHook hook) {
    std::lock_guard<std::mutex> g(state_mu_);
    cycle_hook_ = std::move(hook);
}

void StationCore::set_finished_notice(std::function<void(int)> notice) {
    std::lock_guard<std::mutex> g(state_mu_);
    finished_notice_ = std::move(notice);
}

StationCounters StationCore::counters() const {
    std::lock_guard<std::mutex> g(state_mu_);
    return counters_;
}

void StationCore::CycleEnded(const CycleRecord& record) {
    std::string why;
    if (!AppendResult(folder_.root(), record, &why)) {
        DebugLine("slot %d: result not recorded: %s", record.slot + 1, why.c_str());
        BoxText(record.slot, std::string(T(Text::ResultNotRecorded)) + why, kCaption,
                MessageIcon::Error);
    }
    const bool finished = record.result != CycleResult::Stopped;
    CycleHook hook;
    std::function<void(int)> notice;
    StationCounters tally;
    // The UI gets the tallies in the order they were made.
    std::lock_guard<std::mutex> order(counters_ui_mu_);
    {
        std::lock_guard<std::mutex> g(state_mu_);
        hook = cycle_hook_;
        notice = finished_notice_;
        if (finished) {
            const double secs = std::chrono::duration<double>(record.end - record.start).count();
            const bool pass = record.result == CycleResult::Pass;
            counters_.per_slot[static_cast<size_t>(record.slot)].Add(pass, secs);
            counters_.total.Add(pass, secs);
        }
        tally = counters_;
    }
    if (finished) ui_.SetCounters(tally);
    if (hook) hook(record);
    if (finished && notice) notice(record.slot);
}

// ---- reports from the engine ----

void StationCore::OnReport(int row, int progress, Report kind, uint64_t generation) {
    SlotState& s = slot(row);
    // A report of a run that has since been stopped (or restarted) must not touch the row.
    if (generation != s.generation.load() || s.stopping.load()) return;
    Progress(row, progress);
    if (kind == Report::Fail) {
        s.busy.store(0);
        Mark(row, false);
        Status(row, Text::Fail);
        // Only slot 1's own failure ends the cycle bar: the bar is slot 1's.
        if (row == 0) pacing_.Terminate();
        Box(row, Text::UpdateFailedBilingual, kCaption, MessageIcon::Error);
    } else if (kind == Report::Pass) {
        s.busy.store(0);
        Mark(row, true);
        Status(row, Text::Pass);
    }
}

void StationCore::RowBox(int row, Text text, const char* caption) {
    Box(row, text, caption, MessageIcon::Error);
}

} // namespace tw::station
