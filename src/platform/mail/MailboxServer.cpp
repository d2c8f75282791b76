#include "platform/mail/MailboxServer.h"

#include <QUrl>

namespace
{

int defaultPort(bool startTls)
{
    return startTls ? 143 : 993;
}

QString formError(const QString &text)
{
    return QStringLiteral("メールボックス（IMAP サーバー）の指定「%1」が正しくありません。"
                          "「imaps://ユーザー名@ホスト名:ポート」「imap://ユーザー名@ホスト名:ポート」"
                          "（STARTTLS）「imaps+oauth://ユーザー名@ホスト名」のいずれかで指定してください。")
        .arg(text);
}

} // namespace

QString MailboxServer::endpoint() const
{
    const QString h = host.contains(u':') ? u'[' + host + u']' : host;
    return h + u':' + QString::number(port);
}

QString mailboxHostFor(const QString &smtpHost)
{
    const QString host = smtpHost.trimmed().toLower();
    if (host == u"smtp.office365.com" || host == u"smtp-mail.outlook.com")
        return QStringLiteral("outlook.office365.com");
    if (host == u"smtp.gmail.com" || host == u"smtp.googlemail.com")
        return QStringLiteral("imap.gmail.com");
    if (host.startsWith(u"smtp.") && host.size() > 5)
        return QStringLiteral("imap.") + host.mid(5);
    return host;
}

MailboxPreset mailboxPresetOf(const QString &imapHost)
{
    const QString host = imapHost.trimmed().toLower();
    if (host == u"outlook.office365.com" || host == u"outlook.office.com")
        return MailboxPreset::Microsoft365;
    if (host == u"imap.gmail.com" || host == u"imap.googlemail.com")
        return MailboxPreset::Gmail;
    return MailboxPreset::Other;
}

MailboxServerParse parseMailboxServer(const QString &input)
{
    MailboxServerParse r;
    const QString text = input.trimmed();
    const qsizetype sep = text.indexOf(QLatin1String("://"));
    const QString scheme = sep < 0 ? QString() : text.left(sep).toLower();
    if (scheme == u"imaps" || scheme == u"imaps+oauth") {
        r.server.startTls = false;
    } else if (scheme == u"imap" || scheme == u"imap+oauth") {
        r.server.startTls = true;
    } else {
        r.error = formError(text);
        return r;
    }
    r.server.oauth = scheme.endsWith(QLatin1String("+oauth"));

    // The user name ends at the last '@' before the host, so that one typed without its escape
    // ("taro@example.jp@host") is still the user's.
    const QString rest = text.mid(sep + 3);
    const qsizetype at = rest.lastIndexOf(u'@');
    if (at >= 0 && rest.left(at).contains(u':')) {
        r.error = QStringLiteral("メールボックスの指定にはパスワードを書かないでください。"
                                 "パスワードはキーリングに保存されます。");
        return r;
    }
    if (at <= 0) {
        r.error = QStringLiteral("メールボックスの指定にユーザー名がありません。"
                                 "「imaps://ユーザー名@ホスト名」の形で指定してください。");
        return r;
    }
    QString user = rest.left(at);
    user.replace(u'@', QLatin1String("%40"));
    const QUrl url(scheme + QLatin1String("://") + user + u'@' + rest.mid(at + 1), QUrl::StrictMode);
    const QString path = url.path();
    if (!url.isValid() || url.host().isEmpty() || url.hasQuery() || url.hasFragment() ||
        !(path.isEmpty() || path == u"/")) {
        r.error = formError(text);
        return r;
    }
    r.server.user = url.userName(QUrl::FullyDecoded);
    for (const QChar c : r.server.user) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            r.error = formError(text);
            return r;
        }
    }
    r.server.host = url.host(QUrl::FullyEncoded);
    if (r.server.host.startsWith(u'['))
        r.server.host = r.server.host.mid(1, r.server.host.size() - 2);
    r.server.port = url.port(defaultPort(r.server.startTls));
    if (r.server.port < 1 || r.server.port > 65535) {
        r.error = QStringLiteral("メールボックスのポート番号が正しくありません（1～65535）。");
        return r;
    }
    return r;
}

QString mailboxServerText(const MailboxServer &server)
{
    QString text = server.startTls ? QStringLiteral("imap") : QStringLiteral("imaps");
    if (server.oauth)
        text += QLatin1String("+oauth");
    text += QLatin1String("://");
    text += QString::fromLatin1(QUrl::toPercentEncoding(server.user, "!$&'()*+,;=")) + u'@';
    text += server.host.contains(u':') ? u'[' + server.host + u']' : server.host;
    if (server.port != defaultPort(server.startTls))
        text += u':' + QString::number(server.port);
    return text;
}
