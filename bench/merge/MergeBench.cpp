// The send run's merge over a large table: 10 000 recipients, 50 columns, a Japanese body of about
// 20 KB in the operator's code page (10 240 characters) that uses 10 of the columns three times each,
// and a subject with two tags. Compares the prepared template with the straightforward
// column-by-column replacement and prints the speed-up.
#include "body/MailMerger.h"
#include "body/MergeEngine.h"
#include "body/MergeTemplate.h"
#include "recipients/RecipientTable.h"

#include <benchmark/benchmark.h>

#include <QStringList>

#include <cstdio>
#include <map>
#include <string>

namespace
{

constexpr int Rows = 10000;
constexpr int Columns = 50;
constexpr int BodyLength = 10240;

const QStringList UsedNames = {"氏名", "会社名",   "部署",   "役職",     "郵便番号",
                               "住所", "電話番号", "担当者", "契約番号", "地域"};

QString columnName(int c)
{
    if (c == 1)
        return QStringLiteral("メール");
    if (c - 2 < UsedNames.size())
        return UsedNames[c - 2];
    return QStringLiteral("項目%1").arg(c, 2, 10, QLatin1Char('0'));
}

QString cellValue(int r, int c)
{
    static const QStringList surnames = {"山田", "佐藤", "鈴木", "高橋", "田中", "渡辺", "伊藤", "中村"};
    static const QStringList given = {"太郎", "花子", "一郎", "美咲", "健太", "陽子"};
    switch (c) {
    case 1: return QStringLiteral("user%1@example.jp").arg(r);
    case 2: return surnames[r % surnames.size()] + QStringLiteral("　") + given[r % given.size()];
    case 3: return QStringLiteral("株式会社%1商事").arg(surnames[(r / 3) % surnames.size()]);
    case 7:
        return QStringLiteral("東京都千代田区丸の内%1丁目%2番%3号")
            .arg(r % 9 + 1)
            .arg(r % 17 + 1)
            .arg(r % 23 + 1);
    default: return QStringLiteral("値%1の%2").arg(c).arg(r * 7 % 1000);
    }
}

RecipientTable makeTable()
{
    RecipientTable table = RecipientTable::sized(Rows, Columns);
    for (int c = 1; c <= Columns; ++c)
        table.setCell(0, c, columnName(c));
    for (int r = 1; r <= Rows; ++r) {
        for (int c = 1; c <= Columns; ++c)
            table.setCell(r, c, cellValue(r, c));
    }
    return table;
}

QString makeBody()
{
    static const QStringList sentences = {"平素は格別のご高配を賜り、厚く御礼申し上げます。",
                                          "さて、このたび弊社では取引条件の一部を改定することとなりました。",
                                          "つきましては、下記のとおりご案内申し上げます。",
                                          "ご不明な点がございましたら、お気軽にお問い合わせください。",
                                          "今後とも変わらぬお引き立てのほど、よろしくお願い申し上げます。",
                                          "なお、本メールは送信専用のアドレスから配信しております。"};
    QString prose;
    for (int i = 0; prose.size() < BodyLength; ++i)
        prose += sentences[i % sentences.size()] + (i % 3 == 2 ? QStringLiteral("\r\n") : QString());
    prose.truncate(BodyLength);
    // Ten columns, three tags each, spread over the text.
    QString body;
    const int tags = 3 * int(UsedNames.size());
    qsizetype from = 0;
    for (int i = 0; i < tags; ++i) {
        const qsizetype to = qsizetype(i + 1) * prose.size() / (tags + 1);
        body += prose.mid(from, to - from) + mergeTag(UsedNames[i % UsedNames.size()]);
        from = to;
    }
    return body + prose.mid(from);
}

const QString Subject = QStringLiteral("【ご案内】<%会社名%> <%氏名%>様 取引条件改定のお知らせ");

struct Fixture {
    RecipientTable table = makeTable();
    QString body = makeBody();
};

const Fixture &fixture()
{
    static const Fixture f;
    return f;
}

void BM_MergeAllRows_Prepared(benchmark::State &state)
{
    const Fixture &f = fixture();
    {
        // The quick way must give the straightforward result, and ordinary rows must take it.
        const MergeTemplate body(f.table, f.body);
        for (int r = 1; r <= Rows; r += 97) {
            if (body.needsSequentialMerge(f.table, r) ||
                body.merge(f.table, r) != mergeSequential(f.table, r, f.body)) {
                state.SkipWithError("prepared merge differs from the straightforward one");
                return;
            }
        }
    }
    for (auto _ : state) {
        const MailMerger merger(f.table, Subject, f.body);
        for (int r = 1; r <= Rows; ++r) {
            benchmark::DoNotOptimize(merger.subject(r));
            benchmark::DoNotOptimize(merger.body(r));
        }
    }
    state.SetItemsProcessed(state.iterations() * Rows);
}

void BM_MergeAllRows_Sequential(benchmark::State &state)
{
    const Fixture &f = fixture();
    for (auto _ : state) {
        for (int r = 1; r <= Rows; ++r) {
            benchmark::DoNotOptimize(mergeSequential(f.table, r, Subject));
            benchmark::DoNotOptimize(mergeSequential(f.table, r, f.body));
        }
    }
    state.SetItemsProcessed(state.iterations() * Rows);
}

// One text holding two tags 300 000 times each: the reference merge must cost time in proportion to
// the text, not move the rest of the text again for every batch of replacements.
void BM_ManyTagsInOneText(benchmark::State &state)
{
    RecipientTable t = RecipientTable::sized(1, 2);
    t.setCell(0, 1, QStringLiteral("氏名"));
    t.setCell(0, 2, QStringLiteral("会社名"));
    t.setCell(1, 1, QStringLiteral("山田　太郎"));
    t.setCell(1, 2, QStringLiteral("株式会社山田商事"));
    const QString text = QStringLiteral("<%氏名%>様 <%会社名%>\r\n").repeated(300000);
    for (auto _ : state)
        benchmark::DoNotOptimize(mergeSequential(t, 1, text));
    state.SetBytesProcessed(state.iterations() * text.size() * 2);
}

// Seven columns whose values each hold the next column's tag ten times: the cascade makes a text of
// six million characters on the way to a million "x".
void BM_CascadeOfSevenColumns(benchmark::State &state)
{
    constexpr int Depth = 7;
    RecipientTable t = RecipientTable::sized(1, Depth);
    for (int c = 1; c <= Depth; ++c) {
        t.setCell(0, c, QStringLiteral("c%1").arg(c));
        t.setCell(1, c,
                  c < Depth ? mergeTag(QStringLiteral("c%1").arg(c + 1)).repeated(10) : QStringLiteral("x"));
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(mergeSequential(t, 1, QStringLiteral("<%c1%>")));
}

BENCHMARK(BM_ManyTagsInOneText)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_CascadeOfSevenColumns)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_MergeAllRows_Prepared)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_MergeAllRows_Sequential)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// Keeps the median of each benchmark so the speed-up can be printed at the end.
class SpeedupReporter : public benchmark::ConsoleReporter
{
  public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (!run.error_occurred && run.aggregate_name == "median")
                m_medians[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
    }
    std::map<std::string, double> m_medians;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    SpeedupReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto prepared = reporter.m_medians.find("BM_MergeAllRows_Prepared");
    const auto sequential = reporter.m_medians.find("BM_MergeAllRows_Sequential");
    if (prepared != reporter.m_medians.end() && sequential != reporter.m_medians.end() &&
        prepared->second > 0)
        std::printf("whole merge of %d rows: prepared %.1f ms, straightforward %.1f ms, speed-up %.1fx\n",
                    Rows, prepared->second, sequential->second, sequential->second / prepared->second);
    benchmark::Shutdown();
    return 0;
}
