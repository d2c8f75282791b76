// The check before sending and the merge preview on a large table, as the operator meets them.
//   bench_preflight check [ROWS] [ROUNDS]   checkBeforeSending() on ROWS rows x 10 columns with a
//                                           3 KB body; prints wall and CPU seconds of each round
//   bench_preflight rowfiles [ROWS]         the check with a file of its own per row (attachment
//                                           name with a merge tag, files present) and a CC column;
//                                           prints the check's seconds and a plain stat() of every file
//   bench_preflight check-file FILE [ROUNDS] and preview-file FILE
//                                           the same over a CSV file of those columns (bench/scale)
//   bench_preflight preview [ROWS]          the preview window (offscreen): the check off the GUI
//                                           thread with the event loop's longest gap meanwhile,
//                                           then next-row, problem-row and typed-row moves
#include "app/MergePreviewWindow.h"
#include "platform/SettingsStore.h"
#include "recipients/Importers.h"
#include "send/Preflight.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include <sys/stat.h>

namespace
{

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// ROWS recipients in 10 columns; a few rows carry the problems the check looks for (an empty name
// every 997th row, a repeated address every 1009th, a broken one every 5003rd), the rest are clean.
RecipientTable makeTable(int rows)
{
    const QStringList names{QStringLiteral("メールアドレス"), QStringLiteral("氏名"),
                            QStringLiteral("会社名"),         QStringLiteral("部署"),
                            QStringLiteral("役職"),           QStringLiteral("郵便番号"),
                            QStringLiteral("住所"),           QStringLiteral("電話番号"),
                            QStringLiteral("担当者"),         QStringLiteral("備考")};
    RecipientTable t = RecipientTable::sized(rows, int(names.size()));
    for (int c = 1; c <= names.size(); ++c)
        t.setCell(0, c, names[c - 1]);
    for (int r = 1; r <= rows; ++r) {
        QString address = QStringLiteral("user%1@example%2.co.jp").arg(r).arg(r % 50);
        if (r % 1009 == 0)
            address = QStringLiteral("user%1@example%2.co.jp").arg(r - 1).arg((r - 1) % 50);
        if (r % 5003 == 0)
            address = QStringLiteral("user%1.example.co.jp").arg(r);
        t.setCell(r, 1, address);
        t.setCell(r, 2, r % 997 == 0 ? QString() : QStringLiteral("山田 太郎%1").arg(r));
        t.setCell(r, 3, QStringLiteral("株式会社サンプル商事%1").arg(r % 300));
        t.setCell(r, 4, QStringLiteral("営業第%1部").arg(r % 9 + 1));
        t.setCell(r, 5, QStringLiteral("課長"));
        t.setCell(r, 6, QStringLiteral("100-%1").arg(r % 10000, 4, 10, QLatin1Char('0')));
        t.setCell(r, 7, QStringLiteral("東京都千代田区丸の内%1-%2-%3").arg(r % 3 + 1).arg(r % 20).arg(r % 7));
        t.setCell(r, 8, QStringLiteral("03-%1-%2").arg(r % 9000 + 1000).arg(r % 8000 + 1000));
        t.setCell(r, 9, QStringLiteral("髙橋"));
        t.setCell(r, 10, QStringLiteral("①～特記事項なし"));
    }
    return t;
}

// A 3 KB body (3 072 characters) with tags of eight columns, as a letter would use them.
SendInputs makeInputs()
{
    SendInputs in;
    in.haveAddresses = true;
    in.server = QStringLiteral("mail.example.jp");
    in.sender = QStringLiteral("ベルモラ商事 <info@example.jp>");
    in.subject = QStringLiteral("<%会社名%> <%氏名%>様へのご案内");
    QString body = QStringLiteral("<%会社名%>\n<%部署%> <%役職%>\n<%氏名%>様\n\n〒<%郵便番号%> <%住所%>\n"
                                  "お電話：<%電話番号%>\n\n");
    const QString paragraph = QStringLiteral("平素は格別のお引き立てを賜り、厚く御礼申し上げます。"
                                             "さて、このたび弊社では新しいサービスを開始いたしました。\n");
    const QString tail = QStringLiteral("担当：<%担当者%>\n");
    while (body.size() + tail.size() < 3072)
        body += paragraph;
    body.truncate(3072 - tail.size());
    body += tail;
    in.body = body;
    return in;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_preflight check [ROWS] [ROUNDS] | preview [ROWS]\n");
        return 2;
    }
    QString mode = QString::fromLocal8Bit(argv[1]);
    RecipientTable table;
    if (mode.endsWith(QLatin1String("-file")) && argc >= 3) {
        mode.chop(5);
        Result<RecipientTable> read = CSVDataGet(QString::fromLocal8Bit(argv[2]));
        if (!read) {
            std::fprintf(stderr, "%s\n", qPrintable(read.failure().description));
            return 1;
        }
        table = std::move(read.value());
    } else {
        table = makeTable(argc >= 3 ? std::atoi(argv[2]) : 100000);
    }
    const int rows = table.lastRow();
    const SendInputs inputs = makeInputs();

