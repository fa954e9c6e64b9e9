#pragma once
// One slot's worker thread: it waits for thread messages and runs one stage per message. Every
// slot runs the whole automatic cycle for the phone at its own USB position: QCN backup, reset
// to download, emergency download, "reboot.sh", fastboot flashing, QCN restore, PASS or FAIL.
// Slot 1 (row 0) also drives the cycle bar.
#include <cstdint>
#include <string>

#include "station/cycle_record.h"
#include "station/station_core.h"

namespace tw::station {

// Emergency download attempts before a slot gives its phone up.
constexpr int kEmergencyAttempts = 3;

class SlotWorker {
  public:
    SlotWorker(StationCore& core, int slot, SlotThreadParam param);
    // The thread body: returns when the queue is closed (a stop) or on MSG_TO_CLOSE_THREAD.
    void Run();

  private:
    SlotState& S() { return core_.slot(slot_); }
    bool Sleep(int64_t nominal_ms) { return core_.Sleep(slot_, nominal_ms); }
    bool Stopping() { return S().stopping.load(); }
    void Status(Text t) { core_.Status(slot_, t); }
    void Box(Text t, const char* caption, MessageIcon icon) { core_.Box(slot_, t, caption, icon); }

    void Dispatch(const ThreadMessage& m);
    void BackupPhase();
    void ModemPhase(bool new_phone);
    void FastbootPhase();
    void RestorePhase();
    void EmmcStage();
    void ResetRow(intptr_t how);

    // Polls for the slot's port of that kind, 1 s apart; 0 when none came (or stopped).
    int DiscoverPort(PortKind kind, int polls);
    Subclass Request(int port) const;
    void StartCycleBar();
    // A failure that ends the cycle: busy cleared, status "Fail", the bar FAIL, the cycle bar
    // ended (slot 1), the box shown.
    void FailCycle(Text box, const char* caption, const std::string& why);

    void BeginCycle(bool with_backup);
    void BeginStage(const char* name);
    void EndStage(int result);
    void EndCycle(CycleResult result, const std::string& message = "");

    StationCore& core_;
    const int slot_;
    const SlotThreadParam param_;
    CycleRecord rec_;
    bool in_cycle_ = false;
    bool stage_open_ = false;
    std::chrono::steady_clock::time_point stage_t0_;
};

} // namespace tw::station
