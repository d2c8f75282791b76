#pragma once

#include <QString>

#include <optional>
#include <string>
#include <string_view>

// A double as a workbook shows its value: 15 significant digits, no trailing zeros.
QString numberText15(double value);
std::string numberText15Utf8(double value);

// A date the reader gives as "YYYY-MM-DD..." in the form a Japanese desktop shows: "YYYY/MM/DD...".
QString japaneseDate(const QString &isoDate);

// Which parts of a date-time value a cell's format shows; the texts are those of .xls dates:
// "YYYY/MM/DD", "YYYY/MM/DD hh:mm:ss" and "hh:mm:ss".
enum class DateParts { Date, DateAndTime, Time };

// A workbook's date number (days since the workbook's epoch, the time of day as the fraction) as
// text; a number no date can have keeps its plain number text. date1904 is the epoch of workbooks
// from old Macintosh programs.
std::string serialDateText(double serial, bool date1904, DateParts parts);

// An ISO 8601 date or date-time ("2026-12-08", "2026-12-08T12:00:00.5") as the parts a format
// shows, or without one as a date with its time of day when that is not midnight; empty when the
// text is none.
std::string isoDateText(std::string_view iso, std::optional<DateParts> parts = std::nullopt);

// An ISO 8601 duration ("PT18H30M00S", "P1DT2H") as hours:minutes:seconds; empty when it is none,
// or longer than the dates of a workbook reach.
std::string durationText(std::string_view iso);
