// The station's window driven by its buttons: the language at the first start and its switch,
// a whole run of two simulated phones, and the program's command line.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

#include "platform/ini.h"
#include "tests/window/window_rig.h"

using namespace windowtest;
using tw::station::Language;

namespace {

// Every caption the language switch sets, by widget, in English and Chinese.
struct Caption {
    const char* widget;
    const char* english;
    const char* chinese;
};
const Caption kCaptions[] = {
    {"backup", "Backup", "备份"},
    {"selectSoftware", "Select Software", "读取软件"},
    {"slotButton1", "START", "开始"},
    {"cleanConfiguration", "Clean  Configuration", "清空配置"},
    {"exit", "EXIT", "退出"},
    {"repairMode", "RepairMode", "修复模式"},
    {"selectQcnFile", "Select  QCN File", "选择QCN文件"},
    {"slotStatus1", "Waiting", "等待"},
    {"versionLine", "version:" TARNWELL_VERSION, "工具版本:" TARNWELL_VERSION},
    {"swVerLabel", "SW Ver:", "软件版本:"},
    {"brandLabel", "Brand:", "品牌:"},
    {"modelLabel", "Model:", "型号:"},
    {"noticeTitle", "NOTICE", "注意"},
    {"noticeText",
     "Please make sure the battery in 50% above before update.And do not pull out the mobile "
     "phone during update！",
     "升级前请确保手机电量50%以上，升级过程中请勿拔出手机！"},
    {"restore", "Restore", "恢复"},
    {"slotButton16", "START", "开始"},
};

class Window : public WindowRig {
  protected:
    // At the start slot 1 reads "Waiting...."; after a switch "Waiting".
    void ExpectCaptions(Language lang, bool at_start = false) {
        const bool zh = lang == Language::Chinese;
        for (Caption c : kCaptions) {
            if (at_start && std::string(c.widget) == "slotStatus1")
                c = {c.widget, "Waiting....", "请等待..."};
            EXPECT_EQ(Text(QString::fromLatin1(c.widget)), zh ? c.chinese : c.english)
                << c.widget << (zh ? " in Chinese" : " in English");
        }
        EXPECT_EQ(window->windowTitle().toStdString(), "Android 2.3 Tarnwell");
        // The tally switches too; no phone has finished yet.
        EXPECT_EQ(Text("counters"),
                  zh ? "通过 0  失败 0  平均 0.0 秒" : "Passed 0  Failed 0  Mean 0.0 s");
        EXPECT_EQ(W<QRadioButton>("chinese")->isChecked(), zh);
        EXPECT_EQ(W<QRadioButton>("english")->isChecked(), !zh);
        EXPECT_EQ(tw::ini::read_string(home + "inifile.ini", "Language", "Language"),
                  zh ? "Chinese" : "English");
    }
};

} // namespace

TEST_F(Window, FirstStartAsksTheLanguageAndTheRadiosSwitchEveryCaption) {
    ModalAnswers answers;
    answers.then(LanguageChoice("中文")); // no language stored yet: the station asks
    Open();
    EXPECT_TRUE(answers.done());
    ExpectCaptions(Language::Chinese, true);

    Click(W<QRadioButton>("english"));
    ExpectCaptions(Language::English);
    Click(W<QRadioButton>("chinese"));
    ExpectCaptions(Language::Chinese);
}

