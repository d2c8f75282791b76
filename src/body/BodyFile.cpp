#include "body/BodyFile.h"

#include <QDir>
#include <QFileInfo>

#include "platform/formats/TextFile.h"

QString bodyFromText(QStringView text)
{
    QString body;
    body.reserve(text.size() + text.size() / 16 + 2);
    const QChar *s = text.data();
    const qsizetype n = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = s[i];
        if (c != u'\r' && c != u'\n')
            continue;
        body.append(s + start, i - start);
        body.append(u"\r\n");
        if (c == u'\r' && i + 1 < n && s[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < n) {
        body.append(s + start, n - start);
        body.append(u"\r\n");
    }
    return body;
}

Result<QString> readBodyFile(const QString &path)
{
    Result<QByteArray> bytes = readFileBytes(path);
    if (!bytes)
        return bytes.failure();
    if (bytes->isEmpty())
        return QString();
    // The decoder counts lines at LF only; a lone CR also ends a body line, so it goes in as LF and
    // a failure names the line the operator's editor shows. CR is never part of a multi-byte
    // character in UTF-8 or CP932, and the body's lines come out the same.
    char *b = bytes->data();
    const qsizetype n = bytes->size();
    for (qsizetype i = 0; i < n; ++i)
        if (b[i] == '\r' && (i + 1 == n || b[i + 1] != '\n'))
            b[i] = '\n';
    Result<TextLines> decoded = decodeText(bytes.value(), path);
    if (!decoded)
        return decoded.failure();
    return bodyFromText(decoded->text);
}

QString textVersionOf(const QString &bodyPath)
{
    const QFileInfo body(bodyPath);
    const QString suffix = body.suffix().toLower();
    if (suffix != u"htm" && suffix != u"html")
        return QString();
    const QString text = body.dir().filePath(body.completeBaseName() + QStringLiteral(".txt"));
    return QFileInfo(text).isFile() ? text : QString();
}
