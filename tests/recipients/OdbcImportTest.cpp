#include "OdbcSources.h"
#include "TestEnvironment.h"
#include "platform/formats/odbc/OdbcSource.h"
#include "recipients/Importers.h"

#include <gtest/gtest.h>

#include <memory>

namespace
{

QStringList row(const RecipientTable &t, int r)
{
    QStringList out;
    for (int c = 1; c <= t.lastColumn(); ++c)
        out << t.cell(r, c);
    return out;
}

// Every failure of the driver reaches the operator with its SQLSTATE and the driver's message.
void expectDriverFailure(const Result<RecipientTable> &r, const char *sqlState, const QString &context)
{
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure().number, FailureNumber::OdbcFailure);
    const QString text = r.failure().description;
    EXPECT_TRUE(text.contains(context)) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("[%1]").arg(QLatin1String(sqlState)))) << text.toStdString();
}

int rowsOf(const QString &dsn, const QString &source)
{
    const Result<RecipientTable> t = ODBCDataGet(dsn, source);
    return t.ok() ? t->lastRow() : -1;
}

// Texts that would change the table 会員 are refused before they run.
void expectChangesRefused(const QString &dsn)
{
    for (const char *text :
         {"DELETE FROM 会員", "UPDATE 会員 SET メール = ''", "DROP TABLE 会員",
          "INSERT INTO 会員 (メール) VALUES ('x@example.jp')", "SELECT 1; DELETE FROM 会員"}) {
        EXPECT_EQ(ODBCDataGet(dsn, QString::fromUtf8(text)).failure().description,
                  Failure::odbcNotAQuery(QString::fromUtf8(text)).description);
    }
    EXPECT_EQ(rowsOf(dsn, QStringLiteral("会員")), 2);
}

// Statements that pass the query check but try to change 会員: each fails, and the table is read
// back as it was.
void expectWritesFail(const QString &dsn, const QStringList &statements)
{
    const Result<RecipientTable> before = ODBCDataGet(dsn, QStringLiteral("会員"));
    ASSERT_TRUE(before.ok()) << before.failure().description.toStdString();
    for (const QString &statement : statements) {
        const Result<RecipientTable> t = ODBCDataGet(dsn, statement);
        EXPECT_FALSE(t.ok()) << dsn.toStdString() << ": " << statement.toStdString();
        const Result<RecipientTable> after = ODBCDataGet(dsn, QStringLiteral("会員"));
        ASSERT_TRUE(after.ok());
        ASSERT_EQ(after->lastRow(), before->lastRow()) << statement.toStdString();
        for (int r = 1; r <= before->lastRow(); ++r)
            EXPECT_EQ(row(after.value(), r), row(before.value(), r)) << statement.toStdString();
    }
}

bool refusedAsWrite(const Result<RecipientTable> &r, const QString &statement)
{
    return !r.ok() && r.failure().description.startsWith(
                          Failure::odbcWriteRefused(statement, QString()).description.section(u'\n', 0, 0));
}

const QString Members = QStringLiteral("会員");
const QStringList Header = {QStringLiteral("メール"), QStringLiteral("氏名"), QStringLiteral("金額"),
                            QStringLiteral("入会日"), QStringLiteral("備考")};

class SqliteOdbcTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (OdbcTestConfig::sqliteDriver().isEmpty())
            GTEST_SKIP() << "the SQLite ODBC driver is not installed (scripts/install-deps)";
        db = odbcWorld().freshSqliteDatabase();
        ASSERT_EQ(
            sqliteExec(db,
                       QStringLiteral(
                           "CREATE TABLE 会員 (メール TEXT, 氏名 TEXT, 金額 INTEGER, 入会日 DATE, 備考 TEXT);"
                           "INSERT INTO 会員 VALUES ('taro@example.jp', '  山田 太郎 ', 1200, "
                           "'2026-04-01', '');"
                           "INSERT INTO 会員 VALUES ('hanako@example.jp', '鈴木　花子', -5, "
                           "'2025-12-31', '㈱髙橋①～');"
                           "CREATE TABLE empty_one (address TEXT, name TEXT);")),
            QString());
    }

    QString db;
};

} // namespace

