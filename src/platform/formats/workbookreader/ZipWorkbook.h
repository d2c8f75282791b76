#pragma once

#include "platform/formats/workbookreader/WorkbookCells.h"

#include <cstdint>
#include <string>
#include <string_view>

// The workbook reader's whole answer (XlsProtocol.h) for a workbook in a ZIP archive, .xlsx or .ods
// by its content: the cells of its first worksheet, or why there are none. Never throws for
// anything in the archive; running out of memory becomes an answer too.
std::string zipWorkbookAnswer(std::string_view archive,
                              std::uint64_t unpackedBudget = WorkbookLimits::MaxUnpacked);

// The ZIP archives' first bytes.
bool looksLikeZip(std::string_view file);
