#pragma once
// The small modal dialog in its two roles: the language choice at the first start, and the lock
// on operator actions (stopping a running slot, stopping all, cleaning the configuration,
// selecting software).
//
// The password follows the station's rule (station/password.h): the local clock's minute as two
// digits, taken when OK is pressed, or the minute before.
//
// GUI thread only.
#include <QDialog>
#include <QString>
#include <ctime>
#include <functional>

#include "window/texts.h"

class QLineEdit;
class QRadioButton;

namespace tw::window {

class PasswordDialog : public QDialog {
    Q_OBJECT

  public:
    enum class Role { Language, Password };
    using Clock = std::function<std::time_t()>;

    // lang picks the texts of the password role; the language role shows fixed texts.
    PasswordDialog(Role role, Language lang, QWidget* parent = nullptr);

    // The local clock by default; tests give a fixed time.
    void setClock(Clock clock);

    // Password role: true only after a correct password closed the dialog.
    bool isAccepted() const { return accepted_; }
    // Language role: "Chinese", "English", or empty when nothing was chosen.
    QString languageChoice() const { return choice_; }

    // Shows the password dialog modally; true when the guarded action may go ahead.
    static bool askPassword(QWidget* parent, Language lang, Clock clock = {});
    // Shows the language choice modally: "Chinese", "English" or empty.
    static QString askLanguage(QWidget* parent);

  private:
    void buildLanguageRole();
    void buildPasswordRole();
    void onLanguageOk();
    void onPasswordOk();

    Role role_;
    Language lang_;
    Clock clock_;
    bool accepted_ = false;
    QString choice_;
    QLineEdit* edit_ = nullptr;
    QRadioButton* chinese_ = nullptr;
    QRadioButton* english_ = nullptr;
};

} // namespace tw::window
