#include "send/SendOptions.h"

#include "platform/SettingsKeys.h"

#include "platform/Text.h"

#include <QLocale>

#include <cmath>

std::optional<int> wholeNumberOf(const QString &text)
{
    const QString t = trimSpaces(text);
    if (t.isEmpty())
        return std::nullopt;
    bool ok = false;
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::RejectGroupSeparator);
    const double v = c.toDouble(t, &ok);
    if (!ok || !std::isfinite(v))
        return std::nullopt;
    const double whole = std::nearbyint(v); // the default rounding mode sends halves to even
    if (whole < -32768 || whole > 32767)
        return std::nullopt;
    return int(whole);
}

std::optional<int> checkedInterval(const QString &text)
{
    // The range the settings keep the interval in.
    const std::optional<int> v = wholeNumberOf(text);
    if (!v || *v < Settings::SendInterval.least || *v > Settings::SendInterval.most)
        return std::nullopt;
    return v;
}

std::optional<int> checkedHours(const QString &text)
{
    const std::optional<int> v = wholeNumberOf(text);
    if (!v || *v < 1 || *v > 24)
        return std::nullopt;
    return v;
}

QString intervalRefusal()
{
    return QStringLiteral("0～60までの数値（半角）を入力してください");
}

QString hoursRefusal()
{
    return QStringLiteral("0～24までの数値（半角）を入力してください");
}
