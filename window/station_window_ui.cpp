// What the station shows through the window: row calls queued to the GUI thread, boxes through
// SlotMessageBoxes, dialogs and Qt's own choosers on the GUI thread.
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>

#include "station/debug_line.h"
#include "window/password_dialog.h"
#include "window/progress_bar.h"
#include "window/station_window.h"

namespace tw::window {

namespace {

using tw::station::MessageIcon;

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

SlotMessageBoxes::Icon iconOf(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Error:
        return SlotMessageBoxes::Icon::Error;
    case MessageIcon::Warning:
        return SlotMessageBoxes::Icon::Warning;
    case MessageIcon::Information:
        return SlotMessageBoxes::Icon::Information;
    case MessageIcon::None:
        break;
    }
    return SlotMessageBoxes::Icon::None;
}

Language windowLanguage(tw::station::Language lang) {
    return lang == tw::station::Language::Chinese ? Language::Chinese : Language::English;
}

bool validSlot(int slot) {
    return slot >= 0 && slot < StationWindow::kSlots;
}

// Qt's own choosers (not the desktop's), the same on every machine.
constexpr QFileDialog::Options kChooserOptions = QFileDialog::DontUseNativeDialog;

} // namespace

bool StationWindow::onGuiThread() const {
    return QThread::currentThread() == thread();
}

template <class F> void StationWindow::later(F&& f) {
    QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::QueuedConnection);
}

// ---- boxes and questions ----

void StationWindow::MessageBox(const std::string& text, const std::string& caption,
                               MessageIcon icon) {
    boxes_.ask(tw::station::kNoSlot, q(text), q(caption), iconOf(icon));
}

void StationWindow::SlotMessageBox(int slot, const std::string& text, const std::string& caption,
                                   MessageIcon icon) {
    boxes_.ask(slot, q(text), q(caption), iconOf(icon));
}

void StationWindow::CloseBoxes(int slot) {
    boxes_.closeSlot(slot);
}

void StationWindow::ReopenBoxes(int slot) {
    boxes_.reopenSlot(slot);
}

bool StationWindow::AskYesNo(int slot, const std::string& text, const std::string& caption) {
    // The operator's own click asks at once, even over a box the slot's worker has open.
    const int key = onGuiThread() ? tw::station::kNoSlot : slot;
    return boxes_.ask(key, q(text), q(caption), SlotMessageBoxes::Icon::Question,
                      SlotMessageBoxes::Buttons::YesNo) == SlotMessageBoxes::Answer::Yes;
}

bool StationWindow::AskPassword(tw::station::Language lang) {
    if (!onGuiThread()) {
        tw::station::DebugLine("password asked off the window's thread: refused");
        return false;
    }
    return PasswordDialog::askPassword(this, windowLanguage(lang));
}

std::string StationWindow::ChooseLanguage() {
    if (!onGuiThread()) return "";
    return PasswordDialog::askLanguage(this).toStdString();
}

std::string StationWindow::ChooseFolder(const std::string& title) {
    if (!onGuiThread()) return "";
    const QString dir = QFileDialog::getExistingDirectory(
        this, q(title), lastFolder_, kChooserOptions | QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty()) lastFolder_ = dir;
    return dir.toStdString();
}

std::string StationWindow::ChooseFile(const std::string& title) {
    if (!onGuiThread()) return "";
    const QString file = QFileDialog::getOpenFileName(this, q(title), lastFolder_, QString(),
                                                      nullptr, kChooserOptions);
    return file.toStdString();
}

// ---- rows and texts (any thread; applied on the GUI thread in the order made) ----

void StationWindow::SetProgress(int slot, int position) {
    later([this, slot, position] {
        if (validSlot(slot)) rows_[static_cast<size_t>(slot)].bar->setPosition(position);
    });
}

void StationWindow::MarkResult(int slot, bool pass) {
    later([this, slot, pass] {
        if (!validSlot(slot)) return;
        GradientProgressBar* bar = rows_[static_cast<size_t>(slot)].bar;
        pass ? bar->markPass() : bar->markFail();
    });
}

void StationWindow::SetStatus(int slot, const std::string& text) {
    later([this, slot, t = q(text)] {
        if (validSlot(slot)) rows_[static_cast<size_t>(slot)].status->setText(t);
    });
}

void StationWindow::SetSlotButton(int slot, const std::string& caption, bool enabled) {
    later([this, slot, enabled, t = q(caption)] {
        QPushButton* b = slot == tw::station::kNoSlot ? startAll_
                         : validSlot(slot)            ? rows_[static_cast<size_t>(slot)].button
                                                      : nullptr;
        if (!b) return;
        b->setText(t);
        b->setEnabled(enabled);
    });
}

void StationWindow::SetCycleProgress(int position) {
    later([this, position] { cycleBar_->setPosition(position); });
}

void StationWindow::SetCounters(const tw::station::StationCounters& counters) {
    later([this, c = counters] {
        tally_ = c;
        showCounters();
    });
}

void StationWindow::showCounters() {
    auto line = [this](const tw::station::SlotCounters& c) {
        return kCounters.in(lang_).arg(c.passed).arg(c.failed).arg(c.mean_seconds(), 0, 'f', 1);
    };
    counters_->setText(line(tally_.total));
    // Cycles counted so far, for whoever watches the window from outside (the picture).
    counters_->setProperty("cycles", tally_.total.passed + tally_.total.failed);
    for (size_t i = 0; i < rows_.size(); ++i)
        rows_[i].status->setToolTip(line(tally_.per_slot[i]));
}

void StationWindow::SetLanguage(tw::station::Language lang, const tw::station::WindowTexts& texts) {
    later([this, l = windowLanguage(lang), t = texts] {
        lang_ = l;
        setWindowTitle(q(t.title));
        backup_->setText(q(t.backup));
        selectSoftware_->setText(q(t.select_software));
        loadFiles_->setText(q(t.load_files));
        clean_->setText(q(t.clean_configuration));
        exit_->setText(q(t.exit));
        repairMode_->setText(q(t.repair_mode));
        selectQcn_->setText(q(t.select_qcn_file));
        startAll_->setText(q(t.start_all));
        noticeTitle_->setText(q(t.notice_title));
        noticeText_->setText(q(t.notice_text));
        swVerLabel_->setText(q(t.sw_ver_label));
        brandLabel_->setText(q(t.brand_label));
        modelLabel_->setText(q(t.model_label));
        version_->setText(q(t.version_line));
        applyWindowOnlyTexts();
        showCounters(); // the tally in the new language, zeros before the first phone
    });
}

void StationWindow::SetSoftwareInfo(const tw::station::SoftwareInfo& info) {
    later([this, i = info] {
        swVer_->setText(q(i.sw_ver));
        brand_->setText(q(i.brand));
        model_->setText(q(i.model));
        softwareFolder_->setText(q(i.folder));
        softwareFolder_->setToolTip(q(i.folder));
        imagesFolder_->setText(q(i.images_folder));
        imagesFolder_->setToolTip(q(i.images_folder));
    });
}

void StationWindow::SetControl(tw::station::Control c, bool visible, bool enabled) {
    later([this, c, visible, enabled] {
        if (c == tw::station::Control::LanguageButtons) {
            for (QRadioButton* r : {english_, chinese_}) {
                r->setVisible(visible);
                r->setEnabled(enabled);
            }
            return;
        }
        if (QWidget* w = control(c)) {
            w->setVisible(visible);
            w->setEnabled(enabled);
        }
    });
}

} // namespace tw::window