TEST_F(Window, RepairModeTheQcnFileChooserAndCleanConfiguration) {
    tw::ini::write_string(home + "inifile.ini", "Language", "Language", "English");
    Open();
    const std::string qcn = home + "chosen.qcn";
    tw::ini::write_file_atomic(qcn, "x");
    ModalAnswers answers;
    answers.then(Choose(qcn));
    Click(Button("selectQcnFile"));
    EXPECT_TRUE(station->RepairMode());
    EXPECT_EQ(station->QcnFile(), qcn);
    QApplication::processEvents();
    EXPECT_TRUE(Button("backup")->isHidden());
    EXPECT_TRUE(Button("restore")->isHidden());
    EXPECT_TRUE(Button("repairMode")->isChecked());
    Click(Button("repairMode")); // off again
    EXPECT_FALSE(station->RepairMode());
    QApplication::processEvents();
    EXPECT_FALSE(Button("backup")->isHidden());
    EXPECT_FALSE(Button("repairMode")->isChecked());

    // Clean Configuration: the password cancelled is refused and nothing is cleaned.
    ASSERT_TRUE(station->LoadPackage(stationtest::Package()));
    auto configured = [&] {
        return tw::ini::read_string(home + "inifile.ini", "PhoneSoftwarePath",
                                    "PhoneSoftwarePathName");
    };
    EXPECT_EQ(configured(), stationtest::Package());
    EXPECT_EQ(Text("softwareFolder"), stationtest::Package());
    answers.then(Password(false));
    answers.then(Question("Password error，Please rewrite！", QMessageBox::Ok));
    Click(Button("cleanConfiguration"));
    EXPECT_EQ(configured(), stationtest::Package());
    answers.then(Password(true));
    Click(Button("cleanConfiguration"));
    EXPECT_TRUE(answers.done());
    EXPECT_EQ(configured(), "");
    EXPECT_EQ(Text("softwareFolder"), "");
}

TEST_F(Window, WholeRunOfTwoPhonesByItsButtons) {
    ASSERT_TRUE(StartPhones(2));
    tw::ini::write_string(home + "inifile.ini", "Language", "Language", "English");
    Open();

    // The software, behind the password, from Qt's folder chooser.
    {
        ModalAnswers answers;
        answers.then(Password(true));
        answers.then(Choose(stationtest::Package()));
        Click(Button("selectSoftware"));
        EXPECT_TRUE(answers.done());
    }
    const auto rom = tw::station::ReadRomInfo(tw::station::FindRomInfo(stationtest::Package()));
    ASSERT_FALSE(rom.sw_ver.empty());
    EXPECT_EQ(Text("swVer"), rom.sw_ver);
    EXPECT_EQ(Text("model"), rom.model);

    Click(Button("startAll"));
    EXPECT_EQ(Text("startAll"), "停止全部下载");
    for (int n = 1; n <= 16; ++n)
        EXPECT_EQ(Text(QStringLiteral("slotButton%1").arg(n)), "STOP") << n;
    // Slot 1 runs: the language is kept until it stops.
    EXPECT_FALSE(W<QRadioButton>("chinese")->isEnabled());

    // Both phones through the whole cycle; slot 1's end shows its box.
    auto passed = [&](int n) { return Bar(n)->state() == GradientProgressBar::State::Pass; };
    ASSERT_TRUE(QTest::qWaitFor([&] { return passed(1) && passed(2); }, 90000))
        << "rows: " << Status(1) << " / " << Status(2);
    EXPECT_EQ(Bar(1)->barColor(), GradientProgressBar::kPassColor);
    EXPECT_EQ(Bar(2)->barColor(), GradientProgressBar::kPassColor);
    // The tally follows the rows: two phones passed, one on each of the two rows.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Text("counters").rfind("Passed 2  Failed 0  Mean ", 0) == 0; }, 10000))
        << Text("counters");
    const QString tip = W<QLabel>("slotStatus2")->toolTip();
    EXPECT_TRUE(tip.startsWith("Passed 1  Failed 0  Mean ")) << tip.toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->boxes().openBox(0) != nullptr; }, 10000));
    QMessageBox* done = window->boxes().openBox(0);
    EXPECT_EQ(done->text().toStdString(), "Update complete!Please stop update!");
    EXPECT_TRUE(done->isVisible());
    QPointer<QMessageBox> slot1Box = done;

    ModalAnswers answers;
    // Stop all, answered No: every slot keeps running.
    answers.then(Question("正在下载中，是否要终止下载 ?", QMessageBox::No));
    Click(Button("startAll"));
    EXPECT_EQ(Text("slotButton2"), "STOP");
    EXPECT_TRUE(station->Running(1));

    // Slot 2's stop: Yes, then the password cancelled: refused, the slot runs on.
    answers.then(Question("正在下载中，是否要终止下载 ?", QMessageBox::Yes));
    answers.then(Password(false));
    answers.then(Question("密码输入错误，请重新输入！", QMessageBox::Ok));
    Click(SlotButton(2));
    EXPECT_TRUE(answers.done());
    EXPECT_EQ(Text("slotButton2"), "STOP");
    EXPECT_TRUE(passed(2));

    // Again with the password: slot 2 stops, slot 1 keeps its PASS.
    answers.then(Question("正在下载中，是否要终止下载 ?", QMessageBox::Yes));
    answers.then(Password(true));
    Click(SlotButton(2));
    EXPECT_TRUE(answers.done());
    EXPECT_FALSE(station->Running(1));
    EXPECT_EQ(Text("slotButton2"), "START");
    EXPECT_EQ(Status(2), "Waiting");
    EXPECT_EQ(Bar(2)->state(), GradientProgressBar::State::Normal);
    EXPECT_EQ(Bar(2)->position(), 0);
    EXPECT_TRUE(passed(1));

    // Slot 1 stopped while its box is still open: the box goes, the stop does not wait for it.
    ASSERT_TRUE(slot1Box && slot1Box->isVisible());
    answers.then(Question("DO you want to stop downloading?", QMessageBox::Yes));
    Click(SlotButton(1));
    EXPECT_TRUE(answers.done());
    EXPECT_FALSE(station->Running(0));
    EXPECT_EQ(Text("slotButton1"), "START");
    EXPECT_TRUE(W<QRadioButton>("chinese")->isEnabled());
    EXPECT_TRUE(!slot1Box || !slot1Box->isVisible());
    EXPECT_EQ(window->boxes().pending(0), 0);

    // EXIT stops the other fourteen and closes the window.
    EXPECT_TRUE(station->Running(15));
    Click(Button("exit"));
    EXPECT_FALSE(window->isVisible());
    for (int i = 0; i < 16; ++i)
        EXPECT_FALSE(station->Running(i)) << i;
}

