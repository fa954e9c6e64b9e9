#pragma once
// The station's shared state and the services its threads use: the rows (busy flags, phases,
// device names), the configuration and the port table, the prepared software, the bridge to
// the engine, the cycle bar, and the operator's texts and boxes. Owned by `Station`; the slot
// workers and the routing thread hold a reference for as long as they run.
//
// Every word shared between threads is atomic or guarded: the row strings and the fastboot job
// by the row's lock, the configuration writes and claims by cfg_mu_, the software and the QCN
// file by state_mu_. No lock is held while a box is open or a thread is joined.
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/device_record.h"
#include "platform/message_queue.h"
#include "platform/sync.h"
#include "station/bridge.h"
#include "station/config.h"
#include "station/counters.h"
#include "station/cycle_record.h"
#include "station/pacing.h"
#include "station/port_table.h"
#include "station/software.h"
#include "station/station_folder.h"
#include "station/station_ui.h"

namespace tw::station {

// Thread messages of a slot worker.
constexpr uint32_t MSG_TO_UPDATE_MODEM = kWmUser + 6;      // 1030
constexpr uint32_t MSG_TO_DOWNLOAD_EMMC = kWmUser + 7;     // 1031
constexpr uint32_t MSG_TO_DOWNLOAD_FASTBOOT = kWmUser + 8; // 1032
constexpr uint32_t MSG_TO_RESTORE_QCN = kWmUser + 9;       // 1033
constexpr uint32_t MSG_TO_CLOSE_THREAD = kWmUser + 10;     // 1034
constexpr uint32_t MSG_TO_RESET_ROW = kWmUser + 11;        // 1035
constexpr uint32_t MSG_TO_BACKUP_QCN = kWmUser + 12;       // 1036

// Where a started slot stands with its phone.
enum class SlotPhase { Stopped, WaitingForPhone, InCycle, Finished };

// The kinds of a phone's serial ports.
enum class PortKind { None, Diag, Download };
// By the port's friendly name, as the detection lists it: QDLoader 9008 or a DIAG port.
PortKind PortKindOf(const std::string& friendly);

// A phone port found for a slot.
struct FoundPort {
    int com = 0;
    PortKind kind = PortKind::None;
    std::string position;
};

// What a slot's worker starts with and reads for its whole life.
struct SlotThreadParam {
    std::shared_ptr<const Software> software;
    bool repair = false;
    std::string qcn_path; // the selected QCN file in RepairMode
};

struct SlotState {
    std::atomic<bool> running{false};
    std::atomic<int> busy{0}; // slotBusy
    std::atomic<SlotPhase> phase{SlotPhase::Stopped};
    std::atomic<bool> stopping{false};   // a stop is under way: boxes closed, reports ignored
    std::atomic<uint64_t> generation{0}; // one per start; reports of older runs are ignored
    std::atomic<bool> claim{false};      // the next MSG_TO_UPDATE_MODEM carries a claim
    std::atomic<bool> cycle_done{false};
    std::atomic<bool> qcn_backed_up{false};
    std::atomic<bool> modem_done{false};
    std::atomic<bool> resume_imei{false}; // a stopped cycle's backup names the next restore
    std::atomic<int> com_port{0};         // slotComPort
    std::atomic<int> own_port{0};         // slotOwnPort
    std::atomic<bool> button_enabled{true};
    ThreadMessageQueue queue;
    ManualResetEvent stop_event;
    std::thread thread;

    mutable std::mutex m; // the strings and the job below
    std::string fastboot_name, emmc_disk, diag_com, dev_inst;
    FastbootJob* job = nullptr;
};

class StationCore : public BridgeHost {
  public:
    StationCore(const StationFolder& folder, StationUi& ui);
    ~StationCore() override;

    const StationFolder& folder() const { return folder_; }
    const StationConfig& config() const { return config_; }
    StationUi& ui() { return ui_; }
    ModuleBridge& bridge() { return bridge_; }
    PacingThread& pacing() { return pacing_; }
    const PacingThread& pacing() const { return pacing_; }
    SlotState& slot(int i) { return slots_[static_cast<size_t>(i)]; }
    const SlotState& slot(int i) const { return slots_[static_cast<size_t>(i)]; }
    bool AnyRunning() const;

