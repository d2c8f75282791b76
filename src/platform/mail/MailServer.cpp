#include "platform/mail/MailServer.h"

#include <QDir>
#include <QUrl>

namespace
{

bool hasControl(const QString &s)
{
    for (const QChar c : s)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

// A host name or address as typed: letters (any script, for IDN), digits, '-', '.', '_'.
bool plausibleHost(const QString &h)
{
    if (h.isEmpty() || h.startsWith(u'.') || h.startsWith(u'-'))
        return false;
    for (const QChar c : h) {
        if (c.unicode() < 0x80) {
            if (!(c.isLetterOrNumber() || c == u'-' || c == u'.' || c == u'_'))
                return false;
        } else if (!c.isLetterOrNumber() && c.category() != QChar::Mark_NonSpacing) {
            return false;
        }
    }
    return true;
}

QString toAsciiHost(const QString &h)
{
    const QByteArray ace = QUrl::toAce(h);
    return ace.isEmpty() ? QString() : QString::fromLatin1(ace);
}

bool parsePort(QStringView text, int *port)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    int v = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
        v = v * 10 + (c.unicode() - u'0');
    }
    if (v < 1 || v > 65535)
        return false;
    *port = v;
    return true;
}

// Where the password of a server text lies: after the first ':' of the user part, up to the last
// '@'. The last one, because a password typed without percent-encoding may itself hold '@', '/',
// '#' or ':'. The folder of "file:///folder" is no user part, whatever characters it holds.
bool findPassword(const QString &text, qsizetype *begin, qsizetype *end)
{
    const qsizetype at = text.lastIndexOf(u'@');
    if (at < 0)
        return false;
    qsizetype start = 0;
    const qsizetype sep = text.indexOf(QLatin1String("://"));
    if (sep >= 0 && sep < at) {
        start = sep + 3;
        if (text.left(sep).compare(QLatin1String("file"), Qt::CaseInsensitive) == 0 && text[start] == u'/')
            return false;
    }
    const qsizetype colon = text.indexOf(u':', start);
    if (colon < 0 || colon > at)
        return false;
    *begin = colon + 1;
    *end = at;
    return true;
}

QString formError(const QString &text)
{
    return QStringLiteral("メールサーバーの指定「%1」が正しくありません。「ホスト名」「ホスト名:ポート」"
                          "「smtp://ホスト名:ポート」「smtps://ホスト名:ポート」「smtp+oauth://"
                          "ユーザー名@ホスト名:ポート」"
                          "「file:///フォルダー」のいずれかで指定してください。")
        .arg(maskMailServerPassword(text));
}

MailServerParse parsePlain(const QString &text)
{
    MailServerParse r;
    // Checked first: what follows a "user:password@" would otherwise be quoted as the port.
    if (text.contains(u'@')) {
        r.error = QStringLiteral("認証を使うときは「smtp://ユーザー名@ホスト名:ポート」または"
                                 "「smtps://ユーザー名@ホスト名:ポート」の形で指定してください"
                                 "（パスワードが暗号化なしで送られないようにするためです）。");
        return r;
    }
    QString host;
    QStringView portText;
    if (text.startsWith(u'[')) { // [IPv6] or [IPv6]:port
        const qsizetype close = text.indexOf(u']');
        if (close < 0) {
            r.error = formError(text);
            return r;
        }
        host = text.mid(1, close - 1);
        const QStringView rest = QStringView(text).mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':')) {
                r.error = formError(text);
                return r;
            }
            portText = rest.mid(1);
            if (portText.isEmpty()) {
                r.error = formError(text);
                return r;
            }
        }
        QUrl probe;
        probe.setHost(host, QUrl::StrictMode);
        if (!probe.isValid() || !host.contains(u':')) {
            r.error = formError(text);
            return r;
        }
        host = probe.host();
    } else {
        const qsizetype colon = text.indexOf(u':');
        if (colon >= 0) {
            if (text.indexOf(u':', colon + 1) >= 0) {
                r.error = QStringLiteral("IPv6アドレスは「[::1]:25」のように角かっこで囲んでください。");
                return r;
            }
            host = text.left(colon);
            portText = QStringView(text).mid(colon + 1);
            if (portText.isEmpty()) {
                r.error = formError(text);
                return r;
            }
        } else {
            host = text;
        }
        if (!plausibleHost(host)) {
            r.error = formError(text);
            return r;
        }
        host = toAsciiHost(host);
        if (host.isEmpty()) {
            r.error = formError(text);
            return r;
        }
    }
    r.server.kind = MailServer::Kind::Smtp;
    r.server.host = host;
    r.server.port = 25;
    if (!portText.isEmpty() && !parsePort(portText, &r.server.port))
        r.error = QStringLiteral("メールサーバーのポート番号「%1」が正しくありません（1～65535）。")
                      .arg(portText.toString());
    return r;
}

