#pragma once
// Message boxes and questions asked by the slots' worker threads, shown on the GUI thread.
//
// ask() blocks its caller until the operator answers. A slot has at most one box open at a time
// (a second ask for the same slot waits for the first to be answered), while the boxes of
// different slots stay open together. A stop of a slot calls closeSlot() on the GUI thread: the
// slot's boxes disappear and every ask() of the slot returns Closed at once, so the stop can then
// wait for the worker without a deadlock. Until reopenSlot(), later asks of that slot return
// Closed at once as well: a worker on its way out cannot block the stop's wait with a new box.
//
// Knows nothing of the station: a slot index, texts, an icon and buttons in, an answer out.
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QSize>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

class QMessageBox;
class QWidget;

namespace tw::window {

class SlotMessageBoxes : public QObject {
    Q_OBJECT

  public:
    enum class Icon { None, Information, Warning, Error, Question };
    enum class Buttons { Ok, OkCancel, YesNo };
    enum class Answer { Ok, Cancel, Yes, No, Closed };

    // Construct on the GUI thread; boxes are shown over window (may be null). Destroy it only
    // after every worker that may ask has ended: destruction closes every box, and an ask()
    // that arrives afterwards would touch a dead object.
    explicit SlotMessageBoxes(QWidget* window = nullptr);
    ~SlotMessageBoxes() override;

    // Any thread. Shows the box on the GUI thread and waits for the answer. Asked on the GUI
    // thread itself, the box is application-modal and the wait runs the event loop.
    Answer ask(int slot, const QString& text, const QString& caption, Icon icon = Icon::Information,
               Buttons buttons = Buttons::Ok);

    // Any thread (a stop calls it on the GUI thread). Closes the slot's box and releases every
    // ask() of the slot with Closed; refuses the slot's asks until reopenSlot().
    void closeSlot(int slot);
    // A start of the slot: its asks are shown again.
    void reopenSlot(int slot);
    // Every slot, for good (the window is closing).
    void closeAll();

    // Where a slot's box opens (GUI thread): its top-left corner for a box of that size, or
    // nothing for the default place, centred over the window.
    using Placement = std::function<std::optional<QPoint>(int slot, QSize box)>;
    void setPlacement(Placement placement) { placement_ = std::move(placement); }

    // GUI thread: the slot's open box, or null.
    QMessageBox* openBox(int slot) const;
    // Any thread: the slot's asks not answered yet (the open one and those waiting behind it).
    int pending(int slot) const;

  signals:
    // A box was answered or closed (emitted on the thread that finished it).
    void finished(int slot);

  private:
    struct Request;
    struct Slot {
        std::shared_ptr<Request> shown;
        std::deque<std::shared_ptr<Request>> waiting;
        bool refused = false;
    };

    void showNext(int slot); // GUI thread
    void onBoxFinished(const std::shared_ptr<Request>& r);
    void dropBox(const std::shared_ptr<Request>& r); // GUI thread
    // Under m_: releases the slot's asks; returns the request whose box is to be dropped.
    std::shared_ptr<Request> closeLocked(Slot& s);

    QPointer<QWidget> window_;
    Placement placement_; // GUI thread
    mutable std::mutex m_;
    std::condition_variable answered_;
    std::map<int, Slot> slots_;
    bool all_closed_ = false;
};

} // namespace tw::window