TEST_F(Window, AFailedPhoneTurnsItsRowRedAndItsWorkerWaitsForTheBox) {
    ASSERT_TRUE(StartPhones(1, {"0/diag:reset-unplug"})); // gone for good after its reset
    tw::ini::write_string(home + "inifile.ini", "Language", "Language", "English");
    Open();
    ASSERT_TRUE(station->LoadPackage(stationtest::Package()));
    Click(SlotButton(1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->boxes().openBox(0) != nullptr; }, 60000));
    QMessageBox* box = window->boxes().openBox(0);
    EXPECT_EQ(box->text().toStdString(), "Can't find phone！Please check the phone and driver！");
    EXPECT_EQ(box->windowTitle().toStdString(), "Android 2.3");
    // It opens just below its row's bar.
    const QPoint under = Bar(1)->mapToGlobal(QPoint(Bar(1)->width() / 2, Bar(1)->height()));
    EXPECT_LE(std::abs(box->frameGeometry().top() - under.y()), 2) << box->geometry().top();
    EXPECT_TRUE(box->frameGeometry().left() <= under.x() &&
                under.x() <= box->frameGeometry().right());
    EXPECT_EQ(Bar(1)->state(), GradientProgressBar::State::Fail);
    EXPECT_EQ(Bar(1)->barColor(), GradientProgressBar::kFailColor);
    EXPECT_EQ(Status(1), "Fail");
    EXPECT_EQ(window->boxes().pending(0), 1); // the worker waits for the operator
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->boxes().pending(0) == 0; }, 10000));
    EXPECT_EQ(Text("slotButton1"), "STOP");
}

// The program checks its command line, and its display, before it opens anything.
TEST(WindowProgram, SaysWhatIsWrongBeforeOpeningAWindow) {
    struct {
        const char* args;
        int status;
        const char* says;
    } cases[] = {
        {"--time-scale 0", 2, "--time-scale needs a positive number, not '0'"},
        {"--home", 2, "--home needs a value"},
        {"--package /nonexistent-folder", 2, "--package /nonexistent-folder is not a folder"},
        {"--bogus", 2, "unknown option --bogus"},
        {"--home /tmp/tw-window-nodisplay", 1, "no display to open the window on"},
    };
    for (const auto& c : cases) {
        const std::string cmd =
            std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") + TW_TARNWELL +
            " " + c.args + " 2>&1";
        FILE* p = ::popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[512];
        while (size_t n = std::fread(buf, 1, sizeof buf, p))
            out.append(buf, n);
        const int st = ::pclose(p);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == c.status) << c.args << ": " << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.args << ": " << out;
    }
}
