#include "window/slot_boxes.h"

#include <QAbstractButton>
#include <QEventLoop>
#include <QMessageBox>
#include <QThread>

namespace tw::window {

struct SlotMessageBoxes::Request {
    Request(int slot, QString text, QString caption, Icon icon, Buttons buttons, bool modal)
        : slot(slot), text(std::move(text)), caption(std::move(caption)), icon(icon),
          buttons(buttons), modal(modal) {}

    int slot;
    QString text, caption;
    Icon icon;
    Buttons buttons;
    bool modal; // asked on the GUI thread
    bool done = false;
    Answer answer = Answer::Closed;
    QPointer<QMessageBox> box; // GUI thread only
};

namespace {

QMessageBox::Icon qtIcon(SlotMessageBoxes::Icon icon) {
    using I = SlotMessageBoxes::Icon;
    switch (icon) {
    case I::Information:
        return QMessageBox::Information;
    case I::Warning:
        return QMessageBox::Warning;
    case I::Error:
        return QMessageBox::Critical;
    case I::Question:
        return QMessageBox::Question;
    case I::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons qtButtons(SlotMessageBoxes::Buttons buttons) {
    using B = SlotMessageBoxes::Buttons;
    switch (buttons) {
    case B::OkCancel:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case B::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case B::Ok:
        break;
    }
    return QMessageBox::Ok;
}

SlotMessageBoxes::Answer answerOf(QMessageBox* box) {
    using A = SlotMessageBoxes::Answer;
    switch (box->standardButton(box->clickedButton())) {
    case QMessageBox::Ok:
        return A::Ok;
    case QMessageBox::Cancel:
        return A::Cancel;
    case QMessageBox::Yes:
        return A::Yes;
    case QMessageBox::No:
        return A::No;
    default:
        return A::Closed;
    }
}

} // namespace

SlotMessageBoxes::SlotMessageBoxes(QWidget* window) : window_(window) {}

SlotMessageBoxes::~SlotMessageBoxes() {
    closeAll();
}

SlotMessageBoxes::Answer SlotMessageBoxes::ask(int slot, const QString& text,
                                               const QString& caption, Icon icon, Buttons buttons) {
    const bool onGuiThread = QThread::currentThread() == thread();
    auto r = std::make_shared<Request>(slot, text, caption, icon, buttons, onGuiThread);
    {
        std::lock_guard<std::mutex> g(m_);
        Slot& s = slots_[slot];
        if (all_closed_ || s.refused) return Answer::Closed;
        s.waiting.push_back(r);
    }
    QMetaObject::invokeMethod(
        this, [this, slot] { showNext(slot); }, Qt::QueuedConnection);

    if (!onGuiThread) {
        std::unique_lock<std::mutex> lk(m_);
        answered_.wait(lk, [&] { return r->done; });
        return r->answer;
    }
    // The GUI thread cannot block: it has to show the box. Run its events until answered.
    QEventLoop loop;
    connect(this, &SlotMessageBoxes::finished, &loop, [&] {
        std::lock_guard<std::mutex> g(m_);
        if (r->done) loop.quit();
    });
    {
        std::lock_guard<std::mutex> g(m_);
        if (r->done) return r->answer;
    }
    loop.exec();
    return r->answer;
}

void SlotMessageBoxes::showNext(int slot) {
    std::shared_ptr<Request> r;
    {
        std::lock_guard<std::mutex> g(m_);
        Slot& s = slots_[slot];
        if (s.shown || s.waiting.empty()) return;
        r = s.waiting.front();
        s.waiting.pop_front();
        s.shown = r;
    }
    auto* box = new QMessageBox(qtIcon(r->icon), r->caption, r->text, qtButtons(r->buttons),
                                window_.data());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(r->modal ? Qt::ApplicationModal : Qt::NonModal);
    connect(box, &QMessageBox::finished, this, [this, r] { onBoxFinished(r); });
    {
        std::lock_guard<std::mutex> g(m_);
        r->box = box;
    }
    if (placement_)
        if (const auto at = placement_(slot, box->sizeHint())) box->move(*at);
    box->show();
}

void SlotMessageBoxes::onBoxFinished(const std::shared_ptr<Request>& r) {
    const Answer a = r->box ? answerOf(r->box) : Answer::Closed;
    {
        std::lock_guard<std::mutex> g(m_);
        Slot& s = slots_[r->slot];
        if (!r->done) {
            r->done = true;
            r->answer = a;
        }
        if (s.shown == r) s.shown.reset();
    }
    answered_.notify_all();
    emit finished(r->slot);
    showNext(r->slot);
}

std::shared_ptr<SlotMessageBoxes::Request> SlotMessageBoxes::closeLocked(Slot& s) {
    s.refused = true;
    for (auto& w : s.waiting)
        w->done = true; // answer stays Closed
    s.waiting.clear();
    std::shared_ptr<Request> shown = std::move(s.shown);
    if (shown) shown->done = true;
    return shown;
}

void SlotMessageBoxes::closeSlot(int slot) {
    std::shared_ptr<Request> shown;
    {
        std::lock_guard<std::mutex> g(m_);
        shown = closeLocked(slots_[slot]);
    }
    answered_.notify_all();
    emit finished(slot);
    if (!shown) return;
    if (QThread::currentThread() == thread())
        dropBox(shown);
    else
        QMetaObject::invokeMethod(
            this, [this, shown] { dropBox(shown); }, Qt::QueuedConnection);
}

void SlotMessageBoxes::reopenSlot(int slot) {
    std::lock_guard<std::mutex> g(m_);
    slots_[slot].refused = false;
}

void SlotMessageBoxes::closeAll() {
    std::vector<std::pair<int, std::shared_ptr<Request>>> shown;
    {
        std::lock_guard<std::mutex> g(m_);
        all_closed_ = true;
        for (auto& [slot, s] : slots_)
            shown.emplace_back(slot, closeLocked(s));
    }
    answered_.notify_all();
    for (auto& [slot, r] : shown) {
        emit finished(slot);
        if (!r) continue;
        if (QThread::currentThread() == thread())
            dropBox(r);
        else
            QMetaObject::invokeMethod(
                this, [this, r = r] { dropBox(r); }, Qt::QueuedConnection);
    }
}

void SlotMessageBoxes::dropBox(const std::shared_ptr<Request>& r) {
    QMessageBox* box = r->box;
    if (!box) return;
    box->disconnect(this); // its answer no longer matters: the ask has returned Closed
    box->hide();
    box->deleteLater();
}

QMessageBox* SlotMessageBoxes::openBox(int slot) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = slots_.find(slot);
    if (it == slots_.end() || !it->second.shown) return nullptr;
    return it->second.shown->box;
}

int SlotMessageBoxes::pending(int slot) const {
    std::lock_guard<std::mutex> g(m_);
    auto it = slots_.find(slot);
    if (it == slots_.end()) return 0;
    return int(it->second.waiting.size()) + (it->second.shown ? 1 : 0);
}

} // namespace tw::window
