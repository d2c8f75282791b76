#include "BodyFile.h"

#include "TextFile.h"

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
    Result<TextLines> decoded = decodeText(bytes.value(), path);
    if (!decoded)
        return decoded.failure();
    return bodyFromText(decoded->text);
}
