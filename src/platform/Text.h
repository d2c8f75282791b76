#pragma once

#include <QString>
#include <QStringView>

// Trimming in Velmora removes U+0020 only: tabs, U+3000 and line breaks are data.
inline QStringView trimSpaces(QStringView s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && s[b] == u' ')
        ++b;
    while (e > b && s[e - 1] == u' ')
        --e;
    return s.mid(b, e - b);
}

inline QString trimSpaces(const QString &s)
{
    const QStringView v = trimSpaces(QStringView(s));
    return v.size() == s.size() ? s : v.toString();
}
