#include "window/password_dialog.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "station/password.h"

namespace tw::window {
namespace {

std::time_t systemTime() {
    return std::time(nullptr);
}

// A box over the dialog that leaves the dialog open; the field gets the focus back after it.
void openBox(QWidget* dialog, QMessageBox::Icon icon, const QString& text, QWidget* field) {
    auto* box =
        new QMessageBox(icon, QString::fromUtf8(kBoxCaption), text, QMessageBox::Ok, dialog);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QDialog::finished, field, qOverload<>(&QWidget::setFocus));
    box->open();
}

} // namespace

PasswordDialog::PasswordDialog(Role role, Language lang, QWidget* parent)
    : QDialog(parent), role_(role), lang_(lang), clock_(systemTime) {
    setModal(true);
    if (role_ == Role::Language)
        buildLanguageRole();
    else
        buildPasswordRole();
}

void PasswordDialog::setClock(Clock clock) {
    clock_ = clock ? std::move(clock) : systemTime;
}

void PasswordDialog::buildLanguageRole() {
    setWindowTitle(QString::fromUtf8(kLanguageTitle));
    chinese_ = new QRadioButton(QString::fromUtf8(kChineseChoice), this);
    english_ = new QRadioButton(QString::fromUtf8(kEnglishChoice), this);
    auto* group = new QButtonGroup(this); // exclusive: a click clears the other radio
    group->addButton(chinese_);
    group->addButton(english_);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &PasswordDialog::onLanguageOk);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(chinese_);
    layout->addWidget(english_);
    layout->addWidget(ok, 0, Qt::AlignRight);
}

void PasswordDialog::buildPasswordRole() {
    setWindowTitle(kPasswordTitle.in(lang_));
    edit_ = new QLineEdit(this);
    edit_->setEchoMode(QLineEdit::Password);
    edit_->setMaxLength(8);
    auto* ok = new QPushButton(kOk.in(lang_), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(kCancel.in(lang_), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    connect(ok, &QPushButton::clicked, this, &PasswordDialog::onPasswordOk);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(kPasswordLabel.in(lang_), this));
    row->addWidget(edit_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addLayout(buttons);
}

void PasswordDialog::onLanguageOk() {
    if (chinese_->isChecked())
        choice_ = QStringLiteral("Chinese");
    else if (english_->isChecked())
        choice_ = QStringLiteral("English");
    accept();
}

void PasswordDialog::onPasswordOk() {
    const std::string typed = edit_->text().toStdString();
    const std::time_t now = clock_();
    accepted_ = false;
    if (tw::station::ExpectedPassword(now).empty()) {
        edit_->clear();
        openBox(this, QMessageBox::Critical, kPasswordUnavailable.in(lang_), edit_);
        return;
    }
    if (tw::station::PasswordMatches(typed, now)) {
        accepted_ = true;
        accept();
        return;
    }
    // Wrong: say so, empty the field and stay open for another try.
    edit_->clear();
    openBox(this, QMessageBox::Warning, kPasswordWrong.in(lang_), edit_);
}

bool PasswordDialog::askPassword(QWidget* parent, Language lang, Clock clock) {
    PasswordDialog dialog(Role::Password, lang, parent);
    dialog.setClock(std::move(clock));
    dialog.exec();
    return dialog.isAccepted();
}

QString PasswordDialog::askLanguage(QWidget* parent) {
    PasswordDialog dialog(Role::Language, Language::English, parent);
    dialog.exec();
    return dialog.languageChoice();
}

} // namespace tw::window
