#include "platform/Netrc.h"

#include <QDir>
#include <QFile>

namespace
{

// The file's tokens in order, quotes and escapes resolved; "macdef" bodies are left out.
QStringList tokens(const QString &text)
{
    QStringList out;
    const qsizetype n = text.size();
    qsizetype i = 0;
    auto space = [](QChar c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; };
    while (i < n) {
        while (i < n && space(text[i]))
            ++i;
        if (i >= n)
            break;
        QString token;
        if (text[i] == u'"') {
            for (++i; i < n && text[i] != u'"'; ++i) {
                if (text[i] == u'\\' && i + 1 < n) {
                    const QChar e = text[++i];
                    token += e == u'n'   ? QChar(u'\n')
                             : e == u't' ? QChar(u'\t')
                             : e == u'r' ? QChar(u'\r')
                                         : e;
                } else {
                    token += text[i];
                }
            }
            ++i;
        } else {
            while (i < n && !space(text[i]))
                token += text[i++];
        }
        out += token;
        if (token == u"macdef") {
            // The macro's name, then its lines up to an empty line.
            while (i < n && text[i] != u'\n')
                ++i;
            const qsizetype end = text.indexOf(QStringLiteral("\n\n"), i);
            i = end < 0 ? n : end + 2;
        }
    }
    return out;
}

} // namespace

std::optional<QString> netrcPassword(const QString &path, const QString &host, const QString &user)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QStringList t = tokens(QString::fromUtf8(f.readAll()));
    bool inEntry = false, matches = false;
    QString login, password;
    bool haveLogin = false, havePassword = false;
    auto take = [&]() -> std::optional<QString> {
        if (inEntry && matches && haveLogin && login == user && havePassword)
            return password;
        return std::nullopt;
    };
    for (qsizetype i = 0; i < t.size(); ++i) {
        const QString &word = t[i];
        if (word == u"machine" || word == u"default") {
            if (std::optional<QString> found = take())
                return found;
            inEntry = true;
            haveLogin = havePassword = false;
            login.clear();
            password.clear();
            if (word == u"default") {
                matches = true;
            } else {
                matches = i + 1 < t.size() && t[i + 1].compare(host, Qt::CaseInsensitive) == 0;
                ++i;
            }
        } else if (inEntry && (word == u"login" || word == u"password" || word == u"account") &&
                   i + 1 < t.size()) {
            if (word == u"login") {
                login = t[++i];
                haveLogin = true;
            } else if (word == u"password") {
                password = t[++i];
                havePassword = true;
            } else {
                ++i;
            }
        }
    }
    return take();
}

QString netrcPath()
{
    return QDir::home().filePath(QStringLiteral(".netrc"));
}
