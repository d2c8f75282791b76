#pragma once

#include "send/login/OAuthSettings.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class Mailing;
class UserDialogs;

// The organisation's app registrations for OAuth 2.0 sign-in, entered once by an administrator:
// Microsoft 365 (tenant and client ID), Google (client ID and secret), another provider (its
// URLs, scope and client ID). OK stores them in the mailing's settings; a client secret goes to the
// keyring (without one, it lasts until exit) and is never shown again.
class frmOAuth : public QDialog
{
    Q_OBJECT
  public:
    frmOAuth(Mailing &mailing, UserDialogs &dialogs, QWidget *owner);

    void cmdOK_Click();

    QLineEdit *txtTenant = nullptr;
    QLineEdit *txtMicrosoftClientId = nullptr;
    QLineEdit *txtGoogleClientId = nullptr;
    QLineEdit *txtGoogleSecret = nullptr;
    QLineEdit *txtAuthorizationUrl = nullptr;
    QLineEdit *txtTokenUrl = nullptr;
    QLineEdit *txtScope = nullptr;
    QLineEdit *txtCustomClientId = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

  private:
    void refuse(const QString &text, QLineEdit *box);

    Mailing &m_mailing;
    OAuthSettings m_settings; // as the dialog opened; the mailing's once it is accepted
    UserDialogs &m_dialogs;
};
