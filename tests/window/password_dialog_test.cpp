// The password dialog driven as an operator would: typing, clicking OK or Cancel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <ctime>

#include "window/password_dialog.h"

using tw::window::Language;
using tw::window::PasswordDialog;

namespace {

// 10:<minute>:30 local time on a day without a clock change.
PasswordDialog::Clock at(int minute) {
    return [=] {
        std::tm tm{};
        tm.tm_year = 2026 - 1900, tm.tm_mon = 11, tm.tm_mday = 8;
        tm.tm_hour = 10, tm.tm_min = minute, tm.tm_sec = 30, tm.tm_isdst = -1;
        return std::mktime(&tm);
    };
}

// Types the entry and presses OK; returns the box the dialog showed, if any.
QMessageBox* enter(QWidget* d, const QString& entry, const char* button = "ok") {
    QTest::keyClicks(d->findChild<QLineEdit*>(), entry);
    QTest::mouseClick(d->findChild<QPushButton*>(button), Qt::LeftButton);
    for (QMessageBox* box : d->findChildren<QMessageBox*>())
        if (box->isVisible()) return box;
    return nullptr;
}

} // namespace

TEST(PasswordDialog, WrongEntryKeepsTheDialogOpenWithAnEmptyField) {
    for (auto [lang, message] : {std::pair{Language::English, "Password error，Please Rewrite"},
                                 std::pair{Language::Chinese, "密码输入错误，请重新输入"}}) {
        PasswordDialog d(PasswordDialog::Role::Password, lang);
        d.setClock(at(7));
        d.show();
        QMessageBox* box = enter(&d, "42");
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), QString::fromUtf8(message));
        EXPECT_TRUE(d.isVisible());
        EXPECT_FALSE(d.isAccepted());
        EXPECT_TRUE(d.findChild<QLineEdit*>()->text().isEmpty());
        box->accept();
        EXPECT_EQ(enter(&d, "07"), nullptr); // the next try, right, goes through
        EXPECT_TRUE(d.isAccepted());
        EXPECT_FALSE(d.isVisible());
    }
}

TEST(PasswordDialog, TheClocksMinuteAndTheMinuteBeforeAreAccepted) {
    struct {
        int minute;
        const char* entry;
        bool accepted;
    } cases[] = {{7, "07", true},    {7, "06", true},  {0, "59", true},   {0, "00", true},
                 {30, " 30 ", true}, {7, "08", false}, {7, "05", false},  {7, "7", false},
                 {59, "00", false},  {7, "", false},   {7, "0706", false}};
    for (const auto& c : cases) {
        PasswordDialog d(PasswordDialog::Role::Password, Language::English);
        d.setClock(at(c.minute));
        d.show();
        QMessageBox* box = enter(&d, c.entry);
        EXPECT_EQ(d.isAccepted(), c.accepted) << "minute " << c.minute << " entry " << c.entry;
        EXPECT_EQ(box == nullptr, c.accepted) << "minute " << c.minute << " entry " << c.entry;
    }
}

TEST(PasswordDialog, CancelLeavesTheGuardedActionUndone) {
    // The operator types the right code and changes their mind; then once more and means it.
    for (const char* button : {"cancel", "ok"}) {
        QTimer::singleShot(0, [button] { enter(QApplication::activeModalWidget(), "33", button); });
        bool done = false;
        if (PasswordDialog::askPassword(nullptr, Language::Chinese, at(33))) done = true;
        EXPECT_EQ(done, std::string(button) == "ok");
    }
}

TEST(PasswordDialog, LanguageChoiceGivesTheChosenLanguageOrNothing) {
    for (auto [label, choice] :
         {std::pair{"中文", "Chinese"}, std::pair{"English", "English"}, std::pair{"", ""}}) {
        QTimer::singleShot(0, [label = QString::fromUtf8(label)] {
            QWidget* d = QApplication::activeModalWidget();
            for (QRadioButton* radio : d->findChildren<QRadioButton*>())
                if (radio->text() == label) QTest::mouseClick(radio, Qt::LeftButton);
            QTest::mouseClick(d->findChild<QPushButton*>(), Qt::LeftButton);
        });
        EXPECT_EQ(PasswordDialog::askLanguage(nullptr), QString::fromUtf8(choice));
    }
}
