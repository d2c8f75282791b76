// Continuing a long run after a crash, up to its first mail: the unfinished journals listed (each
// read once, as the offer does), the chosen one reopened under its lock (read again only when it
// changed since it was listed), the table's digest (made meanwhile on the other core, as the window
// does) checked against it, and the statuses put back into the table. The journal is the one a run killed
// half-way leaves: every row declared in groups of 64, the first half accepted (one row in 50 refused with a
// reason), the next row started without an outcome.
//
//   resume_bench [--rows N] [--rounds K] [--folder DIR]
//   resume_bench --rows N --leave DIR [--finished]
//
// DIR defaults to a scratch folder in the journal folder's place. Prints the median of the rounds.
// With --leave the journal is only written, into DIR (a journal folder), and kept there: the one
// of a run killed half-way, or with --finished that of a run that sent every row and closed.
#include "MedianRound.h"
#include "recipients/RecipientTable.h"
#include "send/journal/JournalReport.h"
#include "send/journal/JournalStore.h"
#include "send/journal/Resume.h"
#include "send/journal/SendJournal.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <future>
#include <numeric>

namespace
{

struct Round {
    double listS = 0, reopenS = 0, digestS = 0, statusS = 0, totalS = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int rows = 20000, rounds = 5;
    QString base = QFileInfo(journalFolder()).path();
    QString leave;
    bool finished = false;
    QStringList args = app.arguments();
    finished = args.removeAll(QStringLiteral("--finished")) > 0;
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--leave")
            leave = args[i + 1];
        else if (args[i] == u"--rows")
            rows = args[i + 1].toInt();
        else if (args[i] == u"--rounds")
            rounds = args[i + 1].toInt();
        else if (args[i] == u"--folder")
            base = args[i + 1];
    }
    QDir().mkpath(base);
    QTemporaryDir scratch(base + QStringLiteral("/resume-bench-XXXXXX"));
    const QString folder = leave.isEmpty() ? scratch.filePath(QStringLiteral("velmora")) : leave;

    // Ten columns of twelve characters or so, the address first.
    RecipientTable table = RecipientTable::sized(rows, 10);
    for (int c = 1; c <= 10; ++c)
        table.setCell(0, c, QStringLiteral("列%1").arg(c));
    for (int r = 1; r <= rows; ++r) {
        table.setCell(r, 1, QStringLiteral("user%1@example.jp").arg(r));
        for (int c = 2; c <= 10; ++c)
            table.setCell(r, c, QStringLiteral("cell-%1-%2").arg(r, 6).arg(c));
    }

    RunIdentity id;
    id.source = QStringLiteral("/home/taro/名簿.csv");
    id.tableDigest = tableDigest(table);
    id.subject = QStringLiteral("<%列2%>様へのご案内");
    id.body = QString(3000, u'本');
    id.sender = QStringLiteral("sales@example.jp");
    id.server = QStringLiteral("127.0.0.1:2525");
    id.rows = rows;
    std::unique_ptr<SendJournal> writer = std::move(SendJournal::create(id, folder).value());
    for (int first = 1; first <= rows; first += 64) {
        std::vector<int> group(size_t(std::min(64, rows - first + 1)));
        std::iota(group.begin(), group.end(), first);
        writer->declare(group);
    }
    const int sent = finished ? rows : rows / 2;
    for (int r = 1; r <= sent; ++r) {
        writer->started(r);
        if (r % 50 == 0)
            writer->outcome(
                r, RunJournal::RowState::Refused,
                QStringLiteral("550 5.1.1 <user%1@example.jp>: Recipient address rejected").arg(r));
        else
            writer->outcome(r, RunJournal::RowState::Accepted, QString());
    }
    if (finished) {
        writer->closed(true);
        return 0;
    }
    writer->started(rows / 2 + 1);
    writer.reset(); // killed: never closed
    if (!leave.isEmpty())
        return 0;

    std::vector<Round> all;
    for (int k = 0; k < rounds; ++k) {
        Round round;
        RecipientTable loaded = table;
        loaded.setCell(0, 1, table.cell(0, 1)); // a table of its own, as a fresh load is
        QElapsedTimer total, part;
        total.start();
        part.start();
        // As the window lists them: the loaded table's digest is made on the other core meanwhile.
        QElapsedTimer digestTime;
        std::future<std::pair<QByteArray, double>> made = std::async(std::launch::async, [&loaded] {
            QElapsedTimer t;
            t.start();
            QByteArray digest = tableDigest(loaded);
            return std::pair{digest, t.nsecsElapsed() / 1e9};
        });
        std::vector<JournalStore::Entry> unfinished = JournalStore(folder).unfinished();
        round.listS = part.nsecsElapsed() / 1e9;
        const auto [digest, digestS] = made.get();
        round.digestS = digestS;
        part.start();
        // As the window does: the listed report is taken when the file has not changed since.
        Result<std::unique_ptr<SendJournal>> reopened =
            SendJournal::reopen(unfinished.at(0).path, currentBootId(), &unfinished.at(0).report.value());
        round.reopenS = part.nsecsElapsed() / 1e9;
        if (!reopened) {
            std::fprintf(stderr, "%s\n", qPrintable(reopened.failure().description));
            return 1;
        }
        const JournalReport &report = *reopened.value()->report();
        if (loaded.lastRow() != report.identity.rows || digest != report.identity.tableDigest) {
            std::fprintf(stderr, "digest differs\n");
            return 1;
        }
        part.start();
        restoreStatuses(loaded, report);
        round.statusS = part.nsecsElapsed() / 1e9;
        round.totalS = total.nsecsElapsed() / 1e9;
        if (report.accepted + report.refused != rows / 2 || report.mayHaveArrived != 1 ||
            loaded.cell(1, 0) != StatusSent || loaded.cell(50, 0) != StatusFailed ||
            !loaded.mayHaveArrived(rows / 2 + 1))
            std::fprintf(stderr, "read back wrong\n");
        all.push_back(round);
    }
    std::printf("%d rows x 10 columns, journal of a run killed half-way; median of %d rounds\n", rows,
                rounds);
    std::printf("  list unfinished journals: %.3f s\n", median(all, [](const Round &r) { return r.listS; }));
    std::printf("  reopen under the lock:    %.3f s\n",
                median(all, [](const Round &r) { return r.reopenS; }));
    std::printf("  table digest, meanwhile:  %.3f s\n",
                median(all, [](const Round &r) { return r.digestS; }));
    std::printf("  statuses back:            %.3f s\n",
                median(all, [](const Round &r) { return r.statusS; }));
    std::printf("  total:                    %.3f s (target < 1 s)\n",
                median(all, [](const Round &r) { return r.totalS; }));
    return 0;
}
