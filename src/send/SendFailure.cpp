#include "send/SendFailure.h"

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
