// Loads one recipient file through the real importer and prints the time it took and the peak
// memory of the process. One file per process, so the peak belongs to that load alone.
#include "platform/formats/XlsWorkbook.h"
#include "recipients/Importers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>

#include <sys/resource.h>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    XlsWorkbook::setReaderProgram(QStringLiteral(VELMORA_WORKBOOK_READER_BUILD_PATH));
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_import FILE.csv|FILE.xls|FILE.xlsx|FILE.ods\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    struct rusage before {
    };
    getrusage(RUSAGE_SELF, &before);
    QElapsedTimer timer;
    timer.start();
    const QString kind = QFileInfo(path).suffix().toLower();
    Result<RecipientTable> table = kind == u"csv" ? CSVDataGet(path) : ExcelDataGet(path);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!table) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(table.failure().description));
        return 1;
    }
    struct rusage after {
    }, reader{};
    getrusage(RUSAGE_SELF, &after);
    // The workbook reader is a child that has been waited for: its peak is the children's.
    getrusage(RUSAGE_CHILDREN, &reader);
    const double fileMb = QFileInfo(path).size() / 1e6;
    std::printf("%s rows=%d columns=%d file_mb=%.2f seconds=%.3f peak_rss_mb=%.1f rss_before_mb=%.1f "
                "peak_over_file=%.2f reader_peak_rss_mb=%.1f\n",
                qPrintable(kind), table->lastRow(), table->lastColumn(), fileMb, seconds,
                after.ru_maxrss / 1024.0, before.ru_maxrss / 1024.0, after.ru_maxrss / 1024.0 / 1e0 / fileMb,
                reader.ru_maxrss / 1024.0);
    return 0;
}
