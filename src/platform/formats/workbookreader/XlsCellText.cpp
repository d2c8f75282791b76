#include "platform/formats/workbookreader/XlsCellText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace
{

// Days since 1970-01-01 as a proleptic Gregorian date (H. Hinnant's civil_from_days).
void civilFromDays(std::int64_t z, std::int64_t &y, unsigned &m, unsigned &d)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = std::int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

std::string dateText(std::int64_t y, unsigned m, unsigned d)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04lld/%02u/%02u", static_cast<long long>(y), m, d);
    return buf;
}

std::string timeText(std::int64_t seconds)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return buf;
}

// Reads the digits of s from at; false when there are none or too many.
bool number(std::string_view s, std::size_t &at, std::int64_t &value, std::size_t maxDigits = 9)
{
    const std::size_t from = at;
    value = 0;
    while (at < s.size() && s[at] >= '0' && s[at] <= '9' && at - from < maxDigits)
        value = value * 10 + (s[at++] - '0');
    return at > from;
}

} // namespace

std::string numberText15Utf8(double value)
{
    if (std::isnan(value) || std::isinf(value))
        return std::string();
    if (value == 0)
        return "0";
    char buf[64];
    const double mag = std::fabs(value);
    if (mag >= 1e15 || mag < 1e-15) {
        std::snprintf(buf, sizeof buf, "%.14E", value);
        // Trim zeros of the mantissa: 1.50000000000000E+20 -> 1.5E+20.
        std::string s = buf;
        const std::size_t e = s.find('E');
        std::string mant = s.substr(0, e), exp = s.substr(e);
        while (!mant.empty() && mant.back() == '0')
            mant.pop_back();
        if (!mant.empty() && mant.back() == '.')
            mant.pop_back();
        return mant + exp;
    }
    std::snprintf(buf, sizeof buf, "%.15g", value);
    std::string s = buf;
    if (s.find('e') != std::string::npos) {
        // Small magnitudes print in fixed notation, as a workbook shows them.
        const int digitsAfterPoint = 15 - static_cast<int>(std::floor(std::log10(mag))) - 1;
        std::snprintf(buf, sizeof buf, "%.*f", digitsAfterPoint, value);
        s = buf;
        if (s.find('.') != std::string::npos) {
            while (s.back() == '0')
                s.pop_back();
            if (s.back() == '.')
                s.pop_back();
        }
    }
    return s;
}

QString numberText15(double value)
{
    return QString::fromLatin1(numberText15Utf8(value));
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

std::string serialDateText(double serial, bool date1904, DateParts parts)
{
    // The last day a workbook can show is 9999-12-31.
    if (!(serial >= 0 && serial < 2958466))
        return numberText15Utf8(serial);
    const std::int64_t total = std::llround(serial * 86400);
    const std::int64_t days = total / 86400, seconds = total % 86400;
    if (parts == DateParts::Time)
        return timeText(seconds);
    std::string date;
    if (date1904) {
        std::int64_t y;
        unsigned m, d;
        civilFromDays(days - 24107, y, m, d); // 1904-01-01 is 24107 days before 1970-01-01
        date = dateText(y, m, d);
    } else if (days == 0) {
        date = "1900/01/00"; // as the workbook shows day 0
    } else if (days == 60) {
        date = "1900/02/29"; // the day the 1900 date system counts although it never was
    } else {
        std::int64_t y;
        unsigned m, d;
        civilFromDays(days - (days < 60 ? 25568 : 25569), y, m, d);
        date = dateText(y, m, d);
    }
    return parts == DateParts::Date ? date : date + ' ' + timeText(seconds);
}

std::string isoDateText(std::string_view iso, std::optional<DateParts> parts)
{
    std::size_t at = 0;
    std::int64_t y, m, d;
    const bool negative = at < iso.size() && iso[at] == '-';
    at += negative;
    if (negative || !number(iso, at, y, 4) || at >= iso.size() || iso[at++] != '-' ||
        !number(iso, at, m, 2) || at >= iso.size() || iso[at++] != '-' || !number(iso, at, d, 2) || m < 1 ||
        m > 12 || d < 1 || d > 31)
        return std::string();
    const std::string date = dateText(y, unsigned(m), unsigned(d));
    std::int64_t h = 0, mi = 0, s = 0;
    if (at < iso.size() && iso[at] == 'T') {
        ++at;
        if (!number(iso, at, h, 2) || at >= iso.size() || iso[at++] != ':' || !number(iso, at, mi, 2))
            return date;
        if (at < iso.size() && iso[at] == ':') {
            ++at;
            number(iso, at, s, 2);
        }
    }
    const std::int64_t seconds = (h * 60 + mi) * 60 + s;
    if (parts == DateParts::Time)
        return timeText(seconds);
    if (parts == DateParts::Date || (!parts && seconds == 0))
        return date;
    return date + ' ' + timeText(seconds);
}

std::string durationText(std::string_view iso)
{
    std::size_t at = 0;
    const bool negative = at < iso.size() && iso[at] == '-';
    at += negative;
    if (at >= iso.size() || iso[at++] != 'P')
        return std::string();
    // Days, then after T hours, minutes and seconds, each at most once and in that order, so that
    // the sum stays far inside 64 bits.
    std::int64_t seconds = 0;
    bool inTime = false;
    int lastUnit = -1;
    while (at < iso.size()) {
        if (iso[at] == 'T' && !inTime) {
            inTime = true;
            ++at;
            continue;
        }
        std::int64_t value;
        if (!number(iso, at, value))
            return std::string();
        double fraction = 0;
        if (at < iso.size() && (iso[at] == '.' || iso[at] == ',')) {
            const std::size_t from = at;
            while (++at < iso.size() && iso[at] >= '0' && iso[at] <= '9') {
            }
            std::string digits =
                "0." + std::string(iso.substr(from + 1, std::min<std::size_t>(at - from - 1, 9)));
            std::from_chars(digits.data(), digits.data() + digits.size(), fraction);
        }
        if (at >= iso.size())
            return std::string();
        const char unit = iso[at++];
        const int order = !inTime && unit == 'D'  ? 0
                          : inTime && unit == 'H' ? 1
                          : inTime && unit == 'M' ? 2
                          : inTime && unit == 'S' ? 3
                                                  : -1;
        if (order <= lastUnit)
            return std::string();
        lastUnit = order;
        static constexpr std::int64_t unitSeconds[] = {86400, 3600, 60, 1};
        seconds += value * unitSeconds[order] + (order == 3 ? std::llround(fraction) : 0);
    }
    // No workbook shows a duration longer than its dates reach (to 9999-12-31).
    if (lastUnit < 0 || seconds >= std::int64_t(2958466) * 86400)
        return std::string();
    return (negative ? "-" : "") + timeText(seconds);
}
