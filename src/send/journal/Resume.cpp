#include "send/journal/Resume.h"

#include "platform/Text.h"
#include "platform/mail/MailServer.h"
#include "recipients/RecipientTable.h"
#include "send/SendFailure.h"

namespace
{

// How many unknown rows the question lists by name; the list window shows them all.
constexpr int ListedRows = 20;

QString addressOf(const RecipientTable &table, int row)
{
    return table.hasCell(row, 1) ? trimSpaces(table.cell(row, 1)) : QString();
}

} // namespace

QString unfinishedRunText(const JournalReport &r)
{
    const RunIdentity &id = r.identity;
    QString text =
        QStringLiteral("宛先：%1\r\n開始：%2\r\n件名：%3\r\n\r\n"
                       "送信済み：%4件\r\n送信できなかった宛先：%5件\r\n"
                       "届いた可能性がある宛先：%6件\r\nまだ送信していない宛先：%7件")
            .arg(id.sourceText(), id.startedAt.toLocalTime().toString(QStringLiteral("yyyy/MM/dd HH:mm")),
                 id.subject, QString::number(r.accepted), QString::number(r.refused),
                 QString::number(r.mayHaveArrived), QString::number(r.notTried + r.retry));
    // Rows the operator left out when the run began are not sent by continuing it either.
    if (r.leftOut > 0)
        text +=
            QStringLiteral("\r\n送らないことにした宛先（同じアドレスの2行目以降など）：%1件").arg(r.leftOut);
    return text;
}

void restoreStatuses(RecipientTable &table, const JournalReport &report)
{
    using Row = JournalReport::Row;
    const int rows = qMin(table.lastRow(), report.identity.rows);
    if (!table.hasCell(1, 0))
        return;
    for (int row = 1; row <= rows; ++row) {
        const JournalReport::RowEntry &e = report.rows[size_t(row)];
        switch (e.state) {
        case Row::NotTried:
        case Row::LeftOut:
            table.setCell(row, 0, QString());
            table.setReason(row, QString());
            break;
        case Row::Accepted:
            table.setCell(row, 0, StatusSent);
            table.setReason(row, QString());
            break;
        case Row::Bounced:
            table.setCell(row, 0, StatusBounced);
            table.setReason(row, oneLine(e.reason));
            break;
        case Row::Refused:
        case Row::Retry:
            table.setCell(row, 0, StatusFailed);
            table.setReason(row, oneLine(e.reason));
            break;
        case Row::MayHaveArrived:
            table.setCell(row, 0, StatusFailed);
            table.setReason(row,
                            e.reason.isEmpty()
                                ? QStringLiteral("送信の途中で止まったため、届いたかどうか分かりません。")
                                : oneLine(e.reason));
            break;
        }
        table.setMayHaveArrived(row, e.state == Row::MayHaveArrived);
    }
}

QString unknownRowsQuestion(const JournalReport &report, const RecipientTable &table)
{
    QString list;
    int listed = 0;
    for (int row = 1; row <= report.identity.rows; ++row) {
        if (report.rows[size_t(row)].state != JournalReport::Row::MayHaveArrived)
            continue;
        if (listed++ < ListedRows)
            list += QStringLiteral("%1行目 [%2]\r\n").arg(row).arg(addressOf(table, row));
    }
    if (listed > ListedRows)
        list += QStringLiteral("ほか%1件（宛先の一覧で確認できます）\r\n").arg(listed - ListedRows);
    return QStringLiteral("次の%1件は、送信の途中で止まったため、メールが届いたかどうか分かりません"
                          "（届いている可能性があります）。\r\n\r\n%2\r\nこれらの宛先にも送り直しますか？\r\n"
                          "「いいえ」で送り直さずに残します（送信NGのままです）。")
        .arg(QString::number(listed), list);
}

std::vector<int> rowsToContinue(const JournalReport &report, bool resendUnknown)
{
    using Row = JournalReport::Row;
    std::vector<int> rows;
    for (int row = 1; row <= report.identity.rows; ++row) {
        const Row state = report.rows[size_t(row)].state;
        if (state == Row::NotTried || state == Row::Retry || (resendUnknown && state == Row::MayHaveArrived))
            rows.push_back(row);
    }
    return rows;
}

SendInputs continuationInputs(const RunIdentity &identity, const QString &windowServer)
{
    SendInputs inputs;
    inputs.haveAddresses = true;
    const QString typed = trimSpaces(windowServer);
    inputs.server = !typed.isEmpty() && mailServerWithoutPassword(typed) == identity.server ? windowServer
                                                                                            : identity.server;
    inputs.sender = identity.sender;
    inputs.subject = identity.subject;
    // The window's body holds line feeds; the run sends CR LF.
    inputs.body = QString(identity.body).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    inputs.attachments = (identity.attachments + identity.attachmentTemplates).join(u',');
    inputs.plainText = QString(identity.plainText).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    inputs.bodyFolder = identity.imageFolder;
    inputs.html = identity.html;
    return inputs;
}

QString changedAttachments(const JournalReport &report, const std::vector<int> &rows)
{
    QString lines;
    const auto changed = [](const FileStamp &stamp) {
        const std::optional<FileStamp> now = stampOf(stamp.path);
        return !now || *now != stamp;
    };
    for (const FileStamp &stamp : report.identity.attachmentStamps)
        if (changed(stamp))
            lines += QStringLiteral("%1（すべての宛先）\r\n").arg(stamp.path);
    int listed = 0, more = 0;
    for (const int row : rows) {
        for (const FileStamp &stamp : report.rows[size_t(row)].attachments) {
            if (!changed(stamp))
                continue;
            if (listed++ < ListedRows)
                lines += QStringLiteral("%1（%2行目）\r\n").arg(stamp.path).arg(row);
            else
                ++more;
        }
    }
    if (more > 0)
        lines += QStringLiteral("ほか%1件\r\n").arg(more);
    return lines;
}
