#include "window/screenshot.h"

#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <cstdio>

#include "window/progress_bar.h"

namespace tw::window {

MidRunScreenshot::MidRunScreenshot(QWidget* window, QString file, int rows,
                                   std::function<void(bool)> done)
    : QObject(window), window_(window), file_(std::move(file)), rows_(rows), done_(std::move(done)),
      timer_(new QTimer(this)) {
    connect(timer_, &QTimer::timeout, this, &MidRunScreenshot::poll);
    timer_->start(20);
}

void MidRunScreenshot::poll() {
    int halfway = 0;
    bool finished = false;
    for (int i = 1; i <= 16; ++i) {
        auto* bar = window_->findChild<GradientProgressBar*>(QStringLiteral("slotBar%1").arg(i));
        if (!bar) continue;
        finished = finished || bar->state() != GradientProgressBar::State::Normal;
        halfway += bar->state() == GradientProgressBar::State::Normal && bar->position() >= 25 &&
                   bar->position() <= 90;
    }
    if (halfway < rows_ && !finished) return;
    if (halfway < rows_)
        std::fprintf(stderr,
                     "tarnwell: a row finished before %d rows were halfway; picture "
                     "taken now\n",
                     rows_);
    timer_->stop();
    const bool saved = window_->grab().save(file_, "PNG");
    if (!saved)
        std::fprintf(stderr, "tarnwell: cannot write %s\n", file_.toLocal8Bit().constData());
    done_(saved);
}

} // namespace tw::window
