#pragma once
// The station's window over simulated phones, driven by clicks. Dialogs that a click opens are
// modal and block the click until closed, so their answers are queued before the click: a timer
// answers each new modal dialog with the next queued step.
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>

#include "station/password.h"
#include "tests/station/station_rig.h"
#include "window/progress_bar.h"
#include "window/station_window.h"

namespace windowtest {

using tw::window::GradientProgressBar;
using tw::window::StationWindow;

// Answers modal dialogs in the order they appear, one queued step each. A dialog nobody
// expected, or one left unanswered, fails the test and is closed, so nothing hangs.
class ModalAnswers : public QObject {
  public:
    using Step = std::function<void(QWidget*)>;

    ModalAnswers() {
        connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start(10);
    }
    ~ModalAnswers() override {
        EXPECT_TRUE(steps_.empty()) << steps_.size() << " dialogs never came";
    }

    void then(Step s) { steps_.push_back(std::move(s)); }
    bool done() const { return steps_.empty(); }

  private:
    void poll() {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || w == last_) return;
        last_ = w;
        if (steps_.empty()) {
            ADD_FAILURE() << "an unexpected dialog: " << w->metaObject()->className() << " "
                          << w->windowTitle().toStdString();
            w->close();
            return;
        }
        Step s = std::move(steps_.front());
        steps_.pop_front();
        s(w);
    }

    QTimer timer_;
    std::deque<Step> steps_;
    QPointer<QWidget> last_;
};

// ---- steps ----

inline ModalAnswers::Step Question(const char* text, QMessageBox::StandardButton answer) {
    return [=](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box) {
            ADD_FAILURE() << "expected the box \"" << text << "\"";
            w->close();
            return;
        }
        EXPECT_EQ(box->text().toStdString(), text);
        QTest::mouseClick(box->button(answer), Qt::LeftButton);
    };
}

// The password dialog: the clock's password typed and OK, or Cancel.
inline ModalAnswers::Step Password(bool give) {
    return [=](QWidget* w) {
        auto* field = w->findChild<QLineEdit*>();
        auto* ok = w->findChild<QPushButton*>(QStringLiteral("ok"));
        auto* cancel = w->findChild<QPushButton*>(QStringLiteral("cancel"));
        if (!field || !ok || !cancel) {
            ADD_FAILURE() << "expected the password dialog";
            w->close();
            return;
        }
        if (!give) {
            QTest::mouseClick(cancel, Qt::LeftButton);
            return;
        }
        QTest::keyClicks(field,
                         QString::fromStdString(tw::station::ExpectedPassword(std::time(nullptr))));
        QTest::mouseClick(ok, Qt::LeftButton);
    };
}

// Qt's folder or file chooser: the path chosen and accepted.
inline ModalAnswers::Step Choose(const std::string& path) {
    return [=](QWidget* w) {
        auto* chooser = qobject_cast<QFileDialog*>(w);
        if (!chooser) {
            ADD_FAILURE() << "expected a chooser for " << path;
            w->close();
            return;
        }
        chooser->selectFile(QString::fromStdString(path));
        static_cast<QDialog*>(chooser)->accept();
    };
}

// The language choice of the first start.
inline ModalAnswers::Step LanguageChoice(const char* radio) {
    return [=](QWidget* w) {
        for (auto* r : w->findChildren<QRadioButton*>())
            if (r->text() == QString::fromUtf8(radio)) QTest::mouseClick(r, Qt::LeftButton);
        auto* ok = w->findChild<QPushButton*>();
        if (!ok) {
            ADD_FAILURE() << "expected the language choice";
            w->close();
            return;
        }
        QTest::mouseClick(ok, Qt::LeftButton);
    };
}

// Simulated phones (the station tests' rig) and a window with its station over them.
class WindowRig : public stationtest::StationRig {
  protected:
    void TearDown() override {
        if (window) window->close();
        station.reset();
        window.reset();
        StationRig::TearDown();
    }

    // A window and its station on the rig's folder, started up (language as stored).
    StationWindow& Open() {
        window = std::make_unique<StationWindow>();
        station = std::make_unique<tw::station::Station>(tw::station::StationFolder(home), *window);
        window->attach(station.get());
        std::string why;
        EXPECT_TRUE(window->startStation(&why)) << why;
        window->show();
        QApplication::processEvents();
        return *window;
    }

    template <class T = QWidget> T* W(const QString& name) {
        T* w = window->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name.toStdString();
        return w;
    }
    QPushButton* Button(const QString& name) { return W<QPushButton>(name); }
    QPushButton* SlotButton(int n) { return Button(QStringLiteral("slotButton%1").arg(n)); }
    GradientProgressBar* Bar(int n) {
        return W<GradientProgressBar>(QStringLiteral("slotBar%1").arg(n));
    }
    std::string Text(const QString& name) {
        QApplication::processEvents();
        QWidget* w = W(name);
        if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text().toStdString();
        if (auto* l = qobject_cast<QLabel*>(w)) return l->text().toStdString();
        return "";
    }
    std::string Status(int n) { return Text(QStringLiteral("slotStatus%1").arg(n)); }
    // Clicks as the operator does; returns once the click's dialogs are closed. A click that
    // hangs (a stop waiting for a worker that waits for a box) fails: after 30 s a guard closes
    // every box, which is what unblocks such a worker.
    void Click(QAbstractButton* b) {
        std::mutex m;
        std::condition_variable cv;
        bool returned = false, hung = false;
        std::thread guard([&] {
            std::unique_lock<std::mutex> lk(m);
            if (!cv.wait_for(lk, std::chrono::seconds(30), [&] { return returned; })) {
                hung = true;
                window->boxes().closeAll();
            }
        });
        QTest::mouseClick(b, Qt::LeftButton);
        {
            std::lock_guard<std::mutex> g(m);
            returned = true;
        }
        cv.notify_all();
        guard.join();
        EXPECT_FALSE(hung) << "the click on " << b->objectName().toStdString()
                           << " hung until every box was closed";
    }

    std::unique_ptr<StationWindow> window; // the rig's `station` runs under it
};

} // namespace windowtest
