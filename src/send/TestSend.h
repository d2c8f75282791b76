#pragma once

#include "platform/UserDialogs.h"
#include "platform/mail/MailSession.h"
#include "recipients/RecipientTable.h"
#include "send/SendChecks.h"

#include <QString>
#include <QStringList>

#include <optional>

// The subject of a test mail begins with this.
inline const QString TestSubjectPrefix = QStringLiteral("[テスト]");

// One test mail: the merged mail of one row, to an address the operator chose, through the
// window's server with its sender and attachments.
struct TestMail {
    // The window's server, sender and attachments, with the password or sign-in a run to this
    // server would use.
    MailTarget target;
    MailContent content;
};

struct TestSendPlan {
    // Set when no test mail can be made: the box to show. The inputs are refused as a run refuses
    // them, but nothing is emptied.
    std::optional<UserDialogs::Message> refusal;
    TestMail mail;
};

// The sender's own address, the usual destination of a test mail; empty when the sender text has
// no usable one.
QString senderOwnAddress(const QString &senderText);

// The test mail of data row `row` to `to`: the row merged as a run merges it, the subject prefixed
// with TestSubjectPrefix.
TestSendPlan planTestSend(const RecipientTable &table, int row, const SendInputs &inputs, const QString &to);

struct TestSendOutcome {
    bool sent = false; // the server accepted it (or the outbox folder stored it)
    QString text;      // what the operator is told
};

// Sends the mail through a session of its own and ends it. Blocks until the server has answered
// (within the mail library's time-outs): call it off the GUI thread. Nothing of a run happens: no
// journal, no status cell, no count against the sending limits.
TestSendOutcome sendTestMail(const TestMail &mail);
