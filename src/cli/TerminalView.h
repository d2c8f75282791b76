#pragma once

#include "send/MailingView.h"
#include "send/SendCommandLine.h"
#include "send/SendRun.h"

#include <QElapsedTimer>

#include <cstdio>
#include <functional>
#include <optional>

// The mailing's view on a terminal, for velmora-send: what the window would show is written to
// standard error (a progress bar on a terminal, plain lines otherwise), and what it would ask the
// operator is answered as the command's options say, or else as Enter answers in the window: the
// safe answer. Nothing waits for someone to type, except a password on a terminal.
class TerminalView : public MailingView
{
  public:
    TerminalView(const SendInputs &inputs, const SendCommandOptions &options, std::FILE *out = stderr);

    // Called once nothing is going on any more (a queued check: the mailing may start the next step
    // right after telling Idle).
    void setIdle(std::function<void()> idle) { m_idle = std::move(idle); }
    const std::optional<SendSummary> &summary() const { return m_summary; }
    // Ends the progress bar's line before the command's own last lines.
    void endProgress();
    void print(const QString &text);

    SendInputs sendInputs() const override;
    void showStatus(const QString &text, bool paintNow = true) override;
    void showRunProgress(const QString &text, int row, int rows) override;
    void showAddresses(const RecipientAddresses &addresses) override;
    void showActivity(Activity activity) override;
    UserDialogs::Answer ask(const UserDialogs::Message &message) override;
    void showText(const QString &caption, const QString &text) override;
    void chooseOdbcSource(QString &strODBCconn, QString &strODBCrec) override;
    void clearAttachments() override;
    void restoreInputs(const SendInputs &inputs) override;
    std::optional<PasswordAnswer> askPassword(const PasswordRequest &request) override;
    TokenReply signIn(const OAuthClient &client, const QString &user) override;
    void showRunEnded(const SendSummary &summary) override;

  private:
    SendInputs m_inputs;
    SendCommandOptions m_options;
    std::FILE *m_out;
    bool m_terminal;
    bool m_haveAddresses = false;
    bool m_barShown = false;
    QString m_lastStatus;
    QElapsedTimer m_sinceDrawn;
    std::optional<SendSummary> m_summary;
    std::function<void()> m_idle;
};
