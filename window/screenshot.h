#pragma once
// The documentation's picture of the window in the middle of a run: the window is watched every
// 20 ms and saved as a PNG (QWidget::grab, so no screen is needed) as soon as the first slot row
// shows its result, PASS or FAIL, and the tally under the cycle bar counts it, while the others
// are still on their way. GUI thread only.
#include <QObject>
#include <QString>
#include <functional>

class QTimer;
class QWidget;

namespace tw::window {

class MidRunScreenshot : public QObject {
    Q_OBJECT

  public:
    // done(saved) is called once, after the picture was written (or failed to be).
    MidRunScreenshot(QWidget* window, QString file, std::function<void(bool)> done);

  private:
    void poll();

    QWidget* window_;
    QString file_;
    std::function<void(bool)> done_;
    QTimer* timer_;
};

} // namespace tw::window
