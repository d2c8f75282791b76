#include "XlsCellText.h"

#include <cmath>
#include <cstdio>

QString numberText15(double value)
{
    if (std::isnan(value) || std::isinf(value))
        return QString();
    if (value == 0)
        return QStringLiteral("0");
    char buf[64];
    const double mag = std::fabs(value);
    if (mag >= 1e15 || mag < 1e-15) {
        std::snprintf(buf, sizeof buf, "%.14E", value);
        // Trim zeros of the mantissa: 1.50000000000000E+20 -> 1.5E+20.
        QString s = QString::fromLatin1(buf);
        const qsizetype e = s.indexOf(u'E');
        QString mant = s.left(e), exp = s.mid(e);
        while (mant.endsWith(u'0'))
            mant.chop(1);
        if (mant.endsWith(u'.'))
            mant.chop(1);
        return mant + exp;
    }
    std::snprintf(buf, sizeof buf, "%.15g", value);
    QString s = QString::fromLatin1(buf);
    if (s.contains(u'e')) {
        // Small magnitudes print in fixed notation, as a workbook shows them.
        const int digitsAfterPoint = 15 - static_cast<int>(std::floor(std::log10(mag))) - 1;
        std::snprintf(buf, sizeof buf, "%.*f", digitsAfterPoint, value);
        s = QString::fromLatin1(buf);
        if (s.contains(u'.')) {
            while (s.endsWith(u'0'))
                s.chop(1);
            if (s.endsWith(u'.'))
                s.chop(1);
        }
    }
    return s;
}

QString japaneseDate(const QString &isoDate)
{
    QString s = isoDate;
    if (s.size() >= 10 && s[4] == u'-' && s[7] == u'-') {
        s[4] = u'/';
        s[7] = u'/';
    }
    return s;
}