TEST(OdbcStatementTest, OneIdentifierIsATableEverythingElseRunsAsTyped)
{
    const QString all = QStringLiteral("SELECT * FROM ");
    for (const QString &name :
         {QStringLiteral("members"), QStringLiteral("会員"), QStringLiteral("\"my table\""),
          QStringLiteral("\"a\"\"b\""), QStringLiteral("[顧客 一覧]"), QStringLiteral("`t`"),
          QStringLiteral("public.members"), QStringLiteral("main.\"会員 2\"")})
        EXPECT_EQ(odbcStatementFor(name), all + name) << name.toStdString();
    EXPECT_EQ(odbcStatementFor(QStringLiteral(" members ")), all + QStringLiteral("members"));
    for (const QString &statement :
         {QStringLiteral("select * from members"), QStringLiteral("members;"), QStringLiteral("\"open"),
          QStringLiteral("a.b.c.d"), QStringLiteral("1st"), QStringLiteral("a..b"),
          QStringLiteral("members x"), QStringLiteral("VALUES(1)"), QStringLiteral("\"\"")})
        EXPECT_EQ(odbcStatementFor(statement), statement) << statement.toStdString();
}

TEST(OdbcStatementTest, OnlyOneQueryPassesTheCheck)
{
    for (const char *query : {"VALUES(1)", "select\t*from t;  \r\n", "WITH x AS (SELECT 1) SELECT * FROM x",
                              " -- 宛先\n/* 今月 */ Select * FROM t"})
        EXPECT_TRUE(odbcIsQuery(QString::fromUtf8(query))) << query;
    for (const char *other :
         {"SELECT 1;;", "SELECT ';' ; DROP TABLE t", "SELECTED", "select_all", "-- SELECT 1",
          "EXPLAIN SELECT 1", "/* /* */ SELECT 1 */ DELETE FROM t", "/*!DELETE FROM t*/ SELECT 1"})
        EXPECT_FALSE(odbcIsQuery(QString::fromUtf8(other))) << other;
}

TEST_F(SqliteOdbcTest, TableNameAndStatementLoadTheSameTable)
{
    const QStringList first = {QStringLiteral("taro@example.jp"), QStringLiteral("  山田 太郎 "),
                               QStringLiteral("1200"), QStringLiteral("2026-04-01"), QString()};
    const QStringList second = {QStringLiteral("hanako@example.jp"), QStringLiteral("鈴木　花子"),
                                QStringLiteral("-5"), QStringLiteral("2025-12-31"),
                                QStringLiteral("㈱髙橋①～")};
    // "members_plain" turns the driver's row-by-row reading off itself.
    const QString members = QStringLiteral("members");
    for (const auto &[dsn, source] :
         {std::pair{members, Members}, std::pair{members, QStringLiteral("\"会員\"")},
          std::pair{members, QStringLiteral("SELECT * FROM 会員")},
          std::pair{QStringLiteral("members_plain"), Members}}) {
        const Result<RecipientTable> t = ODBCDataGet(dsn, source);
        ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
        ASSERT_EQ(t->lastRow(), 2);
        ASSERT_EQ(t->lastColumn(), 5);
        EXPECT_EQ(row(t.value(), 0), Header);
        EXPECT_EQ(row(t.value(), 1), first);
        EXPECT_EQ(row(t.value(), 2), second);
        for (int r = 0; r <= 2; ++r)
            EXPECT_TRUE(t->cell(r, 0).isEmpty());
    }
    const Result<RecipientTable> q = ODBCDataGet(
        QStringLiteral("members"), QStringLiteral("SELECT 金額 * 2 AS 倍額, 3.25 AS 小数 FROM 会員"));
    ASSERT_TRUE(q.ok()) << q.failure().description.toStdString();
    EXPECT_EQ(row(q.value(), 0), (QStringList{QStringLiteral("倍額"), QStringLiteral("小数")}));
    EXPECT_EQ(row(q.value(), 1), (QStringList{QStringLiteral("2400"), QStringLiteral("3.25")}));
}

