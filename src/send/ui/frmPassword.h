#pragma once

#include "send/MailingView.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The password question of a run: the server and the user, the password, and whether the desktop's
// keyring keeps it. Without a keyring the box cannot be ticked and says the password lasts until exit.
class frmPassword : public QDialog
{
    Q_OBJECT
  public:
    frmPassword(const PasswordRequest &request, QWidget *owner);

    // The operator's answer once the dialog was accepted.
    PasswordAnswer answer() const;

    QLabel *lblAccount = nullptr;
    QLabel *lblPassword = nullptr;
    QLineEdit *txtPassword = nullptr;
    QCheckBox *chkSave = nullptr;
    QLabel *lblKeyring = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;
};

// The wait for the browser during an OAuth 2.0 sign-in: what to do there, the address to open by
// hand, and the cancel button that ends the sign-in.
class frmSignIn : public QDialog
{
    Q_OBJECT
  public:
    frmSignIn(const QString &user, QWidget *owner);
    void setAddress(const QString &url);

    QLabel *lblWait = nullptr;
    QLabel *lblAddress = nullptr;
    QLineEdit *txtAddress = nullptr;
    QPushButton *cmdCancel = nullptr;
};
