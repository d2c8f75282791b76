#pragma once

#include <QString>

// A double as a workbook shows its value: 15 significant digits, no trailing zeros.
QString numberText15(double value);

// A date the reader gives as "YYYY-MM-DD..." in the form a Japanese desktop shows: "YYYY/MM/DD...".
QString japaneseDate(const QString &isoDate);