TEST_F(SqliteOdbcTest, NullFailsNamingRecordAndFieldWhileEmptyTextLoads)
{
    ASSERT_EQ(sqliteExec(db, QStringLiteral("INSERT INTO 会員 VALUES ('jiro@example.jp', '次郎', 1, "
                                            "'2026-01-01', NULL);")),
              QString());
    const Result<RecipientTable> t = ODBCDataGet(QStringLiteral("members"), Members);
    ASSERT_FALSE(t.ok());
    EXPECT_EQ(t.failure().number, FailureNumber::InvalidUseOfNull);
    EXPECT_TRUE(
        t.failure().description.startsWith(QStringLiteral("3件目のレコードの項目「備考」がNULLです。")))
        << t.failure().description.toStdString();

    const Result<RecipientTable> fixed = ODBCDataGet(
        QStringLiteral("members"), QStringLiteral("SELECT メール, COALESCE(備考, '') AS 備考 FROM 会員"));
    ASSERT_TRUE(fixed.ok()) << fixed.failure().description.toStdString();
    EXPECT_EQ(fixed->lastRow(), 3);
    EXPECT_EQ(fixed->cell(3, 2), QString());
}

TEST_F(SqliteOdbcTest, ZeroRowsGiveTheHeaderOnly)
{
    const Result<RecipientTable> t = ODBCDataGet(QStringLiteral("members"), QStringLiteral("empty_one"));
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    EXPECT_EQ(t->lastRow(), 0);
    EXPECT_EQ(row(t.value(), 0), (QStringList{QStringLiteral("address"), QStringLiteral("name")}));
}

TEST_F(SqliteOdbcTest, ValuesLongerThanOneReadArriveWhole)
{
    // Long enough to need several reads from the driver; the 4-byte character straddles a read.
    QString longText = QString(4094, u'あ') + QStringLiteral("😀") + QString(9000, u'x') + u'末';
    ASSERT_EQ(sqliteExec(db, QStringLiteral("CREATE TABLE long_one (address TEXT, body TEXT);"
                                            "INSERT INTO long_one VALUES ('a@b', '%1');")
                                 .arg(longText)),
              QString());
    const Result<RecipientTable> t = ODBCDataGet(QStringLiteral("members"), QStringLiteral("long_one"));
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    EXPECT_EQ(t->cell(1, 2), longText);
}

TEST_F(SqliteOdbcTest, StatementWithoutColumnsFails)
{
    // It begins like a query; what it would delete stays.
    const Result<RecipientTable> none =
        ODBCDataGet(QStringLiteral("members"), QStringLiteral("WITH x AS (SELECT 1) DELETE FROM 会員"));
    ASSERT_FALSE(none.ok());
    EXPECT_TRUE(none.failure().description.startsWith(
        QStringLiteral("「WITH x AS (SELECT 1) DELETE FROM 会員」は列を返しません。")));
    expectChangesRefused(QStringLiteral("members"));
}

TEST_F(SqliteOdbcTest, NothingTheTextDoesToTheSourceIsKept)
{
    // "members_plain" turns the driver's transactions off itself: a rollback would undo nothing.
    const QString deleting = QStringLiteral("WITH x AS (SELECT 1) DELETE FROM 会員 RETURNING メール");
    for (const QString &dsn : {QStringLiteral("members"), QStringLiteral("members_plain")}) {
        expectChangesRefused(dsn);
        expectWritesFail(dsn,
                         {deleting, QStringLiteral("WITH x AS (SELECT 1) DELETE FROM 会員"),
                          QStringLiteral("WITH x AS (SELECT 1) UPDATE 会員 SET メール = '' RETURNING メール"),
                          QStringLiteral("WITH x AS (SELECT 1) INSERT INTO 会員 (メール) VALUES "
                                         "('x@example.jp') RETURNING メール")});
        EXPECT_TRUE(refusedAsWrite(ODBCDataGet(dsn, deleting), deleting));
    }
}

TEST_F(SqliteOdbcTest, FailuresCarryTheDriversDiagnostic)
{
    expectDriverFailure(ODBCDataGet(QStringLiteral("nosuch"), Members), "IM002",
                        QStringLiteral("データソース「nosuch」に接続できません。"));
    expectDriverFailure(ODBCDataGet(QStringLiteral("nodriver"), Members), "01000",
                        QStringLiteral("データソース「nodriver」に接続できません。"));
    expectDriverFailure(ODBCDataGet(QStringLiteral("members"), QStringLiteral("顧客")), "HY000",
                        QStringLiteral("テーブル名またはSQL文「顧客」を実行できません。"));
    expectDriverFailure(ODBCDataGet(QStringLiteral("members"), QStringLiteral("SELECT * FROM 会員 WHERE")),
                        "HY000", QStringLiteral("SELECT * FROM 会員 WHERE"));
}

