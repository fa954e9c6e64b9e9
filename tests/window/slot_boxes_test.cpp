// Boxes asked from worker threads: several slots at once, one per slot, and a stop that releases
// a worker waiting for its answer.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "window/slot_boxes.h"

using tw::window::SlotMessageBoxes;
using Answer = SlotMessageBoxes::Answer;
using Buttons = SlotMessageBoxes::Buttons;

namespace {

// A worker thread that asks one box and keeps the answer.
struct Worker {
    Worker(SlotMessageBoxes& boxes, int slot, QString text, Buttons buttons)
        : thread([=, &boxes, this] {
              answer = boxes.ask(slot, text, "Tarnwell", SlotMessageBoxes::Icon::Warning, buttons);
              finished = true;
          }) {}
    std::atomic<Answer> answer{Answer::Closed};
    std::atomic<bool> finished{false};
    std::thread thread;
};

class SlotBoxes : public ::testing::Test {
  protected:
    // Every box closed before the workers are joined, so a failed check cannot hang the run. A
    // worker that even that does not release is a failure; it and what it uses are left behind.
    void TearDown() override {
        boxes->closeAll();
        bool stuck = false;
        for (auto& w : workers)
            if (w->thread.joinable() && !joined(*w)) stuck = true, w->thread.detach();
        if (stuck) {
            ADD_FAILURE() << "a worker stayed blocked after every box was closed";
            (void)boxes.release();
            for (auto& w : workers)
                (void)w.release();
        }
    }
    Worker& start(int slot, const QString& text, Buttons buttons = Buttons::Ok) {
        return *workers.emplace_back(std::make_unique<Worker>(*boxes, slot, text, buttons));
    }
    // Joins the worker once it has returned. A deadlock guard, not a measure of speed.
    static bool joined(Worker& w) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!w.finished && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (w.finished) w.thread.join();
        return w.finished;
    }
    bool shown(int slot) {
        return QTest::qWaitFor(
            [&] { return boxes->openBox(slot) && boxes->openBox(slot)->isVisible(); });
    }
    void click(int slot, QMessageBox::StandardButton b) {
        QTest::mouseClick(boxes->openBox(slot)->button(b), Qt::LeftButton);
    }
    // The texts of the message boxes the operator sees.
    static QStringList visibleBoxes() {
        QApplication::processEvents();
        QStringList texts;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) texts << b->text();
        texts.sort();
        return texts;
    }

    std::unique_ptr<SlotMessageBoxes> boxes = std::make_unique<SlotMessageBoxes>();
    std::vector<std::unique_ptr<Worker>> workers;
};

} // namespace

TEST_F(SlotBoxes, TwoSlotsBoxesAreOpenTogetherAndEachAnswerGoesToItsWorker) {
    Worker& first = start(0, "Stop slot 1?", Buttons::YesNo);
    Worker& second = start(1, "Update Failed!");
    ASSERT_TRUE(shown(0) && shown(1));
    EXPECT_EQ(visibleBoxes(), (QStringList{"Stop slot 1?", "Update Failed!"}));
    EXPECT_EQ(boxes->openBox(1)->windowTitle(), "Tarnwell");
    // The window stays usable behind them: its stop buttons can be clicked.
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    click(0, QMessageBox::No);
    ASSERT_TRUE(joined(first));
    EXPECT_EQ(first.answer, Answer::No);
    EXPECT_EQ(visibleBoxes(), QStringList{"Update Failed!"});
    click(1, QMessageBox::Ok);
    ASSERT_TRUE(joined(second));
    EXPECT_EQ(second.answer, Answer::Ok);
}

TEST_F(SlotBoxes, ASlotShowsOneBoxAtATimeInTheOrderAsked) {
    Worker& first = start(2, "first", Buttons::YesNo);
    ASSERT_TRUE(shown(2));
    Worker& second = start(2, "second", Buttons::YesNo);
    ASSERT_TRUE(QTest::qWaitFor([&] { return boxes->pending(2) == 2; }));
    EXPECT_EQ(visibleBoxes(), QStringList{"first"});

    click(2, QMessageBox::Yes);
    ASSERT_TRUE(joined(first));
    EXPECT_EQ(first.answer, Answer::Yes);
    ASSERT_TRUE(shown(2));
    EXPECT_EQ(visibleBoxes(), QStringList{"second"});
    click(2, QMessageBox::No);
    ASSERT_TRUE(joined(second));
    EXPECT_EQ(second.answer, Answer::No);
}

TEST_F(SlotBoxes, CloseOfASlotReleasesItsWorkerAtOnceAndLeavesOtherSlotsAlone) {
    // The GUI thread is busy with a stop before it ever got to show the slot's box.
    Worker& early = start(5, "never shown");
    while (boxes->pending(5) == 0)
        std::this_thread::yield();
    boxes->closeSlot(5);
    ASSERT_TRUE(joined(early));
    EXPECT_EQ(early.answer, Answer::Closed);
    EXPECT_EQ(visibleBoxes(), QStringList{});

    // A stop on the GUI thread while the box is open: close, then wait for the worker, with no
    // event processing in between.
    Worker& stopped = start(3, "Can't find phone！");
    Worker& other = start(4, "Update Failed!");
    ASSERT_TRUE(shown(3) && shown(4));
    boxes->closeSlot(3);
    ASSERT_TRUE(joined(stopped));
    EXPECT_EQ(stopped.answer, Answer::Closed);
    EXPECT_EQ(visibleBoxes(), QStringList{"Update Failed!"});
    EXPECT_FALSE(other.finished);

    // Until the slot starts again its worker's asks return at once, without a box.
    Worker& late = start(3, "late");
    ASSERT_TRUE(joined(late));
    EXPECT_EQ(late.answer, Answer::Closed);
    EXPECT_EQ(visibleBoxes(), QStringList{"Update Failed!"});
    boxes->reopenSlot(3);
    Worker& again = start(3, "again");
    ASSERT_TRUE(shown(3));
    click(3, QMessageBox::Ok);
    ASSERT_TRUE(joined(again));
    EXPECT_EQ(again.answer, Answer::Ok);
}

TEST_F(SlotBoxes, AskedOnTheGuiThreadTheBoxIsModalAndTheAnswerReturns) {
    QTimer::singleShot(0, [this] {
        if (!shown(6)) return boxes->closeSlot(6); // the ask below then fails, not hangs
        EXPECT_TRUE(boxes->openBox(6)->isModal());
        click(6, QMessageBox::Yes);
    });
    EXPECT_EQ(boxes->ask(6, "Clean?", "Tarnwell", SlotMessageBoxes::Icon::Question, Buttons::YesNo),
              Answer::Yes);
}
