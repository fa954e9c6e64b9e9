#include "station/station.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "detect/port_enum.h"
#include "diag/imei.h"
#include "diag/qcn_file.h"
#include "engine/emmc_download.h"
#include "station/debug_line.h"
#include "station/slot_worker.h"

namespace tw::station {

namespace {

// The engine shows its boxes through one process-wide hook; a box belongs to the slot whose
// worker thread raised it.
thread_local StationCore* t_core = nullptr;
thread_local int t_slot = kNoSlot;

void EngineBox(const char* text, const char* caption) {
    if (t_core)
        t_core->BoxText(t_slot, text ? text : "", caption ? caption : kCaption, MessageIcon::Error);
    else
        std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
}

// Boxes of a preparation the routing started: nobody to ask, so they go to the debug output.
class SilentUi : public StationUi {
  public:
    void MessageBox(const std::string& text, const std::string& caption, MessageIcon) override {
        DebugLine("%s: %s", caption.c_str(), text.c_str());
    }
    void SetProgress(int, int) override {}
    void MarkResult(int, bool) override {}
    void SetStatus(int, const std::string&) override {}
};

} // namespace

Station::Station(const StationFolder& folder, StationUi& ui)
    : core_(folder, ui), router_(core_, [this](int slot) {
          std::lock_guard<std::mutex> g(ops_mu_);
          return !exited_.load() && StartSlot(slot, true);
      }) {
    listener_info_.hMainWnd = [this](uint32_t msg, uintptr_t w, intptr_t l) -> intptr_t {
        router_queue_.post(ThreadMessage{msg, w, l});
        return 0;
    };
    core_.set_finished_notice([this](int slot) { router_queue_.post(SlotFinished{slot}); });
}

Station::~Station() {
    Exit();
}

bool Station::Init(std::string* why) {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (initialised_ || exited_.load()) return initialised_;
    if (!core_.folder().Create(why)) return false;
    const StationConfig& cfg = core_.config();
    cfg.EnsureTestUsedKey();
    // The detection reads its driver names from the same file.
    SetINIFilePathOverride(cfg.path());
    // Nothing of an earlier station in this process names this one's files.
    diag::SlotImeiStore::ClearAll();
    emmc::SetMessageBox(&EngineBox);
    // The QCN conversion's listing is for someone debugging, not for the operator.
    const char* dbg = std::getenv("TARNWELL_DEBUG");
    diag::SetMessageStream(dbg && *dbg && std::string(dbg) != "0" ? stderr : nullptr);

    StationUi& ui = core_.ui();
    core_.pacing().SetPosition(0);
    std::string lang = cfg.Language();
    // A stored value other than the two choices is no choice: the operator is asked again.
    if (lang != "Chinese" && lang != "English") {
        lang = ui.ChooseLanguage();
        if (lang == "Chinese" || lang == "English") cfg.Write("Language", "Language", lang);
    }
    core_.set_language(lang == "Chinese" ? Language::Chinese : Language::English);
    // The rows' first texts in the language just chosen.
    for (int i = 0; i < kSlots; ++i) {
        ui.SetProgress(i, 0);
        core_.Status(i, i == 0 ? Text::WaitingDots : Text::Waiting);
    }
    ShowWindowTexts();
    for (int i = 0; i < kSlots; ++i)
        SlotCaption(i);
    ShowSoftware(ReadRomInfo(FindRomInfo(core_.folder().sw())), cfg.SoftwarePath());
    const bool test_use = cfg.TestUse();
    ui.SetControl(Control::LoadFiles, test_use, true);
    ui.SetControl(Control::SoftwareFolder, test_use, true);

    router_queue_.reopen();
    router_thread_ = std::thread([this] { RouterLoop(); });
    watcher_ =
        std::make_unique<DeviceWatcher>([this](const DeviceEvent& e) { router_queue_.post(e); });
    if (!watcher_->start(false))
        ui.MessageBox(core_.T(Text::WatcherFailed), kCaption, MessageIcon::Error);
    initialised_ = true;
    return true;
}

void Station::RouterLoop() {
    for (;;) {
        // Asleep until the next event, or until a finished slot's phone has been gone long
        // enough: no timer runs while no slot waits for its phone to leave.
        const auto next = router_.Tick();
        RouterEvent e;
        if (!next) {
            if (!router_queue_.get(e)) return;
        } else {
            const auto left = *next - clock::Steady::now();
            auto got = router_queue_.get_for(std::max<std::chrono::nanoseconds>(left, {}));
            if (!got) {
                if (router_queue_.closed()) return;
                continue;
            }
            e = std::move(*got);
        }
        if (const auto* d = std::get_if<DeviceEvent>(&e))
            router_.OnDeviceChange(*d);
        else if (const auto* m = std::get_if<ThreadMessage>(&e))
            router_.OnListenerMessage(m->id, m->wParam, m->lParam);
        else if (const auto* f = std::get_if<SlotFinished>(&e))
            router_.OnSlotFinished(f->slot);
    }
}

// ---- texts ----

void Station::ShowWindowTexts() {
    const Language l = core_.language();
    WindowTexts t;
    t.title = Tr(Text::Title, l);
    t.backup = Tr(Text::Backup, l);
    t.select_software = Tr(Text::SelectSoftware, l);
    t.load_files = Tr(Text::LoadFiles, l);
    t.clean_configuration = Tr(Text::CleanConfiguration, l);
    t.exit = Tr(Text::Exit, l);
    t.repair_mode = Tr(Text::RepairMode, l);
    t.select_qcn_file = Tr(Text::SelectQcnFile, l);
    t.start_all = Tr(all_started_ ? Text::StopAll : Text::StartAll, l);
    t.notice_title = Tr(Text::NoticeTitle, l);
    t.notice_text = Tr(Text::NoticeText, l);
    t.sw_ver_label = Tr(Text::SwVerLabel, l);
    t.brand_label = Tr(Text::BrandLabel, l);
    t.model_label = Tr(Text::ModelLabel, l);
    t.version_line = VersionLine(TARNWELL_VERSION, l);
    core_.ui().SetLanguage(l, t);
    core_.ui().SetSlotButton(kNoSlot, t.start_all, true);
}

void Station::ShowSoftware(const RomInfo& rom, const std::string& folder) {
    SoftwareInfo info;
    info.sw_ver = rom.sw_ver;
    info.brand = rom.brand;
    info.model = rom.model;
    info.folder = folder;
    if (auto sw = core_.software(); sw && sw->folder == folder)
        info.images_folder = sw->images_folder;
    core_.ui().SetSoftwareInfo(info);
}

void Station::SlotCaption(int slot) {
    SlotState& s = core_.slot(slot);
    core_.ui().SetSlotButton(slot, core_.T(s.running.load() ? Text::Stop : Text::Start),
                             s.button_enabled.load());
}

void Station::SetLanguageButtons(bool enabled) {
    core_.ui().SetControl(Control::LanguageButtons, true, enabled);
    core_.ui().SetControl(Control::RepairMode, true, enabled);
}

// ---- software ----

bool Station::PrepareFrom(const std::string& folder, bool silent) {
    SilentUi quiet;
    StationUi& ui = silent ? static_cast<StationUi&>(quiet) : core_.ui();
    const RomInfo rom = ReadRomInfo(FindRomInfo(folder));
    auto sw = PrepareSoftware(folder, ui, core_.language());
    // Only a package that passed its check becomes the configured one: a broken package leaves
    // "inifile.ini" as it was, so the next start does not meet it again.
    if (sw) core_.SetSoftwarePaths(folder);
    core_.set_software(sw);
    ShowSoftware(rom, folder);
    core_.ui().SetControl(Control::StartAll, true, sw != nullptr);
    return sw != nullptr;
}

bool Station::PrepareForStart(int slot, bool silent) {
    const StationConfig& cfg = core_.config();
    if (slot == 0 && !cfg.TestUse()) return PrepareFrom(core_.folder().sw(), silent);
    if (SoftwareLoaded()) return true;
    const std::string folder = cfg.SoftwarePath();
    if (folder.empty()) return false;
    return PrepareFrom(folder, silent);
}

bool Station::SoftwareLoaded() const {
    auto sw = core_.software();
    return sw && sw->loaded();
}

bool Station::LoadPackage(const std::string& folder) {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (exited_.load() || folder.empty()) return false;
    return PrepareFrom(folder, false);
}

void Station::LoadFiles() {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (exited_.load()) return;
    const std::string folder = core_.ui().ChooseFolder(core_.T(Text::ChooseFolderTitle));
    if (folder.empty()) return;
    PrepareFrom(folder, false);
}

void Station::SelectSoftware() {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (exited_.load()) return;
    if (!AskPassword()) return;
    const std::string folder = core_.ui().ChooseFolder(core_.T(Text::ChooseFolderTitle));
    if (folder.empty()) return;
    const RomInfo rom = ReadRomInfo(FindRomInfo(folder));
    if (!rom.found) {
        core_.ui().MessageBox(core_.T(Text::OpenFileError), kCaption, MessageIcon::Error);
        return;
    }
    PrepareFrom(folder, false);
}

// ---- the password ----

bool Station::AskPassword() {
    return core_.ui().AskPassword(core_.language());
}

// ---- slots ----

bool Station::Running(int slot) const {
    return slot >= 0 && slot < kSlots && core_.slot(slot).running.load();
}

bool Station::Busy(int slot) const {
    return slot >= 0 && slot < kSlots && core_.slot(slot).busy.load();
}

SlotPhase Station::Phase(int slot) const {
    if (slot < 0 || slot >= kSlots) return SlotPhase::Stopped;
    return core_.slot(slot).phase.load();
}

void Station::ClickSlot(int slot) {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (exited_.load() || slot < 0 || slot >= kSlots) return;
    if (core_.slot(slot).running.load())
        StopSlot(slot, true);
    else
        StartSlot(slot, false);
}

bool Station::SlotSettingsUsable(int slot, bool silent) {
    std::string bad;
    Text why = Text::BadPosition;
    if (core_.PositionUsable(slot, bad)) {
        why = Text::BadSleepTime;
        if (core_.config().FastbootContinueSleepUsable(&bad)) return true;
        bad = "\"" + bad + "\"";
    }
    DebugLine("slot %d not started: %s%s", slot + 1, Tr(why, Language::English), bad.c_str());
    if (!silent) core_.ui().MessageBox(core_.T(why) + bad, kCaption, MessageIcon::Error);
    return false;
}

bool Station::StartSlot(int slot, bool silent) {
    SlotState& s = core_.slot(slot);
    StationUi& ui = core_.ui();
    const StationConfig& cfg = core_.config();
    if (s.running.load()) return true;
    // Settings the slot could not work with stop it here, before any phone is touched.
    if (!SlotSettingsUsable(slot, silent)) return false;
    if (slot == 0) {
        // A click while the last one is still being handled finds the button disabled.
        if (!s.button_enabled.load()) return false;
        if (!PrepareForStart(0, silent)) return false;
        if (core_.repair() && core_.qcn_file().empty()) {
            if (!silent)
                ui.MessageBox(core_.T(Text::SelectQcnFilePlease), kCaption, MessageIcon::Error);
            return false;
        }
        if (cfg.Rawprogram0Path().empty() || cfg.SoftwarePath().empty()) return false;
        SetLanguageButtons(false);
    } else {
        if (cfg.Rawprogram0Path().empty() || cfg.SoftwarePath().empty()) {
            if (!silent)
                ui.MessageBox(core_.T(Text::SelectFilesFirst), kCaption, MessageIcon::Warning);
            return false;
        }
        // The first slot to start prepares the software (with the configured folder).
        if (!core_.AnyRunning() && !PrepareForStart(slot, silent)) return false;
        if (!SoftwareLoaded()) return false;
    }

    SlotThreadParam param;
    param.software = core_.software();
    param.repair = core_.repair();
    param.qcn_path = core_.qcn_file();

    if (s.thread.joinable()) s.thread.join(); // a worker that ended by itself
    s.queue.reopen();
    s.stop_event.reset();
    s.generation.fetch_add(1);
    s.stopping.store(false);
    ui.ReopenBoxes(slot);
    s.busy.store(0);
    s.claim.store(false);
    s.cycle_done.store(false);
    s.qcn_backed_up.store(false);
    s.modem_done.store(false);
    s.phase.store(SlotPhase::WaitingForPhone);
    BeginDetect(&listener_info_); // 1 when it runs already: it keeps running for this slot too
    listening_ = true;
    s.running.store(true);
    try {
        s.thread = std::thread([this, slot, param] {
            t_core = &core_;
            t_slot = slot;
            SlotWorker(core_, slot, param).Run();
        });
    } catch (const std::system_error& e) {
        DebugLine("slot %d: the worker thread cannot be created: %d", slot + 1, e.code().value());
        s.running.store(false);
        s.phase.store(SlotPhase::Stopped);
        if (slot == 0) SetLanguageButtons(true);
        SlotCaption(slot);
        return false;
    }
    DebugLine("slot %d started", slot + 1);
    if (slot == 0) {
        s.button_enabled.store(false); // the worker enables it after six seconds
        core_.pacing().Start();
    }
    SlotCaption(slot);
    OfferPhoneAtStart(core_, slot);
    return true;
}

void Station::Halt(int slot) {
    SlotState& s = core_.slot(slot);
    if (!s.running.load() && !s.thread.joinable()) return;
    // A stop in the middle of a cycle whose backup was made lets the next start finish that
    // phone with it.
    if (s.phase.load() == SlotPhase::InCycle && s.qcn_backed_up.load()) s.resume_imei.store(true);
    s.stopping.store(true);
    s.generation.fetch_add(1);
    core_.ui().CloseBoxes(slot);
    core_.bridge().DeleteLive(slot);
    {
        std::lock_guard<std::mutex> g(s.m);
        if (s.job) s.job->CloseDevice();
    }
    s.stop_event.set();
    s.queue.close();
    if (s.thread.joinable()) s.thread.join();
    if (slot == 0) core_.pacing().Terminate();
    s.running.store(false);
    s.phase.store(SlotPhase::Stopped);
    s.busy.store(0);
    s.button_enabled.store(true);
    if (!core_.AnyRunning() && listening_) {
        StopDetect();
        listening_ = false;
    }
}

void Station::StopSlot(int slot, bool ask) {
    SlotState& s = core_.slot(slot);
    StationUi& ui = core_.ui();
    if (slot == 0) {
        if (ask && !s.button_enabled.load()) return;
        if (ask && !stop_all_ && !ui.AskYesNo(0, core_.T(Text::StopQuestionSlot1), kCaption))
            return;
        SetLanguageButtons(true);
    } else if (ask && !stop_all_) {
        if (!ui.AskYesNo(slot, core_.T(Text::StopQuestion), kCaption)) return;
        if (!AskPassword()) {
            ui.MessageBox(core_.T(Text::PasswordRefused), kCaption, MessageIcon::Error);
            return;
        }
    }
    Halt(slot);
    core_.Progress(slot, 0);
    if (slot == 0) core_.pacing().SetPosition(0);
    core_.Status(slot, Text::Waiting);
    SlotCaption(slot);
}

void Station::StopSlotNow(int slot) {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (slot < 0 || slot >= kSlots || !core_.slot(slot).running.load()) return;
    StopSlot(slot, false);
}

void Station::StartAll() {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (exited_.load()) return;
    StationUi& ui = core_.ui();
    const StationConfig& cfg = core_.config();
    if (cfg.Rawprogram0Path().empty() || cfg.SoftwarePath().empty()) {
        ui.MessageBox(core_.T(Text::SelectFilesFirst), kCaption, MessageIcon::Warning);
        return;
    }
    if (!all_started_) {
        all_started_ = true;
        ui.SetSlotButton(kNoSlot, core_.T(Text::StopAll), true);
        for (int i = 0; i < kSlots; ++i)
            if (!core_.slot(i).running.load()) StartSlot(i, false);
        return;
    }
    if (!ui.AskYesNo(kNoSlot, core_.T(Text::StopQuestion), kCaption)) return;
    if (!AskPassword()) {
        ui.MessageBox(core_.T(Text::PasswordRefused), kCaption, MessageIcon::Error);
        return;
    }
    stop_all_ = true;
    all_started_ = false;
    ui.SetSlotButton(kNoSlot, core_.T(Text::StartAll), true);
    for (int i = 0; i < kSlots; ++i)
        if (core_.slot(i).running.load()) StopSlot(i, false);
    stop_all_ = false;
    for (int i = 0; i < kSlots; ++i)
        core_.Status(i, Text::Waiting);
}

// ---- slot 1's QCN buttons, RepairMode ----

void Station::Backup() {
    std::lock_guard<std::mutex> g(ops_mu_);
    SlotState& s = core_.slot(0);
    if (exited_.load()) return;
    if (!s.running.load()) {
        DebugLine("MSG_TO_BACKUP_QCN PostThreadMessage GetLastError = %ld (slot 1 not started)",
                  0L);
        return;
    }
    s.qcn_backed_up.store(false);
    s.modem_done.store(false);
    s.phase.store(SlotPhase::InCycle);
    if (!core_.Post(0, MSG_TO_BACKUP_QCN, static_cast<uintptr_t>(s.own_port.load())))
        DebugLine("MSG_TO_BACKUP_QCN PostThreadMessage GetLastError = %ld", 0L);
}

void Station::Restore() {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (exited_.load()) return;
    if (!core_.Post(0, MSG_TO_RESTORE_QCN, static_cast<uintptr_t>(core_.slot(0).own_port.load())))
        DebugLine("MSG_TO_DOWNLOAD_QDLoadcom9008 PostThreadMessage GetLastError = %ld", 0L);
}

void Station::SelectQcnFile() {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (exited_.load()) return;
    core_.ui().SetControl(Control::Backup, false, false);
    core_.ui().SetControl(Control::Restore, false, false);
    core_.set_repair(true);
    const std::string path = core_.ui().ChooseFile(core_.T(Text::ChooseQcnFileTitle));
    if (!path.empty()) core_.set_qcn_file(path);
}

void Station::SelectQcnFile(const std::string& path) {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (exited_.load()) return;
    core_.ui().SetControl(Control::Backup, false, false);
    core_.ui().SetControl(Control::Restore, false, false);
    core_.set_repair(true);
    if (!path.empty()) core_.set_qcn_file(path);
}

void Station::ToggleRepairMode() {
    {
        std::lock_guard<std::mutex> g(ops_mu_);
        if (exited_.load()) return;
        if (core_.repair()) {
            core_.set_repair(false);
            core_.ui().SetControl(Control::Backup, true, true);
            core_.ui().SetControl(Control::Restore, true, true);
            return;
        }
    }
    SelectQcnFile();
}

void Station::CleanConfiguration() {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (exited_.load()) return;
    if (!AskPassword()) {
        core_.ui().MessageBox(core_.T(Text::PasswordRefusedClean), kCaption, MessageIcon::Error);
        return;
    }
    core_.SetSoftwarePaths("");
    core_.CleanSlotKeys();
    ShowSoftware(RomInfo{}, "");
}

void Station::SetLanguage(Language lang) {
    std::lock_guard<std::mutex> g(ops_mu_);
    if (exited_.load()) return;
    core_.set_language(lang);
    core_.config().Write("Language", "Language", lang == Language::Chinese ? "Chinese" : "English");
    ShowWindowTexts();
    for (int i = 0; i < kSlots; ++i)
        SlotCaption(i);
    if (!core_.slot(0).running.load()) core_.Status(0, Text::Waiting);
}

void Station::Exit() {
    if (exited_.exchange(true)) return;
    // The routing first, without the button lock: it may be waiting for it.
    router_queue_.close();
    if (router_thread_.joinable()) router_thread_.join();
    if (watcher_) watcher_->stop();
    std::lock_guard<std::mutex> g(ops_mu_);
    for (int i = 0; i < kSlots; ++i)
        Halt(i);
    if (listening_) StopDetect();
    listening_ = false;
    core_.pacing().Terminate();
    if (initialised_) emmc::SetMessageBox(nullptr);
}

} // namespace tw::station
