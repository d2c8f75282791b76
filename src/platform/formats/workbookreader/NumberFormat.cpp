#include "platform/formats/workbookreader/NumberFormat.h"

#include <algorithm>

std::optional<DateParts> builtinDateParts(std::uint64_t id)
{
    if ((id >= 14 && id <= 17) || (id >= 27 && id <= 31) || (id >= 34 && id <= 36) || (id >= 50 && id <= 58))
        return DateParts::Date;
    if ((id >= 18 && id <= 21) || id == 32 || id == 33 || (id >= 45 && id <= 47))
        return DateParts::Time;
    if (id == 22)
        return DateParts::DateAndTime;
    return std::nullopt;
}

std::optional<DateParts> numberFormatDateParts(std::string_view code)
{
    bool date = false, time = false, month = false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < code.size(); ++i) {
        const char c = lower(code[i]);
        if (c == ';') {
            break; // the first section shows positive numbers and dates
        } else if (c == '"') {
            const std::size_t close = code.find('"', i + 1);
            i = close == std::string_view::npos ? code.size() : close;
        } else if (c == '\\' || c == '_' || c == '*') {
            ++i;
        } else if (c == '[') {
            const std::size_t close = code.find(']', i + 1);
            const std::string_view inside =
                code.substr(i + 1, (close == std::string_view::npos ? code.size() : close) - i - 1);
            // [h], [mm], [ss]: elapsed time; colours, conditions and locales show nothing.
            if (!inside.empty() && inside.find_first_not_of("hHmMsS") == std::string_view::npos)
                time = true;
            i = close == std::string_view::npos ? code.size() : close;
        } else if (c == 'g' && code.size() - i >= 7 &&
                   std::equal(code.begin() + i, code.begin() + i + 7, "general",
                              [&](char a, char b) { return lower(a) == b; })) {
            i += 6;
        } else if (c == 'e' && i + 1 < code.size() && (code[i + 1] == '+' || code[i + 1] == '-')) {
            ++i; // a scientific exponent, not the era year
        } else if (c == 'y' || c == 'd' || c == 'e' || c == 'g' || c == 'b') {
            date = true;
        } else if (c == 'h' || c == 's') {
            time = true;
        } else if (c == 'm') {
            month = true;
        }
    }
    // m is the month unless hours or seconds stand with it.
    date = date || (month && !time);
    if (date && time)
        return DateParts::DateAndTime;
    if (date)
        return DateParts::Date;
    if (time)
        return DateParts::Time;
    return std::nullopt;
}
