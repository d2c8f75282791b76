#pragma once

// The first worksheet of an Excel (.xlsx, Office Open XML) workbook.

#include "platform/formats/workbookreader/NumberFormat.h"
#include "platform/formats/workbookreader/WorkbookCells.h"
#include "platform/formats/workbookreader/XlsCellText.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ZipPackage;

// The date parts of each cell format (the s attribute of a cell), from the styles part.
struct XlsxStyles {
    std::vector<std::optional<DateParts>> cellFormats;
    std::optional<DateParts> of(std::uint64_t index) const
    {
        return index < cellFormats.size() ? cellFormats[index] : std::nullopt;
    }
};

XlsxStyles readXlsxStyles(std::string xml);
// The shared string table: one text per entry, phonetic readings left out.
std::vector<TextSpan> readXlsxSharedStrings(std::string xml, SheetCells &cells);
void readXlsxSheet(std::string xml, const XlsxStyles &styles, const std::vector<TextSpan> &shared,
                   bool date1904, SheetCells &cells);

// Finds the workbook's parts through its relationships and reads the first worksheet.
void readXlsx(ZipPackage &package, SheetCells &cells);
