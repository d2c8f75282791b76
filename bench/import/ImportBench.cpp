// Loads one recipient file through the real importer and prints the time it took and the peak
// memory of the process. One file per process, so the peak belongs to that load alone.
#include "Importers.h"
#include "XlsWorkbook.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>

#include <sys/resource.h>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    XlsWorkbook::setReaderProgram(QStringLiteral(VELMORA_XLS_READER_BUILD_PATH));
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_import FILE.csv|FILE.xls\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    struct rusage before {
    };
    getrusage(RUSAGE_SELF, &before);
    QElapsedTimer timer;
    timer.start();
    const bool excel = path.endsWith(QStringLiteral(".xls"), Qt::CaseInsensitive);
    Result<RecipientTable> table = excel ? ExcelDataGet(path) : CSVDataGet(path);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!table) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(table.failure().description));
        return 1;
    }
    struct rusage after {
    };
    getrusage(RUSAGE_SELF, &after);
    const double fileMb = QFileInfo(path).size() / 1e6;
    std::printf("%s rows=%d columns=%d file_mb=%.2f seconds=%.3f peak_rss_mb=%.1f rss_before_mb=%.1f "
                "peak_over_file=%.2f\n",
                excel ? "xls" : "csv", table->lastRow(), table->lastColumn(), fileMb, seconds,
                after.ru_maxrss / 1024.0, before.ru_maxrss / 1024.0, after.ru_maxrss / 1024.0 / 1e0 / fileMb);
    return 0;
}
