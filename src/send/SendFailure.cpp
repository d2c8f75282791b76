#include "SendFailure.h"

#include <QRegularExpression>

SendFailureScope sendFailureScope(const QString &text)
{
    // 421: the server is closing the session, whatever command it answered.
    static const QRegularExpression closing(QStringLiteral(": 421[ -]"));
    if (closing.match(text).hasMatch())
        return SendFailureScope::Server;
    // Texts about the recipient or the subject of this one mail.
    // A merge that grew past its limit ("本文の差込…", "件名の差込…") is this row's alone.
    if (text.startsWith(QStringLiteral("宛先")) || text.startsWith(QStringLiteral("件名")) ||
        text.startsWith(QStringLiteral("本文の差込")))
        return SendFailureScope::Row;
    // The server answered, and refused this mail's content.
    if (text.startsWith(QStringLiteral("メールサーバーが本文の受け取りを拒否しました")) ||
        text.startsWith(QStringLiteral("メールサーバーがメールの受け取りを拒否しました")))
        return SendFailureScope::Row;
    return SendFailureScope::Server;
}

QString serverFailureQuestion(int row, const QString &address, const QString &reason)
{
    return QStringLiteral("%1行目の [%2] を送信できませんでした。\r\n%3\r\n\r\n"
                          "このままでは残りの宛先にも送信できない可能性があります。送信を続けますか？\r\n"
                          "（「いいえ」で送信を中止します）")
        .arg(QString::number(row), address, reason);
}

QString oneLine(const QString &reason)
{
    QString line = reason;
    line.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    line.replace(u'\r', u' ');
    line.replace(u'\n', u' ');
    return line;
}
