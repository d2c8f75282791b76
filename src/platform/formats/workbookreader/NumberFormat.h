#pragma once

// Number formats of workbooks (.xlsx and .xls alike): whether a format shows a cell's number as
// the number itself, or as a date or a time.

#include "platform/formats/workbookreader/XlsCellText.h"

#include <cstdint>
#include <optional>
#include <string_view>

// A format by its code ("yyyy/mm/dd;@", "0.00").
std::optional<DateParts> numberFormatDateParts(std::string_view formatCode);

// A built-in format by its number, for a workbook that refers to it without spelling it out; those
// from 27 on are the Japanese ones (era dates, 年月日, 時分秒).
std::optional<DateParts> builtinDateParts(std::uint64_t id);
