// The window's tests need a QApplication; without a display they draw on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

// Qt is not built with the thread sanitizer, which therefore cannot see the locks inside it: a
// post to the GUI thread's event queue from a worker would look like a race in that queue.
// The file chooser's own helper thread (QFileInfoGatherer, in Qt's GUI library) likewise.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\nrace:libQt6Gui.so\n";
}
// Fontconfig keeps its font cache until the process ends, unreferenced once Qt has let go of it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt warns on every start without a private runtime folder (mkdtemp makes it 0700).
    std::string runtime = "/tmp/tw-window-runtime-XXXXXX";
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") || !::mkdtemp(runtime.data()))
        runtime.clear();
    if (!runtime.empty()) ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

    testing::InitGoogleTest(&argc, argv);
    int rc;
    {
        QApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    std::error_code ec;
    if (!runtime.empty()) std::filesystem::remove_all(runtime, ec);
    return rc;
}
