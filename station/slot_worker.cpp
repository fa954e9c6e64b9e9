#include "station/slot_worker.h"

#include <cstdlib>

#include "diag/imei.h"
#include "station/debug_line.h"

namespace tw::station {

namespace {

constexpr int64_t kTurnMs = 3000;       // every message waits this long after the last turn
constexpr int64_t kButtonLockMs = 6000; // slot 1's button stays disabled after its start
constexpr int kPhonePolls = 20;         // port discovery for the backup and the download
constexpr int kRestorePolls = 30;       // and for the restore
constexpr int64_t kPollMs = 1000;
constexpr int64_t kBeforeModemMs = 10000; // the phone re-enumerates as QDLoader 9008
constexpr int64_t kAfterModemMs = 5000;
constexpr int64_t kBeforeFastbootMs = 20000;
constexpr int64_t kAfterRebootScriptMs = 4000;
constexpr int kFastbootNamePolls = 20;
constexpr int kFastbootOpenAttempts = 20;
constexpr int64_t kAfterStageMs = 3000;
constexpr int kEmmcDiagPolls = 600;
constexpr int64_t kEmmcDiagPollMs = 500;
constexpr int kCycleBarWaitPolls = 30; // 3 s for the bar to reach its end after the restore

std::string ResultText(const char* what, int rc) {
    return std::string(what) + " failed (result " + std::to_string(rc) + ")";
}

} // namespace

SlotWorker::SlotWorker(StationCore& core, int slot, SlotThreadParam param)
    : core_(core), slot_(slot), param_(std::move(param)) {}

void SlotWorker::Run() {
    for (int turn = 1;; ++turn) {
        // Slot 1's first turn also keeps its button disabled for six seconds after the click.
        const bool first = slot_ == 0 && turn == 1;
        if (!Sleep(first ? kButtonLockMs : kTurnMs)) break;
        if (first) {
            S().button_enabled.store(true);
            core_.ui().SetSlotButton(0, core_.T(Text::Stop), true);
        }
        if (turn % 10 == 0) DebugLine("\n threadStart%d is running!!!\n", slot_ + 1);
        ThreadMessage m;
        if (!S().queue.get(m)) break;
        if (m.id == MSG_TO_CLOSE_THREAD) break;
        Dispatch(m);
        if (Stopping()) break;
    }
    if (in_cycle_) EndCycle(CycleResult::Stopped, "stopped");
}

void SlotWorker::Dispatch(const ThreadMessage& m) {
    switch (m.id) {
    case MSG_TO_BACKUP_QCN:
        if (in_cycle_) EndCycle(CycleResult::Fail, "left for a new backup");
        BeginCycle(true);
        BackupPhase();
        break;
    case MSG_TO_UPDATE_MODEM: {
        // The port assignment claims the slot (sets its busy flag) before it posts this; the
        // claim lets the message in. Any other one is dropped while the slot is busy.
        const bool claimed = S().claim.exchange(false);
        if (!claimed && S().busy.load()) {
            DebugLine("slot %d busy: MSG_TO_UPDATE_MODEM dropped", slot_ + 1);
            break;
        }
        ModemPhase(claimed);
        break;
    }
    case MSG_TO_DOWNLOAD_EMMC:
        if (S().busy.load()) break;
        EmmcStage();
        break;
    case MSG_TO_DOWNLOAD_FASTBOOT:
        if (S().cycle_done.load()) break;
        // Posted for a cycle that has ended since (its phone came back as a fastboot device
        // while the cycle failed): the finished slot waits for its phone to leave.
        if (S().phase.load() == SlotPhase::Finished) {
            S().busy.store(0);
            DebugLine("slot %d finished: MSG_TO_DOWNLOAD_FASTBOOT dropped", slot_ + 1);
            break;
        }
        FastbootPhase();
        break;
    case MSG_TO_RESTORE_QCN:
        if (S().busy.load()) {
            DebugLine("slot %d busy: MSG_TO_RESTORE_QCN dropped", slot_ + 1);
            break;
        }
        RestorePhase();
        break;
    case MSG_TO_RESET_ROW:
        ResetRow(m.lParam);
        break;
    default:
        break;
    }
}

// ---- the stages ----

Subclass SlotWorker::Request(int port) const {
    Subclass r;
    r.port = port;
    r.m_rowindex = slot_;
    if (param_.software) r.m_pathName = param_.software->folder;
    r.qcnFolder = core_.folder().qcn();
    r.listFolder = NvListFolder(r.m_pathName, core_.folder().root());
    return r;
}

int SlotWorker::DiscoverPort(PortKind kind, int polls) {
    for (int i = 0; i < polls; ++i) {
        if (i > 0 && !Sleep(kPollMs)) return 0;
        const FoundPort p = core_.FindPhonePort(slot_, kind);
        if (p.com) return p.com;
    }
    return 0;
}

void SlotWorker::StartCycleBar() {
    if (slot_ != 0) return;
    // A later cycle of the same run gets a bar of its own.
    if (!core_.pacing().Running()) core_.pacing().Start();
    core_.pacing().Post(MSG_PROGRESS_START);
}

void SlotWorker::FailCycle(Text box, const char* caption, const std::string& why) {
    S().busy.store(0);
    Status(Text::Fail);
    core_.Mark(slot_, false);
    if (slot_ == 0) core_.pacing().Terminate();
    Box(box, caption, MessageIcon::Error);
    EndCycle(CycleResult::Fail, why);
}

void SlotWorker::BackupPhase() {
    int port = DiscoverPort(PortKind::Diag, kPhonePolls);
    if (!port) {
        if (!Stopping())
            FailCycle(Text::CantFindPhone, kPhoneCaption, "no DIAG port at the slot's position");
        return;
    }
    S().busy.store(1);
    StartCycleBar();
    Status(Text::BackupQcn);
    if (!param_.repair) {
        Subclass r = Request(port);
        BeginStage("backup");
        const bool ok = core_.bridge().doStartBackUpQCN(r);
        EndStage(r.result);
        rec_.imei = r.backup.imei;
        if (ok) {
            rec_.backup_file = r.backup.path;
            rec_.earlier_backup = r.backup.kept;
        }
        if (!Sleep(kAfterStageMs)) return;
        if (!ok) {
            S().qcn_backed_up.store(false);
            EndCycle(CycleResult::Fail, r.backup.message.empty()
                                            ? ResultText("QCN backup", r.result)
                                            : "QCN backup: " + r.backup.message);
            return;
        }
        S().qcn_backed_up.store(true);
    } else if (slot_ != 0) {
        // No backup in RepairMode; the IMEI the phone reports names its own earlier backup,
        // which this slot restores (only slot 1 restores the selected file).
        Subclass r = Request(port);
        std::string imei;
        BeginStage("imei");
        core_.bridge().doReadImei(r, imei);
        EndStage(r.result);
        if (Stopping()) return;
        diag::SlotImeiStore::Clear(slot_);
        if (!imei.empty()) diag::SlotImeiStore::Set(slot_, imei);
        rec_.imei = imei;
    }
    // The port may have changed while the backup ran.
    if (const FoundPort again = core_.FindPhonePort(slot_, PortKind::Diag); again.com)
        port = again.com;
    Subclass reset = Request(port);
    BeginStage("reset");
    core_.bridge().doResetPhone(reset);
    EndStage(reset.result);
    if (Stopping()) return;
    if (!param_.repair) Status(Text::BackupQcnComplete);
    ModemPhase(false);
}

void SlotWorker::ModemPhase(bool new_phone) {
    if (!in_cycle_) BeginCycle(false);
    // A phone the port assignment brings in RepairMode is a new one: no earlier backup of this
    // slot names its calibration.
    if (new_phone && param_.repair) diag::SlotImeiStore::Clear(slot_);
    if (!Sleep(kBeforeModemMs)) return;
    const std::shared_ptr<const Software>& sw = param_.software;
    for (int attempt = 1;; ++attempt) {
        const int port = DiscoverPort(PortKind::Download, kPhonePolls);
        if (!port) {
            if (!Stopping())
                FailCycle(Text::CantFindPhone, kPhoneCaption,
                          "no emergency download port at the slot's position");
            return;
        }
        S().busy.store(1);
        if (core_.pacing().Position() == 0) StartCycleBar();
        Status(Text::UpdateModem);
        Subclass r = Request(port);
        BeginStage("emergency download");
        const bool ok = sw && core_.bridge().doStart(r, sw->nprg_start, 1);
        EndStage(r.result);
        if (Stopping()) return;
        if (ok) break;
        // Each failure has shown its boxes and turned the row FAIL; after the last one the
        // slot gives the phone up and is free for its next one.
        if (attempt >= kEmergencyAttempts) {
            S().busy.store(0);
            EndCycle(CycleResult::Fail, "the emergency download failed " +
                                            std::to_string(kEmergencyAttempts) + " times");
            return;
        }
        DebugLine("slot %d: emergency download attempt %d failed", slot_ + 1, attempt);
    }
    S().modem_done.store(true);
    Status(Text::UpdateModemComplete);
    if (!Sleep(kAfterModemMs)) return;
    core_.RunRebootScript(slot_);
    // The slot stays busy until the phone is back as a fastboot device.
}

void SlotWorker::FastbootPhase() {
    if (!in_cycle_) BeginCycle(false);
    if (core_.pacing().Position() == 0) StartCycleBar();
    if (!Sleep(kBeforeFastbootMs)) return;
    core_.RunRebootScript(slot_);
    if (!Sleep(kAfterRebootScriptMs)) return;
    if (!param_.software) return;
    FastbootJob job(param_.software->images, &core_.ui(), slot_);
    {
        std::lock_guard<std::mutex> g(S().m);
        S().job = &job;
    }
    struct Unregister {
        SlotState& s;
        ~Unregister() {
            std::lock_guard<std::mutex> g(s.m);
            s.job = nullptr;
        }
    } unregister{S()};
    S().busy.store(1);
    Status(Text::WaitingDevice);
    std::string name;
    for (int i = 0; (name = core_.RowString(slot_, &SlotState::fastboot_name)).empty(); ++i) {
        if (i >= kFastbootNamePolls) {
            FailCycle(Text::CantFindPhone, kPhoneCaption, "no fastboot device at the position");
            return;
        }
        if (!Sleep(kPollMs)) return;
    }
    Status(Text::UpdateAp);
    bool open = false;
    for (int i = 1; i <= kFastbootOpenAttempts && !open; ++i) {
        const std::string now = core_.RowString(slot_, &SlotState::fastboot_name);
        if (!now.empty()) name = now;
        open = job.OpenDevice(name);
        if (!open && i < kFastbootOpenAttempts && !Sleep(kPollMs)) return;
    }
    if (Stopping()) return;
    auto fail = [&](const char* what, const std::string& why) {
        DebugLine("\n***threadStart%d fastboot %s fail GetLastError = %ld", slot_ + 1, what, 0L);
        core_.Mark(slot_, false);
        Status(Text::Fail);
        if (slot_ == 0) core_.pacing().Terminate();
        S().busy.store(0);
        Box(Text::UpdateFailed, kCaption, MessageIcon::Error);
        EndCycle(CycleResult::Fail, why);
    };
    if (!open) {
        fail("OpenDevice", "the fastboot device " + name + " cannot be opened");
        return;
    }
    BeginStage("fastboot");
    const int rc = job.FlashAll();
    EndStage(rc);
    if (Stopping()) return;
    if (rc != 0) {
        fail("FlashAll", "FlashAll failed: " + job.last_error());
        return;
    }
    Status(Text::UpdateFastbootComplete);
    job.Reboot();
    job.CloseDevice();
    Status(Text::WaitingRestart);
    if (!Sleep(core_.config().FastbootContinueSleepMs())) return;
    RestorePhase();
}

void SlotWorker::RestorePhase() {
    if (!in_cycle_) BeginCycle(false);
    const int port = DiscoverPort(PortKind::Diag, kRestorePolls);
    if (!port) {
        if (!Stopping())
            FailCycle(Text::RestoreQcnFailed, kPhoneCaption, "no DIAG port for the restore");
        return;
    }
    S().busy.store(1);
    Status(Text::RestoreQcn);
    Subclass r = Request(port);
    if (param_.repair && slot_ == 0) {
        r.qcnPathFlag = true;
        r.qcnPath = param_.qcn_path;
    }
    BeginStage("restore");
    const bool ok = core_.bridge().doStartQCN(r);
    EndStage(r.result);
    rec_.qcn_file = r.restore.text_path;
    if (Stopping()) return;
    // Only a restore that took place is reported as complete; a failed one keeps "Fail".
    if (ok) Status(Text::RestoreQcnComplete);
    if (!Sleep(kAfterStageMs)) return;
    if (slot_ == 0) core_.pacing().Post(MSG_PROGRESS_FINISH);
    S().busy.store(0);
    S().cycle_done.store(true);
    if (slot_ == 0 && ok) {
        // Let the cycle bar reach its end before the cycle is reported over.
        for (int i = 0; i < kCycleBarWaitPolls && core_.pacing().Running(); ++i)
            if (!Sleep(100)) return;
    }
    if (ok)
        EndCycle(CycleResult::Pass);
    else
        EndCycle(CycleResult::Fail, r.restore.message.empty()
                                        ? ResultText("QCN restore", r.result)
                                        : "QCN restore: " + r.restore.message);
}

void SlotWorker::EmmcStage() {
    Status(Text::Emmc);
    S().busy.store(1);
    // The DIAG port to wait for is the one the phone shows after its programming.
    core_.SetRowString(slot_, &SlotState::diag_com, "");
    Subclass r = Request(-1);
    XMLDATA xml{};
    if (param_.software) xml = param_.software->xml;
    const bool written =
        core_.bridge().doEmmc(r, core_.RowString(slot_, &SlotState::emmc_disk), &xml);
    if (Stopping()) return;
    if (!written) {
        // FAIL is shown: a phone whose programming failed brings no DIAG port to wait for.
        S().busy.store(0);
        return;
    }
    std::string com;
    for (int i = 0; i < kEmmcDiagPolls; ++i) {
        if ((com = core_.RowString(slot_, &SlotState::diag_com)).size() > 3) break;
        if (!Sleep(kEmmcDiagPollMs)) return;
    }
    if (com.size() <= 3) {
        // The slot stays busy until its row is reset.
        core_.BoxText(slot_, DiagComEmptyText(slot_), kCaption, MessageIcon::Error);
        return;
    }
    Subclass reset = Request(std::atoi(com.c_str() + 3));
    core_.bridge().doResetPhone(reset);
    S().busy.store(0);
    Sleep(kAfterStageMs);
}

void SlotWorker::ResetRow(intptr_t how) {
    if (how == 0 && S().busy.load()) return;
    if (how == 1) S().busy.store(0);
    core_.Progress(slot_, 0);
    Status(Text::Waiting);
}

// ---- the cycle's record ----

void SlotWorker::BeginCycle(bool with_backup) {
    rec_ = CycleRecord{};
    rec_.slot = slot_;
    rec_.position = core_.PositionOf(slot_);
    rec_.start = std::chrono::system_clock::now();
    if (param_.software) {
        rec_.sw_ver = param_.software->rom.sw_ver;
        rec_.brand = param_.software->rom.brand;
        rec_.model = param_.software->rom.model;
    }
    in_cycle_ = true;
    S().cycle_done.store(false);
    S().phase.store(SlotPhase::InCycle);
    // A cycle that does not start with a backup restores by the IMEI this slot's last backup
    // read only when it resumes a cycle that a stop cut short; otherwise a phone brought in
    // already in download mode could be given an earlier phone's calibration.
    const bool resume = S().resume_imei.exchange(false);
    if (!with_backup && !resume) diag::SlotImeiStore::Clear(slot_);
    std::string imei;
    if (!with_backup && diag::SlotImeiStore::Get(slot_, imei)) rec_.imei = imei;
}

void SlotWorker::BeginStage(const char* name) {
    StageRecord s;
    s.name = name;
    s.start = std::chrono::system_clock::now();
    rec_.stages.push_back(s);
    stage_t0_ = std::chrono::steady_clock::now();
    stage_open_ = true;
}

void SlotWorker::EndStage(int result) {
    if (!stage_open_ || rec_.stages.empty()) return;
    StageRecord& s = rec_.stages.back();
    s.duration = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - stage_t0_);
    s.result = result;
    stage_open_ = false;
}

void SlotWorker::EndCycle(CycleResult result, const std::string& message) {
    if (!in_cycle_) return;
    in_cycle_ = false;
    rec_.end = std::chrono::system_clock::now();
    rec_.result = result;
    rec_.message = message;
    if (result != CycleResult::Stopped) S().phase.store(SlotPhase::Finished);
    core_.CycleEnded(rec_);
}

} // namespace tw::station
