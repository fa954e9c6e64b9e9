#include "window/screenshot.h"

#include <QLabel>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <cstdio>

#include "window/progress_bar.h"

namespace tw::window {

MidRunScreenshot::MidRunScreenshot(QWidget* window, QString file, std::function<void(bool)> done)
    : QObject(window), window_(window), file_(std::move(file)), done_(std::move(done)),
      timer_(new QTimer(this)) {
    connect(timer_, &QTimer::timeout, this, &MidRunScreenshot::poll);
    timer_->start(20);
}

void MidRunScreenshot::poll() {
    bool result = false;
    for (auto* bar : window_->findChildren<GradientProgressBar*>())
        result = result || bar->state() != GradientProgressBar::State::Normal;
    if (!result) return;
    // The tally under the cycle bar counts that phone too.
    const auto* counters = window_->findChild<QLabel*>(QStringLiteral("counters"));
    if (counters && counters->property("cycles").toInt() < 1) return;
    timer_->stop();
    const bool saved = window_->grab().save(file_, "PNG");
    if (!saved)
        std::fprintf(stderr, "tarnwell: cannot write %s\n", file_.toLocal8Bit().constData());
    done_(saved);
}

} // namespace tw::window
