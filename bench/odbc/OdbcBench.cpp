// Loads 100 000 rows of 10 columns through ODBC from SQLite or from a local PostgreSQL server and
// prints the time of the import and the peak memory of the process. The data source is made
// before the clock starts; one load per process, so the peak belongs to that load alone.
#include "OdbcSources.h"
#include "recipients/Importers.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>

namespace
{

constexpr int Rows = 100000;

double cpuSeconds()
{
    struct rusage u {
    };
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double peakMb()
{
    struct rusage u {
    };
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;
}

// Ten columns: address, Japanese name and kana, company, postcode, prefecture, an integer, a
// decimal, a date and a note.
const char *SqliteData =
    "CREATE TABLE bench AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
    "SELECT 'user' || i || '@example.co.jp' AS メール, '山田 太郎' || i AS 氏名, 'ヤマダ タロウ' AS カナ, "
    "'株式会社サンプル商事' AS 会社, '100-' || printf('%04d', i % 10000) AS 郵便番号, '東京都' AS 都道府県, "
    "i AS 番号, i * 1.25 AS 金額, date('2026-01-01', '+' || (i % 365) || ' days') AS 入会日, "
    "'備考' || (i % 97) AS 備考 FROM n;";

const char *PostgresData =
    "CREATE TABLE bench AS SELECT 'user' || i || '@example.co.jp' AS メール, '山田 太郎' || i AS 氏名, "
    "'ヤマダ タロウ'::text AS カナ, '株式会社サンプル商事'::text AS 会社, "
    "'100-' || lpad((i % 10000)::text, 4, '0') AS 郵便番号, '東京都'::text AS 都道府県, i AS 番号, "
    "(i * 1.25)::numeric(12,2) AS 金額, date '2026-01-01' + (i % 365) AS 入会日, '備考' || (i % 97) AS 備考 "
    "FROM generate_series(1, %1) i;";

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2 || (std::strcmp(argv[1], "sqlite") != 0 && std::strcmp(argv[1], "postgres") != 0)) {
        std::fprintf(stderr, "usage: bench_odbc sqlite|postgres\n");
        return 2;
    }
    const bool sqlite = std::strcmp(argv[1], "sqlite") == 0;
    OdbcTestConfig config;
    PostgresServer server;
    if (sqlite) {
        const QString db = config.path(QStringLiteral("bench.db"));
        const QString e = sqliteExec(db, QString::fromUtf8(SqliteData).arg(Rows));
        if (!e.isEmpty()) {
            std::fprintf(stderr, "sqlite: %s\n", qPrintable(e));
            return 1;
        }
        config.addSqlite(QStringLiteral("bench"), db);
    } else {
        QString e = server.start();
        if (e.isEmpty())
            e = server.psql(QString::fromUtf8(PostgresData).arg(Rows));
        if (!e.isEmpty()) {
            std::fprintf(stderr, "postgres: %s\n", qPrintable(e));
            return 1;
        }
        config.addSystemSource(QStringLiteral("bench"), server.sourceKeys());
    }

    // Extra keys of the data source, e.g. BENCH_ODBC_KEYS="StepAPI=0" or "UseDeclareFetch=0", to
    // show that the data source's own reading mode does not decide.
    const QString extra = qEnvironmentVariable("BENCH_ODBC_KEYS");
    if (!extra.isEmpty()) {
        QMap<QString, QString> keys;
        if (sqlite) {
            keys = {{QStringLiteral("Driver"), OdbcTestConfig::sqliteDriver()},
                    {QStringLiteral("Database"), config.path(QStringLiteral("bench.db"))}};
        } else {
            keys = server.sourceKeys();
        }
        for (const QString &kv : extra.split(u';', Qt::SkipEmptyParts))
            keys[kv.section(u'=', 0, 0)] = kv.section(u'=', 1);
        config.addSystemSource(QStringLiteral("bench2"), keys);
    }
    const QString dsn = extra.isEmpty() ? QStringLiteral("bench") : QStringLiteral("bench2");

    const double before = peakMb();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    qint64 reports = 0;
    Result<RecipientTable> t = ODBCDataGet(dsn, QStringLiteral("bench"), [&reports](qint64) { ++reports; });
    const double seconds = timer.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    const double peak = peakMb();
    if (!t) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(t.failure().description));
        return 1;
    }
    // The table's text: every cell in the UTF-16 form the table keeps.
    qint64 chars = 0;
    for (int r = 0; r <= t->lastRow(); ++r)
        for (int c = 1; c <= t->lastColumn(); ++c)
            chars += t->cellView(r, c).size();
    const double textMb = chars * 2 / 1e6;
    std::printf("%s rows=%d columns=%d text_mb=%.1f seconds=%.3f cpu_seconds=%.3f peak_rss_mb=%.1f "
                "rss_before_mb=%.1f "
                "growth_over_text=%.2f progress_reports=%lld\n",
                argv[1], t->lastRow(), t->lastColumn(), textMb, seconds, cpu, peak, before,
                (peak - before) / textMb, reports);
    return 0;
}