    Language language() const { return lang_.load(); }
    void set_language(Language l) { lang_.store(l); }
    const char* T(Text t) const { return Tr(t, language()); }

    // ---- rows ----
    void Status(int slot, Text t);
    void StatusText(int slot, const std::string& text);
    void Progress(int slot, int position);
    void Mark(int slot, bool pass);
    // A slot's box; returns at once for a slot being stopped.
    void Box(int slot, Text t, const char* caption, MessageIcon icon);
    void BoxText(int slot, const std::string& text, const char* caption, MessageIcon icon);
    bool Post(int slot, uint32_t id, uintptr_t w = 0, intptr_t l = 0);
    // A nominal wait of the slot's thread that its stop ends early; false when stopped.
    bool Sleep(int slot, int64_t nominal_ms);

    // ---- positions and ports (claims under cfg_mu_) ----
    std::string PositionOf(int slot) const;
    int SlotOf(const std::string& position) const;
    int Claim(const std::string& position, int prefer = -1);
    // See PortTable::Usable.
    bool PositionUsable(int slot, std::string& bad) const;
    // The slot's phone port of that kind: at the slot's position, or, for a slot without one,
    // the first at a position no slot holds, which the slot then claims. com 0 when none.
    FoundPort FindPhonePort(int slot, PortKind kind);
    // Any phone port at the slot's position (or claimable as above), whatever its kind.
    FoundPort FindAnyPhonePort(int slot);
    // A fastboot device at the position: its name for FBOpenDevice, "" when none.
    std::string FastbootDeviceAt(const std::string& position) const;
    // Clean Configuration, under the same lock as the claims.
    void CleanSlotKeys();
    void SetSoftwarePaths(const std::string& folder);

    std::string RowString(int slot, std::string SlotState::*field) const;
    void SetRowString(int slot, std::string SlotState::*field, const std::string& value);

    // Starts "reboot.sh" with the slot number and position; not waited for.
    void RunRebootScript(int slot);

    // ---- software and mode ----
    std::shared_ptr<const Software> software() const;
    void set_software(std::shared_ptr<const Software> sw);
    bool repair() const { return repair_.load(); }
    void set_repair(bool on) { repair_.store(on); }
    std::string qcn_file() const;
    void set_qcn_file(const std::string& path);

    // ---- cycles ----
    using CycleHook = std::function<void(const CycleRecord&)>;
    void set_cycle_hook(CycleHook hook);
    // The station's own notice that a slot has finished its phone (PASS or FAIL), from the
    // worker's thread; set before any slot starts.
    void set_finished_notice(std::function<void(int slot)> notice);
    // A cycle's end, from its worker: the record appended to the results, the counters (PASS
    // and FAIL only) given to the UI, then the hook and the notice.
    void CycleEnded(const CycleRecord& record);
    StationCounters counters() const;

    // ---- BridgeHost ----
    void OnReport(int row, int progress, Report kind, uint64_t generation) override;
    void RowBox(int row, Text text, const char* caption) override;
    bool RowSleep(int row, int64_t nominal_ms) override { return Sleep(row, nominal_ms); }
    bool RowStopping(int row) override { return slot(row).stopping.load(); }
    uint64_t RowGeneration(int row) override { return slot(row).generation.load(); }
    int DiagPauseMs() override { return config_.DiagPauseMs(); }

  private:
    FoundPort FindPort(int slot, PortKind kind, bool any_kind);

    StationFolder folder_;
    StationConfig config_;
    StationUi& ui_;
    std::atomic<Language> lang_{Language::English};
    mutable std::mutex cfg_mu_;
    PortTable ports_;
    std::array<SlotState, kSlots> slots_;
    ModuleBridge bridge_;
    PacingThread pacing_;
    std::atomic<bool> repair_{false};
    mutable std::mutex state_mu_;
    std::shared_ptr<const Software> software_;
    std::string qcn_file_;
    CycleHook cycle_hook_;
    std::function<void(int)> finished_notice_;
    StationCounters counters_; // under state_mu_
    std::mutex counters_ui_mu_;
};

} // namespace tw::station
