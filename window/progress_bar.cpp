#include "window/progress_bar.h"

#include <QPainter>
#include <QPalette>
#include <cmath>

namespace tw::window {

GradientProgressBar::GradientProgressBar(QWidget* parent) : QWidget(parent) {
    // Every pixel is painted each time: nothing to erase first, so the bar does not flicker.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void GradientProgressBar::setRange(int lower, int upper) {
    if (upper <= lower) return;
    lower_ = lower;
    upper_ = upper;
    update();
}

void GradientProgressBar::setPosition(int value) {
    state_ = State::Normal;
    barColor_ = kNormalColor;
    position_ = value;
    update();
}

void GradientProgressBar::markPass() {
    markResult(State::Pass, kPassColor);
}

void GradientProgressBar::markFail() {
    markResult(State::Fail, kFailColor);
}

void GradientProgressBar::markResult(State state, QColor colour) {
    state_ = state;
    barColor_ = colour;
    position_ = upper_;
    repaint();
}

QSize GradientProgressBar::sizeHint() const {
    return {120, 32};
}

void GradientProgressBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QColor face = palette().color(QPalette::Button);
    p.fillRect(rect(), face);
    if (position_ <= lower_ || position_ > upper_) return;

    const double filled = double(position_ - lower_) / double(upper_ - lower_) * height();
    const int top = height() - int(std::lround(filled));
    p.fillRect(QRect(0, top, width(), height() - top), barColor_);

    if (state_ == State::Normal) return;
    QFont f(QStringLiteral("Arial"));
    f.setStyleHint(QFont::SansSerif);
    f.setPointSize(20);
    p.setFont(f);
    p.setPen(Qt::black);
    p.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine,
               state_ == State::Pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"));
}

} // namespace tw::window
