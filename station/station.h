#pragma once
// The station: the main dialog's state and every one of its buttons as a method, over sixteen
// slot workers, the cycle bar, the routing of device arrivals and the listener. A window or the
// headless front end drives it through these methods and watches it through its `StationUi`.
//
// Threads: call the methods from one thread (the window's GUI thread, or the command line's
// main thread). A method may wait for a slot's worker to end (a stop), but never while the
// worker could be waiting for that thread: the slot's boxes are closed first. The routing runs
// on a thread of its own and never waits for the UI.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

#include "detect/listener.h"
#include "platform/device_watcher.h"
#include "platform/message_queue.h"
#include "station/routing.h"
#include "station/station_core.h"

namespace tw::station {

class Station {
  public:
    Station(const StationFolder& folder, StationUi& ui);
    // Stops every slot first (as EXIT does).
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Start-up of the dialog: the folder and "inifile.ini", the language (asked when none is
    // stored), the window's texts, the software line, the device watcher. False (with why)
    // when the station folder cannot be made.
    bool Init(std::string* why = nullptr);

    // ---- buttons ----
    // A slot's START/STOP button (slot 0..15): starts an idle slot, stops a running one.
    void ClickSlot(int slot);
    void StartAll();       // the start-all button: start every idle slot / stop every one
    void SelectSoftware(); // password, folder chooser, description, preparation
    void LoadFiles();      // folder chooser and preparation, no password (test use)
    void Backup();         // QCN backup (and the cycle after it) on slot 1
    void Restore();        // QCN restore on slot 1
    void SelectQcnFile();  // RepairMode on and the QCN file chooser
    void ToggleRepairMode();
    void CleanConfiguration();
    void SetLanguage(Language lang);
    // EXIT: every slot stopped, the routing and the listener ended. Later calls do nothing.
    void Exit();

    // ---- what the window shows ----
    bool Running(int slot) const;
    bool Busy(int slot) const;
    SlotPhase Phase(int slot) const;
    Language language() const { return core_.language(); }
    bool RepairMode() const { return core_.repair(); }
    std::string QcnFile() const { return core_.qcn_file(); }
    bool SoftwareLoaded() const;
    int CycleBar() const { return core_.pacing().Position(); }
    // Phones passed and failed and the mean cycle time, per slot and in all, since the start.
    StationCounters Counters() const { return core_.counters(); }

    // Called from the worker's thread whenever a slot's cycle ends (PASS, FAIL, stopped).
    void SetCycleHook(StationCore::CycleHook hook) { core_.set_cycle_hook(std::move(hook)); }

    // ---- for the headless front and tests ----
    // Loads the package as "Load Files" does, with the folder given instead of chosen.
    bool LoadPackage(const std::string& folder);
    // RepairMode with this QCN file, as "Select QCN File" does.
    void SelectQcnFile(const std::string& path);
    // Stops a slot as its button does, but without questions (stop all, EXIT, Ctrl-C).
    void StopSlotNow(int slot);
    StationCore& core() { return core_; }
    // The routing as the device watcher and the listener feed it (tests drive it directly).
    DeviceRouter& router() { return router_; }

  private:
    struct SlotFinished {
        int slot;
    };
    using RouterEvent = std::variant<DeviceEvent, ThreadMessage, SlotFinished>;

    // Under ops_mu_:
    bool StartSlot(int slot, bool silent);
    // The slot's USB position and the wait after the fastboot reboot in "inifile.ini" are
    // usable; otherwise a box says which is not.
    bool SlotSettingsUsable(int slot, bool silent);
    void StopSlot(int slot, bool ask);
    void Halt(int slot);
    bool PrepareFrom(const std::string& folder, bool silent);
    bool PrepareForStart(int slot, bool silent);
    bool AskPassword();
    void ShowWindowTexts();
    void ShowSoftware(const RomInfo& rom, const std::string& folder);
    void SlotCaption(int slot);
    void SetLanguageButtons(bool enabled);

    void RouterLoop();

    StationCore core_;
    DeviceRouter router_;
    std::mutex ops_mu_; // one button at a time (GUI thread and routing)
    bool stop_all_ = false;
    bool all_started_ = false; // the start-all button shows "停止全部下载"
    std::atomic<bool> exited_{false};
    bool initialised_ = false;

    MessageQueue<RouterEvent> router_queue_;
    std::thread router_thread_;
    std::unique_ptr<DeviceWatcher> watcher_;
    AppInfo listener_info_;
    bool listening_ = false;
};

} // namespace tw::station
