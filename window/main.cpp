// tarnwell: the station with its window. The options are checked before anything is shown, so
// a bad one or a missing display is a clear line on the terminal, not a Qt abort.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/clock.h"
#include "station/station.h"
#include "window/options.h"
#include "window/screenshot.h"
#include "window/station_window.h"

#if defined(__SANITIZE_THREAD__)
// Qt is not built with the thread sanitizer, which therefore cannot see the locks inside it: a
// worker's post to the GUI thread's event queue would look like a race in that queue.
// The file chooser's own helper thread (QFileInfoGatherer, in Qt's GUI library) likewise.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\nrace:libQt6Gui.so\n";
}
#endif
#if defined(__SANITIZE_ADDRESS__)
// Fontconfig keeps its font cache until the process ends, unreferenced once Qt has let go of it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
#endif

namespace {

bool HaveDisplay() {
    for (const char* v : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* s = std::getenv(v);
        if (s && *s) return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    using namespace tw::window;
    Options o;
    std::string why;
    if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), o, why)) {
        std::fprintf(stderr, "tarnwell: %s\n%s", why.c_str(), Usage());
        return 2;
    }
    if (o.help) {
        std::fputs(Usage(), stdout);
        return 0;
    }
    if (o.version) {
        std::printf("tarnwell %s\n", TARNWELL_VERSION);
        return 0;
    }
    std::error_code ec;
    if (!o.package.empty() && !std::filesystem::is_directory(o.package, ec)) {
        std::fprintf(stderr, "tarnwell: --package %s is not a folder\n", o.package.c_str());
        return 2;
    }
    const std::string home = tw::station::StationFolder::Resolve(o.home);
    if (home.empty()) {
        std::fprintf(stderr, "tarnwell: no station folder: give --home DIR\n");
        return 2;
    }
    if (o.time_scale > 0) {
        tw::clock::set_scale(o.time_scale);
        // reboot.sh and whatever it starts wait at the same pace.
        ::setenv("TARNWELL_TIME_SCALE", std::to_string(o.time_scale).c_str(), 1);
    }
    if (!o.device_dir.empty()) ::setenv("TARNWELL_DEVICE_DIR", o.device_dir.c_str(), 1);
    if (!HaveDisplay()) {
        std::fprintf(stderr,
                     "tarnwell: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are "
                     "not set).\nRun it in a desktop session or under xvfb-run, or use "
                     "`tarnwell-cli station` for the station without a window.\n");
        return 1;
    }

    // Ctrl-C and SIGTERM close the window as EXIT does (every slot stopped). Blocked here, before
    // any thread starts, so only the window's signal descriptor takes them.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    const int sigfd = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);

    QApplication app(argc, argv);
    StationWindow window;
    tw::station::Station station{tw::station::StationFolder(home), window};
    window.attach(&station);
    if (sigfd >= 0) {
        auto* notifier = new QSocketNotifier(sigfd, QSocketNotifier::Read, &window);
        QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, sigfd] {
            signalfd_siginfo info;
            while (::read(sigfd, &info, sizeof info) == sizeof info) {
            }
            window.cancelDialogsAndClose();
        });
    }
    const bool started = window.startStation(&why);
    if (window.exited()) return 0; // closed by a signal while it started
    if (!started) {
        std::fprintf(stderr, "tarnwell: station folder %s: %s\n", home.c_str(), why.c_str());
        return 1;
    }
    if (!o.package.empty() && !station.LoadPackage(o.package))
        std::fprintf(stderr, "tarnwell: %s: the package cannot be prepared\n", o.package.c_str());

    int rc = 0;
    if (!o.screenshot.empty())
        new MidRunScreenshot(&window, QString::fromStdString(o.screenshot),
                             [&rc, &window](bool saved) {
                                 rc = saved ? 0 : 1;
                                 window.close();
                             });
    window.show();
    if (o.start_all)
        QTimer::singleShot(0, &window, [&window] {
            if (auto* b = window.findChild<QPushButton*>(QStringLiteral("startAll"))) b->click();
        });
    const int app_rc = app.exec();
    station.Exit();
    if (sigfd >= 0) ::close(sigfd);
    return rc ? rc : app_rc;
}
