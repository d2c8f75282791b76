// The recipient list window and the export over 100 000 recipients × 10 columns after a send run
// (every tenth row failed); bench_results ROWS for another count. Prints, per run: the time to open the
// window until it is painted, the median time of one page of scrolling (down and sideways, repainted), the
// heap the window adds next to the table's own, and the time to export the 100 000 sent-or-failed rows to a
// file.
#include "platform/SettingsStore.h"
#include "platform/UserDialogs.h"
#include "recipients/RecipientTable.h"
#include "results/CsvExport.h"
#include "results/RecipientGrid.h"
#include "results/ui/Form2.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <malloc.h>
#include <vector>

namespace
{

int Rows = 100000;
constexpr int Columns = 10;

class SilentDialogs : public UserDialogs
{
  public:
    Answer messageBox(QWidget *, const Message &) override { return Answer::Ok; }
    QString openFileName(QWidget *, const FileRequest &) override { return {}; }
    QString saveFileName(QWidget *, const FileRequest &) override { return {}; }
    bool chooseFont(QWidget *, FontChoice &) override { return false; }
};

QString cellValue(int r, int c)
{
    static const QStringList surnames = {"山田", "佐藤", "鈴木", "高橋", "田中", "渡辺", "伊藤", "中村"};
    switch (c) {
    case 1: return QStringLiteral("user%1@example.jp").arg(r);
    case 2: return surnames[r % surnames.size()] + QStringLiteral("　太郎");
    case 3: return QStringLiteral("株式会社%1商事").arg(surnames[(r / 3) % surnames.size()]);
    case 4: return QStringLiteral("東京都千代田区丸の内%1丁目%2番").arg(r % 9 + 1).arg(r % 17 + 1);
    default: return QStringLiteral("値%1の%2").arg(c).arg(r * 7 % 1000);
    }
}

RecipientTable makeTable(QString status)
{
    RecipientTable t = RecipientTable::sized(Rows, Columns);
    for (int c = 1; c <= Columns; ++c)
        t.setCell(0, c, QStringLiteral("項目%1").arg(c));
    for (int r = 1; r <= Rows; ++r) {
        t.setCell(r, 0, status.isEmpty() ? (r % 10 == 0 ? StatusFailed : StatusSent) : status);
        for (int c = 1; c <= Columns; ++c)
            t.setCell(r, c, cellValue(r, c));
    }
    return t;
}

size_t heapInUse()
{
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd; // large blocks are mapped on their own
}

// CPU time of this process: on a shared machine the wall time also counts other people's work.
double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc > 1)
        Rows = std::max(1, std::atoi(argv[1]));
    SettingsStore settings;
    SilentDialogs dialogs;

    const size_t before = heapInUse();
    const RecipientTable table = makeTable(QString());
    const size_t tableBytes = heapInUse() - before;

    QElapsedTimer t;
    t.start();
    double cpu = cpuSeconds();
    auto *list = new Form2(settings, dialogs, table, QStringLiteral("本文"), nullptr);
    list->show();
    list->MSFlexGrid1->viewport()->repaint();
    app.processEvents();
    const double openSeconds = t.nsecsElapsed() / 1e9;
    const double openCpu = cpuSeconds() - cpu;
    const size_t windowBytes = heapInUse() - before - tableBytes;

    std::vector<double> pages;
    QScrollBar *down = list->MSFlexGrid1->verticalScrollBar();
    QScrollBar *across = list->MSFlexGrid1->horizontalScrollBar();
    for (int i = 0; i < 200; ++i) {
        t.restart();
        // Pages down through the list, jumps far, and moves sideways now and then.
        down->setValue(i % 20 == 19 ? down->maximum() * (i % 7) / 7 : down->value() + down->pageStep());
        if (i % 5 == 4)
            across->setValue((across->value() + across->pageStep()) % (across->maximum() + 1));
        list->MSFlexGrid1->viewport()->repaint();
        pages.push_back(t.nsecsElapsed() / 1e6);
    }
    delete list;

    QTemporaryDir out;
    const RecipientGrid all(makeTable(StatusFailed));
    t.restart();
    cpu = cpuSeconds();
    const Result<CsvWritten> written = CSVDataPut(all, out.filePath("ng.csv"), StatusFailed);
    const double exportSeconds = t.nsecsElapsed() / 1e9;
    const double exportCpu = cpuSeconds() - cpu;
    // The same work in its two halves: the file's bytes, then the safe replace on disk.
    t.restart();
    const CsvBytes bytes = buildCsv(all, StatusFailed);
    const double buildSeconds = t.nsecsElapsed() / 1e9;
    if (!written || written->count != Rows || bytes.count != Rows) {
        std::fprintf(stderr, "export failed\n");
        return 1;
    }
    std::printf("run open_s=%.3f open_cpu_s=%.3f scroll_page_ms=%.2f scroll_worst_ms=%.2f table_mb=%.1f "
                "window_mb=%.1f "
                "export_s=%.3f export_cpu_s=%.3f export_build_s=%.3f export_file_mb=%.1f\n",
                openSeconds, openCpu, median(pages), *std::max_element(pages.begin(), pages.end()),
                tableBytes / 1e6, windowBytes / 1e6, exportSeconds, exportCpu, buildSeconds,
                QFileInfo(out.filePath("ng.csv")).size() / 1e6);
    return 0;
}