MailServerParse parseOutbox(const QString &text)
{
    MailServerParse r;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || !url.host().isEmpty() || url.hasQuery() || url.hasFragment() ||
        !text.mid(5).startsWith(QLatin1String("///"))) {
        r.error = QStringLiteral("保存先フォルダーは「file:///フォルダーのパス」の形で指定してください。");
        return r;
    }
    QString folder = url.toLocalFile();
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder)) {
        r.error = QStringLiteral("保存先フォルダーは「file:///フォルダーのパス」の形で指定してください。");
        return r;
    }
    r.server.kind = MailServer::Kind::Outbox;
    r.server.folder = QDir::cleanPath(folder);
    r.server.port = 0;
    return r;
}

MailServerParse parseUrl(const QString &text, MailServer::Kind kind, bool oauth)
{
    MailServerParse r;
    const QUrl url(text, QUrl::StrictMode);
    const QString path = url.path();
    if (!url.isValid() || url.host().isEmpty() || url.hasQuery() || url.hasFragment() ||
        !(path.isEmpty() || path == u"/")) {
        r.error = formError(text);
        return r;
    }
    const QString host = url.host(QUrl::FullyEncoded);
    if (host.isEmpty() || (!host.contains(u':') && !plausibleHost(host))) {
        r.error = formError(text);
        return r;
    }
    r.server.kind = kind;
    r.server.host = host;
    r.server.port = url.port(kind == MailServer::Kind::Smtps ? 465 : 25);
    if (r.server.port < 1) {
        r.error = QStringLiteral("メールサーバーのポート番号「%1」が正しくありません（1～65535）。")
                      .arg(r.server.port);
        return r;
    }
    r.server.user = url.userName(QUrl::FullyDecoded);
    r.server.password = url.password(QUrl::FullyDecoded);
    if (hasControl(r.server.user) || hasControl(r.server.password)) {
        r.error =
            QStringLiteral("メールサーバーのユーザー名またはパスワードに使えない文字が含まれています。");
        return r;
    }
    r.server.oauth = oauth;
    if (oauth && r.server.user.isEmpty())
        r.error = QStringLiteral("OAuth 2.0 でサインインするサーバーには、ユーザー名（メールアドレス）を"
                                 "「smtp+oauth://ユーザー名@ホスト名:ポート」の形で指定してください。");
    else if (oauth && !r.server.password.isEmpty())
        r.error = QStringLiteral("OAuth 2.0 でサインインするサーバーにはパスワードを書きません。"
                                 "「smtp+oauth://ユーザー名@ホスト名:ポート」の形で指定してください。");
    return r;
}

} // namespace

QByteArray MailServer::curlUrl() const
{
    QByteArray url = kind == Kind::Smtps ? "smtps://" : "smtp://";
    // libcurl looks a password up in ~/.netrc only for a user name given in the URL.
    if (!user.isEmpty() && password.isEmpty() && !oauth)
        url += QUrl::toPercentEncoding(user) + '@';
    if (host.contains(u':'))
        url += '[' + host.toLatin1() + ']';
    else
        url += host.toLatin1();
    url += ':' + QByteArray::number(port);
    return url;
}

QString MailServer::endpoint() const
{
    return (host.contains(u':') ? u'[' + host + u']' : host) + u':' + QString::number(port);
}

QString MailServer::scheme() const
{
    QString s = kind == Kind::Smtps ? QStringLiteral("smtps") : QStringLiteral("smtp");
    return oauth ? s + QStringLiteral("+oauth") : s;
}

MailServerParse parseMailServer(const QString &text)
{
    MailServerParse r;
    if (text.isEmpty()) {
        r.error = QStringLiteral("メールサーバーが指定されていません。");
        return r;
    }
    if (hasControl(text) || text.contains(u' ') || text.contains(QChar(0x3000))) {
        r.error = QStringLiteral("メールサーバーの指定に空白や改行などの使えない文字が含まれています。");
        return r;
    }
    const qsizetype sep = text.indexOf(QLatin1String("://"));
    if (sep < 0)
        return parsePlain(text);
    const QString scheme = text.left(sep).toLower();
    if (scheme == u"file")
        return parseOutbox(text);
    if (scheme == u"smtp" || scheme == u"smtp+oauth")
        return parseUrl(text, MailServer::Kind::SmtpStartTls, scheme.endsWith(u"+oauth"));
    if (scheme == u"smtps" || scheme == u"smtps+oauth")
        return parseUrl(text, MailServer::Kind::Smtps, scheme.endsWith(u"+oauth"));
    r.error = formError(text);
    return r;
}

QString mailServerWithoutPassword(const QString &text)
{
    qsizetype begin = 0, end = 0;
    if (!findPassword(text, &begin, &end))
        return text;
    return text.left(begin - 1) + text.mid(end);
}

QString maskMailServerPassword(const QString &text)
{
    qsizetype begin = 0, end = 0;
    if (!findPassword(text, &begin, &end))
        return text;
    return text.left(begin) + QStringLiteral("***") + text.mid(end);
}
