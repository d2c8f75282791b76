#pragma once

#include "send/mailbox/MailboxSettings.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class UserDialogs;

// The mailbox settings: the IMAP server beside the sending one, copies for the Sent folder and the
// look for returned mails after a run. OK stores the values in `settings` once the server text is
// understood (or left empty: no mailbox).
class frmMailbox : public QDialog
{
    Q_OBJECT
  public:
    // `sendingServer`: the window's server text, for "送信サーバーから".
    frmMailbox(MailboxSettings &settings, QString sendingServer, UserDialogs &dialogs, QWidget *owner);

    void cmdFromSending_Click();
    void cmdOK_Click();

    QLabel *Label1 = nullptr;
    QLineEdit *txtServer = nullptr;
    QPushButton *cmdFromSending = nullptr;
    QCheckBox *chkCopyToSent = nullptr;
    QCheckBox *chkAutoCheck = nullptr;
    QLabel *Label2 = nullptr;
    QSpinBox *spnMinutes = nullptr;
    QLabel *Label3 = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

  protected:
    void showEvent(QShowEvent *event) override;

  private:
    void show(const MailboxSettings &settings);

    MailboxSettings &m_settings;
    QString m_sendingServer;
    UserDialogs &m_dialogs;
};
