#include "platform/formats/workbookreader/ZipWorkbook.h"

#include "platform/formats/workbookreader/OdsReader.h"
#include "platform/formats/workbookreader/WorkbookCells.h"
#include "platform/formats/workbookreader/XlsxReader.h"
#include "platform/formats/workbookreader/ZipPackage.h"

#include <new>

bool looksLikeZip(std::string_view file)
{
    return file.starts_with(std::string_view("PK\x03\x04", 4)) ||
           file.starts_with(std::string_view("PK\x05\x06", 4));
}

std::string zipWorkbookAnswer(std::string_view archive, std::uint64_t unpackedBudget)
{
    try {
        ZipPackage package(archive, unpackedBudget);
        SheetCells cells;
        // OpenDocument names its type in a part of its own; Office Open XML lists its parts' types.
        if (package.contains("mimetype") ||
            (package.contains("content.xml") && !package.contains("[Content_Types].xml")))
            readOds(package, cells);
        else if (package.contains("[Content_Types].xml") || package.contains("_rels/.rels"))
            readXlsx(package, cells);
        else
            stopReading(QStringLiteral("Excel や OpenDocument のブックではありません"));
        return cells.answer();
    } catch (const WorkbookStop &stop) {
        return failureAnswer(stop);
    } catch (const std::bad_alloc &) {
        return failureAnswer(WorkbookStop{true, memoryLimitReason()});
    }
}
