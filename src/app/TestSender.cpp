#include "app/TestSender.h"

#include "app/frmTestSend.h"
#include "platform/OffThread.h"
#include "platform/Text.h"
#include "platform/UserDialogs.h"
#include "send/TestSend.h"

#include <QWidget>

TestSender::TestSender(UserDialogs &dialogs, QWidget *window)
    : QObject(window), m_dialogs(dialogs), m_window(window)
{
}

TestSender::~TestSender()
{
    if (m_thread)
        m_thread->wait();
}

void TestSender::start(QWidget *owner, const RecipientTable &table, const SendInputs &inputs, int row)
{
    if (busy())
        return;
    const QString own = senderOwnAddress(inputs.sender);
    frmTestSend dialog(row, table.lastRow(), m_lastAddress.isEmpty() ? own : m_lastAddress, owner);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_lastAddress = dialog.address();
    TestSendPlan plan = planTestSend(table, dialog.row(), inputs, dialog.address());
    if (plan.refusal) {
        m_dialogs.messageBox(owner, *plan.refusal);
        return;
    }
    if (m_login) {
        std::optional<MailLogin> login = m_login(plan.mail.target.destination);
        if (!login)
            return;
        plan.mail.target.login = std::move(*login);
    }
    emit status(QStringLiteral("テストメールを送信中：%1 ...").arg(trimSpaces(dialog.address())));
    QPointer<QWidget> shownOver(owner);
    m_thread = runOffThread<TestSendOutcome>(
        this, [mail = plan.mail] { return sendTestMail(mail); },
        [this, shownOver](TestSendOutcome outcome) {
            m_thread.clear();
            emit busyChanged(false);
            emit status(outcome.text.section(QStringLiteral("\r\n"), 0, 0));
            m_dialogs.messageBox(shownOver ? shownOver.data() : m_window,
                                 {outcome.text, QStringLiteral("テスト送信"),
                                  outcome.sent ? UserDialogs::Icon::Information : UserDialogs::Icon::Critical,
                                  UserDialogs::Buttons::Ok});
        });
    emit busyChanged(true);
}
