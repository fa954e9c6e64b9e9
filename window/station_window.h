#pragma once
// The operator's window: sixteen slot rows (START/STOP button, progress bar, status text), the
// cycle bar, the software lines, the buttons, the language radios, the notice and the version
// line. It shows what the `Station` tells it through `StationUi` and turns every click into one
// `Station` method; the station's rules all live in the station.
//
// Threads: the widgets belong to the GUI thread. The station's row calls may come from any
// thread and are queued to the GUI thread in the order made, never waited for (a stop on the
// GUI thread joins workers that report). Boxes from workers go through SlotMessageBoxes: the
// worker waits, the GUI thread never does. Dialogs and choosers are the GUI thread's only.
#include <QWidget>
#include <array>

#include "station/counters.h"
#include "station/station_ui.h"
#include "window/slot_boxes.h"
#include "window/texts.h"

class QLabel;
class QPushButton;
class QRadioButton;

namespace tw::station {
class Station;
}

namespace tw::window {

class GradientProgressBar;

class StationWindow : public QWidget, public tw::station::StationUi {
    Q_OBJECT

  public:
    static constexpr int kSlots = 16;

    explicit StationWindow(QWidget* parent = nullptr);
    ~StationWindow() override;

    // The station the buttons drive; set before its Init. The station must outlive the window's
    // last click and be exited (closing the window does that) before it is destroyed.
    void attach(tw::station::Station* station);
    // The station's start-up (it may ask for the language). A close asked meanwhile, by a
    // signal say, is carried out when it returns.
    bool startStation(std::string* why);
    // Ends every open dialog and chooser as if cancelled, then closes the window (Ctrl-C).
    void cancelDialogsAndClose();
    // The window was closed and the station exited.
    bool exited() const { return exited_; }
    SlotMessageBoxes& boxes() { return boxes_; }
    Language language() const { return lang_; }

    // ---- StationUi ----
    void MessageBox(const std::string& text, const std::string& caption,
                    tw::station::MessageIcon icon) override;
    void SlotMessageBox(int slot, const std::string& text, const std::string& caption,
                        tw::station::MessageIcon icon) override;
    void CloseBoxes(int slot) override;
    void ReopenBoxes(int slot) override;
    bool AskYesNo(int slot, const std::string& text, const std::string& caption) override;
    bool AskPassword(tw::station::Language lang) override;
    std::string ChooseLanguage() override;
    std::string ChooseFolder(const std::string& title) override;
    std::string ChooseFile(const std::string& title) override;

    void SetProgress(int slot, int position) override;
    void MarkResult(int slot, bool pass) override;
    void SetStatus(int slot, const std::string& text) override;
    void SetSlotButton(int slot, const std::string& caption, bool enabled) override;
    void SetCycleProgress(int position) override;
    void SetLanguage(tw::station::Language lang, const tw::station::WindowTexts& texts) override;
    void SetSoftwareInfo(const tw::station::SoftwareInfo& info) override;
    void SetControl(tw::station::Control c, bool visible, bool enabled) override;
    void SetCounters(const tw::station::StationCounters& counters) override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    struct Row {
        QPushButton* button = nullptr;
        GradientProgressBar* bar = nullptr;
        QLabel* status = nullptr;
    };

    void build();
    QWidget* buildSlots();
    QWidget* buildButtons();
    QWidget* buildSoftwareLines();
    // Runs a station method for a click; clicks that arrive while one runs (from a nested
    // dialog's event loop) are dropped, and a close asked meanwhile waits for it to return.
    template <class F> void click(F&& f);
    // Queues f to the GUI thread behind every earlier row call.
    template <class F> void later(F&& f);
    bool onGuiThread() const;
    QWidget* control(tw::station::Control c) const;
    void applyWindowOnlyTexts();
    void showCounters();

    tw::station::Station* station_ = nullptr;
    SlotMessageBoxes boxes_;
    Language lang_ = Language::English;
    bool inStation_ = false;
    bool closePending_ = false;
    bool exited_ = false;
    QString lastFolder_;

    std::array<Row, kSlots> rows_{};
    GradientProgressBar* cycleBar_ = nullptr;
    QLabel* cycleLabel_ = nullptr;
    QLabel* counters_ = nullptr;
    tw::station::StationCounters tally_{}; // the last the station gave (GUI thread)
    QPushButton *startAll_ = nullptr, *selectSoftware_ = nullptr, *loadFiles_ = nullptr,
                *backup_ = nullptr, *restore_ = nullptr, *selectQcn_ = nullptr,
                *repairMode_ = nullptr, *clean_ = nullptr, *exit_ = nullptr;
    QRadioButton *english_ = nullptr, *chinese_ = nullptr;
    QLabel *swVerLabel_ = nullptr, *swVer_ = nullptr, *brandLabel_ = nullptr, *brand_ = nullptr,
           *modelLabel_ = nullptr, *model_ = nullptr, *softwareFolder_ = nullptr,
           *imagesFolder_ = nullptr, *noticeTitle_ = nullptr, *noticeText_ = nullptr,
           *version_ = nullptr;
};

} // namespace tw::window