TEST_F(SqliteOdbcTest, DataSourceListHoldsUserAndSystemSources)
{
    const QStringList names = odbcDataSourceNames();
    EXPECT_TRUE(names.contains(QStringLiteral("members"))) << names.join(u',').toStdString();
    EXPECT_TRUE(names.contains(QStringLiteral("個人用"))) << names.join(u',').toStdString();
    const Result<RecipientTable> t = ODBCDataGet(QStringLiteral("個人用"), Members);
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    EXPECT_EQ(t->lastRow(), 2);
}

TEST_F(SqliteOdbcTest, HundredThousandRowsAreCountedExactly)
{
    ASSERT_EQ(
        sqliteExec(db, QStringLiteral("CREATE TABLE big AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL "
                                      "SELECT i + 1 FROM n WHERE i < 100000) SELECT 'user' || i || "
                                      "'@example.jp' AS address, '名前' || i AS name, i AS num FROM n;")),
        QString());
    QList<qint64> reported;
    const Result<RecipientTable> t = ODBCDataGet(QStringLiteral("members"), QStringLiteral("big"),
                                                 [&reported](qint64 n) { reported << n; });
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    EXPECT_EQ(t->lastRow(), 100000);
    EXPECT_EQ(row(t.value(), 100000), (QStringList{QStringLiteral("user100000@example.jp"),
                                                   QStringLiteral("名前100000"), QStringLiteral("100000")}));
    EXPECT_EQ(t->cell(50000, 2), QStringLiteral("名前50000"));
    for (qsizetype i = 0; i < reported.size(); ++i)
        EXPECT_TRUE(reported[i] > (i ? reported[i - 1] : 0) && reported[i] <= 100000);
}

namespace
{

class PostgresOdbcTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        OdbcTestWorld &w = odbcWorld();
        if (w.postgresBroken())
            FAIL() << w.postgresUnavailable().toStdString();
        if (!w.postgresUnavailable().isEmpty())
            GTEST_SKIP() << w.postgresUnavailable().toStdString();
        ASSERT_EQ(
            w.postgres().psql(QStringLiteral(
                "DROP TABLE IF EXISTS 会員, 欠け; DROP SEQUENCE IF EXISTS 番号; CREATE SEQUENCE 番号;"
                "CREATE TABLE 会員 (メール text, 氏名 text, 金額 numeric(10,2), 件数 integer, 入会日 date,"
                " 更新 timestamp, 備考 text);"
                "INSERT INTO 会員 VALUES ('taro@example.jp', ' 山田　太郎 ', 1234.5, 42, '2026-04-01',"
                " '2026-04-01 09:30:00', ''), ('hanako@example.jp', '髙橋①', -0.25, 0, '1999-12-31',"
                " '2000-01-01 00:00:00', '～㈱');"
                "CREATE TABLE 欠け (メール text, 電話 text);"
                "INSERT INTO 欠け VALUES ('a@example.jp', '03'), ('b@example.jp', NULL);")),
            QString());
    }
};

} // namespace

TEST_F(PostgresOdbcTest, JapaneseNamesNumbersDatesAndEmptyTextArriveAsTheDriverWritesThem)
{
    // "pg_plain" turns the driver's server-side cursor off itself; the driver adds text after a
    // query read through its cursor, which a closing line comment must not swallow.
    const QString pg = QStringLiteral("pg");
    for (const auto &[dsn, source] :
         {std::pair{pg, Members}, std::pair{pg, QStringLiteral("public.\"会員\"")},
          std::pair{pg, QStringLiteral("SELECT * FROM 会員 ORDER BY 件数 DESC -- 多い順")},
          std::pair{QStringLiteral("pg_plain"), Members}}) {
        const Result<RecipientTable> t = ODBCDataGet(dsn, source);
        ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
        ASSERT_EQ(t->lastRow(), 2);
        EXPECT_EQ(row(t.value(), 0),
                  (QStringList{QStringLiteral("メール"), QStringLiteral("氏名"), QStringLiteral("金額"),
                               QStringLiteral("件数"), QStringLiteral("入会日"), QStringLiteral("更新"),
                               QStringLiteral("備考")}));
        EXPECT_EQ(row(t.value(), 1),
                  (QStringList{QStringLiteral("taro@example.jp"), QStringLiteral(" 山田　太郎 "),
                               QStringLiteral("1234.50"), QStringLiteral("42"), QStringLiteral("2026-04-01"),
                               QStringLiteral("2026-04-01 09:30:00"), QString()}));
        EXPECT_EQ(row(t.value(), 2),
                  (QStringList{QStringLiteral("hanako@example.jp"), QStringLiteral("髙橋①"),
                               QStringLiteral("-0.25"), QStringLiteral("0"), QStringLiteral("1999-12-31"),
                               QStringLiteral("2000-01-01 00:00:00"), QStringLiteral("～㈱")}));
    }
}