    if (mode == QLatin1String("check")) {
        const int rounds = argc >= 4 ? std::atoi(argv[3]) : 5;
        for (int k = 0; k < rounds; ++k) {
            QElapsedTimer timer;
            const double cpu = cpuSeconds();
            timer.start();
            const PreflightReport report = checkBeforeSending(table, inputs);
            std::printf(
                "check rows=%d body_chars=%lld problems=%d problem_rows=%zu seconds=%.3f cpu_seconds=%.3f\n",
                report.rows, static_cast<long long>(inputs.body.size()), report.problems,
                report.problemRows.size(), timer.nsecsElapsed() / 1e9, cpuSeconds() - cpu);
        }
        return 0;
    }
    if (mode == QLatin1String("rowfiles")) {
        // Every row has its own invoice file and a copy to its account's representative.
        RecipientTable withFiles = table;
        withFiles.setCell(0, 10, QStringLiteral("CC"));
        QTemporaryDir folder;
        QStringList paths;
        for (int r = 1; r <= rows; ++r) {
            withFiles.setCell(r, 10, QStringLiteral("rep%1@example.co.jp").arg(r % 40));
            paths << folder.filePath(withFiles.cell(r, 2) + QStringLiteral(".pdf"));
            QFile f(paths.back());
            if (!f.open(QIODevice::WriteOnly) || f.write("%PDF-1.4\n") != 9)
                return 1;
        }
        SendInputs perRow = inputs;
        perRow.attachments = folder.filePath(QStringLiteral("<%氏名%>.pdf"));
        for (int k = 0; k < 3; ++k) {
            QElapsedTimer timer;
            timer.start();
            for (const QString &path : std::as_const(paths)) {
                struct stat st;
                if (::stat(QFile::encodeName(path).constData(), &st) != 0)
                    return 1;
            }
            const double statSeconds = timer.nsecsElapsed() / 1e9;
            timer.restart();
            const double cpu = cpuSeconds();
            const PreflightReport report = checkBeforeSending(withFiles, perRow);
            std::printf("rowfiles rows=%d problems=%d seconds=%.3f cpu_seconds=%.3f stat_only_seconds=%.3f\n",
                        report.rows, report.problems, timer.nsecsElapsed() / 1e9, cpuSeconds() - cpu,
                        statSeconds);
        }
        return 0;
    }
    if (mode != QLatin1String("preview")) {
        std::fprintf(stderr, "unknown mode\n");
        return 2;
    }

    QApplication app(argc, argv);
    SettingsStore settings;
    QElapsedTimer opening;
    opening.start();
    MergePreviewWindow preview(settings, nullptr, table, inputs);
    preview.show();
    QApplication::processEvents();
    const double openSeconds = opening.nsecsElapsed() / 1e9;

    // While the check runs on its thread, a 10 ms timer on the GUI thread measures how long the
    // event loop ever waits: the window's responsiveness.
    qint64 longestGapNs = 0, last = opening.nsecsElapsed();
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = opening.nsecsElapsed();
        longestGapNs = std::max(longestGapNs, now - last);
        last = now;
    });
    tick.start(10);
    while (!preview.checked())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    tick.stop();
    std::printf("preview rows=%d open_seconds=%.3f check_done_seconds=%.3f longest_event_loop_gap_ms=%.1f\n",
                rows, openSeconds, opening.nsecsElapsed() / 1e9, longestGapNs / 1e6);

    // A move as the operator makes it: the click, the new texts, the window repainted.
    auto measure = [&](const char *what, int moves, auto move) {
        std::vector<double> ms;
        for (int k = 0; k < moves; ++k) {
            QElapsedTimer t;
            t.start();
            move();
            preview.repaint();
            ms.push_back(t.nsecsElapsed() / 1e6);
        }
        std::sort(ms.begin(), ms.end());
        double sum = 0;
        for (double v : ms)
            sum += v;
        std::printf("%s moves=%d mean_ms=%.2f median_ms=%.2f max_ms=%.2f last_row=%d\n", what, moves,
                    sum / double(ms.size()), ms[ms.size() / 2], ms.back(), preview.row());
    };
    preview.showRow(rows / 2);
    measure("next_row", 500, [&] { preview.cmdNext->click(); });
    measure("previous_row", 500, [&] { preview.cmdPrevious->click(); });
    preview.chkProblemsOnly->setChecked(true);
    measure("next_problem_row", 100, [&] { preview.cmdNext->click(); });
    preview.chkProblemsOnly->setChecked(false);
    int typed = 1;
    measure("typed_row", 200, [&] {
        typed = (typed * 7919) % rows + 1;
        preview.txtRow->setValue(typed);
    });
    return 0;
}
