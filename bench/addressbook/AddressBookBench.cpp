// Loads the desktop address book of a prepared home folder, or a vCard file, through the real
// importer and prints the time it took. Every entry's status text goes into a label, as the main
// window's status line does, so the cost of the progress display is part of the figure.
#include "platform/formats/AddressBook.h"
#include "recipients/Importers.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>

#include <cstdio>
#include <ctime>

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 3 || (qstrcmp(argv[1], "home") != 0 && qstrcmp(argv[1], "vcf") != 0)) {
        std::fprintf(stderr, "usage: bench_addressbook home HOME | vcf FILE.vcf\n");
        return 2;
    }
    const QString target = QString::fromLocal8Bit(argv[2]);
    QLabel status;
    int texts = 0;
    QElapsedTimer timer;
    timer.start();
    const std::clock_t cpuStart = std::clock();
    Result<RecipientTable> table = [&] {
        if (qstrcmp(argv[1], "vcf") == 0)
            return VCardDataGet(target);
        AddressBookPlaces places;
        places.home = target;
        places.dataHome = target + QStringLiteral("/.local/share");
        return OutlookDataGet(places, [&](const QString &text) {
            status.setText(text);
            ++texts;
        });
    }();
    const double seconds = timer.nsecsElapsed() / 1e9;
    const double cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    if (!table) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(table.failure().description));
        return 1;
    }
    std::printf("%s rows=%d status_texts=%d seconds=%.3f cpu_seconds=%.3f\n", argv[1], table->lastRow(),
                texts, seconds, cpuSeconds);
    return 0;
}
