#pragma once
// The progress bar of a slot row and of the cycle: a solid bar that fills from the bottom edge
// upwards, turned green with "PASS" or red with "FAIL" when a slot has finished.
//
// A widget: create and drive it from the GUI thread only. Workers reach it through the window,
// which forwards their reports to the GUI thread.
#include <QColor>
#include <QWidget>

namespace tw::window {

class GradientProgressBar : public QWidget {
    Q_OBJECT

  public:
    enum class State { Normal, Pass, Fail };

    static constexpr QColor kNormalColor{35, 50, 228};
    static constexpr QColor kPassColor{0, 255, 0};
    static constexpr QColor kFailColor{255, 0, 0};

    explicit GradientProgressBar(QWidget* parent = nullptr);

    // 0..100 for a slot's bar, 0..1200 for the cycle bar. An empty or inverted range is refused.
    void setRange(int lower, int upper);
    int lower() const { return lower_; }
    int upper() const { return upper_; }

    // Leaves PASS/FAIL: normal colour, then the new position. A position at or below the lower
    // bound, or above the upper bound, shows an empty bar.
    void setPosition(int value);
    // The bar turns full and green with "PASS" / red with "FAIL"; repainted at once.
    void markPass();
    void markFail();

    int position() const { return position_; }
    State state() const { return state_; }
    QColor barColor() const { return barColor_; }

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void markResult(State state, QColor colour);

    int lower_ = 0;
    int upper_ = 100;
    int position_ = 0;
    QColor barColor_ = kNormalColor;
    State state_ = State::Normal;
};

} // namespace tw::window
