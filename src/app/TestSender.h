#pragma once

#include "platform/mail/MailLogin.h"
#include "platform/mail/MailServer.h"
#include "recipients/RecipientTable.h"
#include "send/SendChecks.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class QThread;
class QWidget;
class UserDialogs;

// The test mails of the main window, one at a time: the dialog asks for the row and the address,
// the mail goes out on a thread of its own, and the outcome is shown in a box.
class TestSender : public QObject
{
    Q_OBJECT
  public:
    TestSender(UserDialogs &dialogs, QWidget *window);
    // Waits for a mail still on its way (within the mail library's time-outs).
    ~TestSender() override;

    bool busy() const { return !m_thread.isNull(); }
    // Where a test mail gets its password or sign-in, as a run would (nothing: cancelled).
    void setLogin(std::function<std::optional<MailLogin>(const MailServerParse &server)> login)
    {
        m_login = std::move(login);
    }

    // The dialog over `owner`, then the mail of the chosen row of `table` with the inputs' server,
    // sender and attachments. The outcome's box appears over `owner`, or over the main window when
    // `owner` has closed meanwhile.
    void start(QWidget *owner, const RecipientTable &table, const SendInputs &inputs, int row);

  signals:
    void busyChanged(bool busy);
    // The status line while the mail is on its way and after.
    void status(const QString &text);

  private:
    UserDialogs &m_dialogs;
    QWidget *m_window;
    QPointer<QThread> m_thread;
    // The address typed last, offered again until the program ends.
    QString m_lastAddress;
    std::function<std::optional<MailLogin>(const MailServerParse &)> m_login;
};