TEST_F(PostgresOdbcTest, NullFailsNamingRecordAndField)
{
    const Result<RecipientTable> t = ODBCDataGet(QStringLiteral("pg"), QStringLiteral("欠け"));
    ASSERT_FALSE(t.ok());
    EXPECT_EQ(t.failure().number, FailureNumber::InvalidUseOfNull);
    EXPECT_TRUE(
        t.failure().description.startsWith(QStringLiteral("2件目のレコードの項目「電話」がNULLです。")))
        << t.failure().description.toStdString();
}

TEST_F(PostgresOdbcTest, FailuresCarryTheDriversDiagnostic)
{
    expectDriverFailure(ODBCDataGet(QStringLiteral("pg_nobody"), QStringLiteral("会員")), "08001",
                        QStringLiteral("データソース「pg_nobody」に接続できません。"));
    expectDriverFailure(ODBCDataGet(QStringLiteral("pg"), QStringLiteral("顧客")), "42P01",
                        QStringLiteral("テーブル名またはSQL文「顧客」を実行できません。"));
    expectDriverFailure(ODBCDataGet(QStringLiteral("pg"), QStringLiteral("SELECT * FROM 会員 WHERE")),
                        "42601", QStringLiteral("「SELECT * FROM 会員 WHERE」"));
    // Read through a cursor, the error comes with a later batch, after many records were read.
    expectDriverFailure(
        ODBCDataGet(QStringLiteral("pg_cursor"), QStringLiteral("SELECT 'a@b' AS m, 1 / (250 - g) AS v FROM "
                                                                "generate_series(1, 400) g")),
        "22012", QStringLiteral("件目のレコードを読み込めません。"));
}

TEST_F(PostgresOdbcTest, NothingTheTextDoesToTheSourceIsKept)
{
    // A sequence is not rolled back: only a read-only transaction keeps it.
    const QString counting = QStringLiteral("SELECT nextval('番号')");
    for (const QString &dsn : {QStringLiteral("pg"), QStringLiteral("pg_plain")}) {
        expectChangesRefused(dsn);
        expectWritesFail(
            dsn, {QStringLiteral("WITH x AS (DELETE FROM 会員 RETURNING *) SELECT * FROM x"),
                  QStringLiteral("WITH x AS (UPDATE 会員 SET メール = '' RETURNING *) SELECT * FROM x"),
                  QStringLiteral("WITH x AS (INSERT INTO 会員 (メール) VALUES ('x@example.jp') "
                                 "RETURNING *) SELECT * FROM x"),
                  QStringLiteral("WITH x AS (SELECT 1) DELETE FROM 会員"), counting});
        EXPECT_TRUE(refusedAsWrite(ODBCDataGet(dsn, counting), counting));
    }
    const Result<RecipientTable> sequence =
        ODBCDataGet(QStringLiteral("pg"), QStringLiteral("SELECT is_called::text AS c FROM 番号"));
    ASSERT_TRUE(sequence.ok()) << sequence.failure().description.toStdString();
    EXPECT_EQ(sequence->cell(1, 1), QStringLiteral("false"));
}

TEST_F(PostgresOdbcTest, HundredThousandRowsAreCountedExactly)
{
    for (const QString &dsn : {QStringLiteral("pg"), QStringLiteral("pg_cursor")}) {
        const Result<RecipientTable> t = ODBCDataGet(
            dsn, QStringLiteral("SELECT 'user' || g || '@example.jp' AS アドレス, '名前' || g AS 名前 "
                                "FROM generate_series(1, 100000) g"));
        ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
        EXPECT_EQ(t->lastRow(), 100000);
        EXPECT_EQ(row(t.value(), 100000),
                  (QStringList{QStringLiteral("user100000@example.jp"), QStringLiteral("名前100000")}));
    }
}

// The data sources are made once for the whole program.
[[maybe_unused]] const bool odbc = useOdbcWorld();
