#pragma once
// What the station needs from whatever shows it to the operator: message boxes and questions,
// the slots' bars, status texts and buttons, the cycle bar, the window's texts in the chosen
// language, folder and file choosers. The window implements it with dialogs and widgets; the
// command line with terminal text and answers given as options; the tests with a recorder.
//
// Threads. Calls come from:
//  - the thread that calls a `Station` method (the window's GUI thread): MessageBox, questions,
//    choosers, SetLanguage, SetSoftwareInfo, SetControl, and row calls of the buttons;
//  - the slot workers, the cycle-bar pacing thread and the station's routing thread: row calls
//    (SetProgress, MarkResult, SetStatus, SetSlotButton, SetCycleProgress, SetControl,
//    SetCounters) and
//    SlotMessageBox. The routing thread never shows a box or asks a question (a slot it starts
//    in RepairMode starts silently), so nothing it does waits for the operator.
// Row calls must not wait for the GUI thread (queue them): the GUI thread may be inside a
// `Station` method that waits for a worker. Boxes and questions block their caller until
// answered, but a slot's boxes must return at once once CloseBoxes(slot) has been called, until
// ReopenBoxes(slot): a stop closes the slot's boxes before it waits for the slot's worker.
//
// Slots are rows 0..15; kNoSlot marks the station's own boxes.
#include <optional>
#include <string>

#include "station/counters.h"
#include "station/texts.h"

namespace tw::station {

enum class MessageIcon { None, Error, Warning, Information };

inline constexpr int kNoSlot = -1;

// Buttons and texts of the window that the station shows, hides, enables or disables.
enum class Control {
    StartAll,
    SelectSoftware,
    LoadFiles,
    SoftwareFolder, // the text with the software folder in use
    Backup,
    Restore,
    SelectQcnFile,
    RepairMode,
    CleanConfiguration,
    Exit,
    LanguageButtons,
};

// The window's own texts in the language chosen (start-up and every language switch).
struct WindowTexts {
    std::string title, backup, select_software, load_files, clean_configuration, exit, repair_mode,
        select_qcn_file, start_all, notice_title, notice_text, sw_ver_label, brand_label,
        model_label, version_line;
};

// The software line: "ROMINFO.ini" values and the folders in use.
struct SoftwareInfo {
    std::string sw_ver, brand, model;
    std::string folder;        // software folder in use
    std::string images_folder; // where the Android images were found
};

class StationUi {
  public:
    virtual ~StationUi() = default;

    // A box of the station itself (software preparation, buttons). Blocks until closed.
    virtual void MessageBox(const std::string& text, const std::string& caption,
                            MessageIcon icon) = 0;
    // A slot's bar leaves any PASS/FAIL state and moves to position (0..100).
    virtual void SetProgress(int slot, int position) = 0;
    // The bar turns full and shows PASS or FAIL.
    virtual void MarkResult(int slot, bool pass) = 0;
    // The slot's status text ("Update AP...", "Fail").
    virtual void SetStatus(int slot, const std::string& text) = 0;

    // A box raised by a slot's work. Blocks until closed, or until CloseBoxes(slot).
    virtual void SlotMessageBox(int slot, const std::string& text, const std::string& caption,
                                MessageIcon icon) {
        (void)slot;
        MessageBox(text, caption, icon);
    }
    // Closes the slot's open boxes; until ReopenBoxes(slot) every box of the slot returns at
    // once (a stopped slot asks nothing).
    virtual void CloseBoxes(int slot) { (void)slot; }
    virtual void ReopenBoxes(int slot) { (void)slot; }

    // Yes/No question; false also when it was closed. The default refuses.
    virtual bool AskYesNo(int slot, const std::string& text, const std::string& caption) {
        (void)slot, (void)text, (void)caption;
        return false;
    }
    // The password dialog (the lock on stop, stop all, clean configuration, select software).
    // True only when it was closed with the right password: the entry is checked by the rule of
    // station/password.h when OK is pressed, and a wrong one keeps the dialog open with an
    // empty field and the box "Password error，Please Rewrite" ("密码输入错误，请重新输入"). The
    // default refuses.
    virtual bool AskPassword(Language lang) {
        (void)lang;
        return false;
    }
    // The language choice at the first start: "Chinese", "English" or "" (none chosen).
    virtual std::string ChooseLanguage() { return ""; }
    // A folder or an existing file; "" when cancelled.
    virtual std::string ChooseFolder(const std::string& title) {
        (void)title;
        return "";
    }
    virtual std::string ChooseFile(const std::string& title) {
        (void)title;
        return "";
    }

    // The slot's button: caption ("START"/"STOP" in the language) and whether it takes clicks.
    // kNoSlot is the start-all button ("开始全部下载"/"停止全部下载").
    virtual void SetSlotButton(int slot, const std::string& caption, bool enabled) {
        (void)slot, (void)caption, (void)enabled;
    }
    // The cycle bar, 0..1200.
    virtual void SetCycleProgress(int position) { (void)position; }
    virtual void SetLanguage(Language lang, const WindowTexts& texts) { (void)lang, (void)texts; }
    virtual void SetSoftwareInfo(const SoftwareInfo& info) { (void)info; }
    virtual void SetControl(Control c, bool visible, bool enabled) {
        (void)c, (void)visible, (void)enabled;
    }
    // The tally after each phone that passed or failed (a row call: from a slot's worker).
    virtual void SetCounters(const StationCounters& counters) { (void)counters; }
};

} // namespace tw::station
