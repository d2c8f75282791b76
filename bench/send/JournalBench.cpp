// The journal of a send run on its own, as a run drives it: rows declared in groups (one sync per
// group), then "started" and "outcome" for each row; then the journal read back, and the digest
// of a table of that many rows. Then a stand-in for a whole run: each row costs WORK microseconds
// of processor time (100: a run of 10 000 mails a second), once without a journal and once with
// one that is told of each group AHEAD groups before it is sent (its sync then overlaps sending).
//
//   journal_bench [--rows N] [--group G] [--folder DIR] [--rounds K] [--work-us WORK] [--ahead AHEAD]
//
// DIR defaults to a scratch folder in the journal folder's place ($XDG_STATE_HOME or
// ~/.local/state), so the syncs hit the disk that real journals live on. Prints median rounds.
#include "MedianRound.h"
#include "recipients/RecipientTable.h"
#include "send/journal/JournalReport.h"
#include "send/journal/SendJournal.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/vfs.h>

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace
{

struct Round {
    double declareS = 0; // in declare()
    double rowS = 0;     // in started() (which waits for its group's sync) and outcome()
    double totalS = 0;   // create .. closed
    double readS = 0;
};

void work(qint64 ns)
{
    QElapsedTimer t;
    t.start();
    while (t.nsecsElapsed() < ns) {
    }
}

RunIdentity identity(int rows)
{
    RunIdentity id;
    id.source = QStringLiteral("/home/taro/名簿.csv");
    id.tableDigest = QByteArray(32, '\1');
    id.subject = QStringLiteral("ご案内");
    id.body = QString(3000, u'本');
    id.sender = QStringLiteral("sales@example.jp");
    id.server = QStringLiteral("127.0.0.1:2525");
    id.rows = rows;
    return id;
}

Round round(const QString &folder, int rows, int group)
{
    Round r;
    QElapsedTimer total, part;
    total.start();
    std::unique_ptr<SendJournal> j = std::move(SendJournal::create(identity(rows), folder).value());
    std::vector<int> rowsOfGroup;
    for (int first = 1; first <= rows; first += group) {
        rowsOfGroup.resize(size_t(std::min(group, rows - first + 1)));
        std::iota(rowsOfGroup.begin(), rowsOfGroup.end(), first);
        part.start();
        j->declare(rowsOfGroup);
        r.declareS += part.nsecsElapsed() / 1e9;
        part.start();
        for (const int row : rowsOfGroup) {
            j->started(row);
            j->outcome(row, RunJournal::RowState::Accepted, QString());
        }
        r.rowS += part.nsecsElapsed() / 1e9;
    }
    j->closed(true);
    r.totalS = total.nsecsElapsed() / 1e9;
    if (j->failure())
        std::fprintf(stderr, "journal failed: %s\n", qPrintable(j->failure()->description));
    part.start();
    const Result<JournalReport> report = readJournal(j->path());
    r.readS = part.nsecsElapsed() / 1e9;
    if (!report || report->accepted != rows)
        std::fprintf(stderr, "read back wrong\n");
    QFile::remove(j->path());
    return r;
}

// Seconds for a run of `rows` rows of `workNs` each; with a journal when folder is not empty.
double run(const QString &folder, int rows, int group, qint64 workNs, int ahead)
{
    QElapsedTimer t;
    t.start();
    std::unique_ptr<SendJournal> j;
    if (!folder.isEmpty())
        j = std::move(SendJournal::create(identity(rows), folder).value());
    auto groupAt = [&](int first) {
        std::vector<int> g(size_t(std::max(0, std::min(group, rows - first + 1))));
        std::iota(g.begin(), g.end(), first);
        return g;
    };
    for (int k = 0; j && k < ahead; ++k)
        j->declare(groupAt(1 + k * group));
    for (int row = 1; row <= rows; ++row) {
        if (j && (row - 1) % group == 0 && row + ahead * group <= rows)
            j->declare(groupAt(row + ahead * group));
        if (j)
            j->started(row);
        work(workNs);
        if (j)
            j->outcome(row, RunJournal::RowState::Accepted, QString());
    }
    if (j) {
        j->closed(true);
        QFile::remove(j->path());
    }
    return t.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int rows = 20000, group = 64, rounds = 5, workUs = 100, ahead = 2;
    QString base = QFileInfo(journalFolder()).path();
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--rows")
            rows = args[i + 1].toInt();
        else if (args[i] == u"--group")
            group = args[i + 1].toInt();
        else if (args[i] == u"--folder")
            base = args[i + 1];
        else if (args[i] == u"--rounds")
            rounds = args[i + 1].toInt();
        else if (args[i] == u"--work-us")
            workUs = args[i + 1].toInt();
        else if (args[i] == u"--ahead")
            ahead = std::max(1, args[i + 1].toInt());
    }
    QDir().mkpath(base);
    QTemporaryDir scratch(base + QStringLiteral("/journal-bench-XXXXXX"));
    const QString folder = scratch.filePath(QStringLiteral("velmora"));
    struct statfs fs;
    statfs(QFile::encodeName(scratch.path()).constData(), &fs);
    std::printf("folder %s (filesystem magic 0x%lx); %d rows, groups of %d, %d rounds\n",
                qPrintable(scratch.path()), long(fs.f_type), rows, group, rounds);

    std::vector<Round> all;
    for (int k = 0; k < rounds; ++k)
        all.push_back(round(folder, rows, group));
    // The head's, one a group at most (groups declared meanwhile share one), and the close's.
    const int syncs = (rows + group - 1) / group + 2;
    const double total = median(all, [](const Round &r) { return r.totalS; });
    const double declare = median(all, [](const Round &r) { return r.declareS; });
    const double row = median(all, [](const Round &r) { return r.rowS; });
    const double read = median(all, [](const Round &r) { return r.readS; });
    std::printf("write: %.3f s, %.0f rows/s, at most %d syncs = %.0f syncs/s (create to close)\n", total,
                rows / total, syncs, syncs / total);
    std::printf(
        "  declare: %.2f us per row; started (with waits for its group's sync) + outcome: %.2f us per row\n",
        1e6 * declare / rows, 1e6 * row / rows);
    std::printf("read: %.3f s for %d rows\n", read, rows);

    // The digest of a table of that many recipients, 10 columns of 12 characters.
    RecipientTable table = RecipientTable::sized(rows, 10);
    for (int r = 0; r <= rows; ++r)
        for (int c = 1; c <= 10; ++c)
            table.setCell(r, c, QStringLiteral("cell-%1-%2").arg(r, 6).arg(c));
    QElapsedTimer t;
    t.start();
    const QByteArray digest = tableDigest(table);
    std::printf("table digest: %.3f s for %d x 10 cells (%s)\n", t.nsecsElapsed() / 1e9, rows,
                digest.toHex().left(8).constData());

    std::vector<double> without, with;
    for (int k = 0; k < rounds; ++k) {
        without.push_back(run(QString(), rows, group, workUs * 1000LL, ahead));
        with.push_back(run(folder, rows, group, workUs * 1000LL, ahead));
    }
    std::sort(without.begin(), without.end());
    std::sort(with.begin(), with.end());
    const double a = without[without.size() / 2], b = with[with.size() / 2];
    std::printf("run of %d us a row, groups declared %d ahead: %.0f rows/s without a journal, %.0f with "
                "(%.1f %%; target >= 90 %%)\n",
                workUs, ahead, rows / a, rows / b, 100 * a / b);
    return 0;
}
