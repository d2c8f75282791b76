#include "send/Preflight.h"
#include "TestEnvironment.h"
#include "platform/formats/TextFile.h"
#include "recipients/Importers.h"

#include <QDir>
#include <QFile>
#include <QUrl>

#include <gtest/gtest.h>

#include <unistd.h>

namespace
{

SendInputs inputsFor(const QString &subject, const QString &body, const QString &attachments = {})
{
    return {true,
            QStringLiteral("mail.example.jp"),
            QStringLiteral("ベルモラ商事 <info@example.jp>"),
            subject,
            body,
            attachments,
            false};
}

RecipientTable load(const ScratchDir &dir, const QString &csv)
{
    Result<RecipientTable> table = CSVDataGet(dir.write(QStringLiteral("宛先.csv"), toCp932(csv)));
    EXPECT_TRUE(table.ok());
    return table.ok() ? table.value() : RecipientTable();
}

} // namespace

TEST(Preflight, EveryProblemOnceIsListedWithItsRowsAndNothingChanges)
{
    ScratchDir dir;
    const QString ace = QString::fromLatin1(QUrl::toAce(QStringLiteral("例え.jp")));
    RecipientTable table = load(dir, QStringLiteral("メールアドレス,氏名,会社,Code\r\n"
                                                    "yamada@example.jp,山田,A社,c1\r\n"
                                                    "sato@example.jp,,B社,c2\r\n"
                                                    "yamada@Example.JP,山田 二郎,C社,c3\r\n"
                                                    "not-an-address,鈴木,D社,c4\r\n"
                                                    ",田中,E社,c5\r\n"
                                                    "taro@例え.jp,太郎,F社,c6\r\n"
                                                    "taro@%1,次郎,G社,c7\r\n"
                                                    "kato@example.jp,加藤,<%部署%>,c8\r\n"
                                                    "ito@example.jp,伊藤,I社,c9\r\n")
                                         .arg(ace));
    // A multi-line cell, as a workbook or a database gives it.
    table.setCell(9, 2, u"伊藤\n一郎");
    const RecipientTable before = table;
    const QString small = dir.write(QStringLiteral("案内.txt"), "hello");
    QFile big(dir.path(QStringLiteral("big.bin")));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(PreflightLargeAttachments));
    big.close();
    const QString missing = dir.path(QStringLiteral("ない.pdf"));

    const PreflightReport report = checkBeforeSending(
        table, inputsFor(QStringLiteral("<%氏名%>様へのご案内"),
                         QStringLiteral("<%会社%> <%氏名%>様\n<％氏名％>\n<%会社 %> <%code%>\n<%不明%>\n"),
                         small + u',' + missing + u',' + big.fileName()));

    const QStringList expected{
        QStringLiteral("送信前の確認：9 行を確認し、問題が 14 件見つかりました（問題のある行 7 行）。"
                       "宛先の表は変更していません。"),
        QString(),
        QStringLiteral("■ 列名と一致しない差込タグ（置き換わらずに、そのまま送られます）"),
        QStringLiteral("  本文の「<％氏名％>」：近い列名「氏名」"),
        QStringLiteral("  本文の「<%会社 %>」：近い列名「会社」"),
        QStringLiteral("  本文の「<%code%>」：近い列名「Code」"),
        QStringLiteral("  本文の「<%不明%>」：近い列名はありません"),
        QStringLiteral("  表の列名：「メールアドレス」「氏名」「会社」「Code」"),
        QString(),
        QStringLiteral("■ 差込後も「<%」か「%>」が残る行"),
        QStringLiteral("  すべての行：本文に書かれた「<%」か「%>」が残ります"),
        QStringLiteral("  本文（差込項目の値から）：8 行目"),
        QString(),
        QStringLiteral("■ 差込タグの列が空の行（その部分は何も入らずに送られます）"),
        QStringLiteral("  「氏名」：2 行目"),
        QString(),
        QStringLiteral("■ アドレスが空の行（送信されません）"),
        QStringLiteral("  5 行目"),
        QString(),
        QStringLiteral("■ 送信に使えないアドレス（送信されません）"),
        QStringLiteral("  4 行目「not-an-address」：メールアドレスの形式ではありません"),
        QString(),
        QStringLiteral("■ 同じアドレスの行（同じ宛先に2通以上送られます）"),
        QStringLiteral("  yamada@example.jp：1, 3 行目"),
        QStringLiteral("  taro@例え.jp：6, 7 行目"),
        QStringLiteral("  アドレスごとに最初の行だけ送ると、2 行は送りません。"),
        QString(),
        QStringLiteral("■ 添付ファイル"),
        QStringLiteral("  「%1」がありません（送信できません）").arg(missing),
        QStringLiteral("  合計 10.0 MB あります。10 MB を超える添付は、受け取れないメールサーバーがあります"
                       "（どのメールにも添付されます）"),
        QString(),
        QStringLiteral("■ 件名に改行などが入る行（送信されません。表のセルの改行を取り除いてください）"),
        QStringLiteral("  9 行目"),
        QString(),
    };
    EXPECT_EQ(report.text.toStdString(), expected.join(QStringLiteral("\r\n")).toStdString());
    EXPECT_EQ(report.problems, 14);
    EXPECT_EQ(report.problemRowNumbers(), (std::vector<int>{2, 3, 4, 5, 7, 8, 9}));
    EXPECT_EQ(report.onePerAddress, (std::vector<int>{1, 2, 4, 5, 6, 8, 9}));
    EXPECT_EQ(report.repeatedRows, 2);
    EXPECT_EQ(report.repeatedAddresses, 2);
    EXPECT_EQ(report.problemRows[1].notes, QStringList{QStringLiteral("1 行目と同じアドレスです")});
    EXPECT_EQ(table.pool(), before.pool());

    // A file the operator may not read; root reads everything, so only an ordinary user sees it.
    if (geteuid() != 0) {
        QFile::setPermissions(small, QFileDevice::Permissions());
        EXPECT_TRUE(checkBeforeSending(table, inputsFor({}, {}, small))
                        .text.contains(QStringLiteral("「%1」を読み込めません").arg(small)));
    }
}

TEST(Preflight, ACleanTableTakesOneLineAndLongListsAreCut)
{
    ScratchDir dir;
    QString csv = QStringLiteral("mail,氏名\r\n");
    for (int k = 1; k <= 150; ++k)
        csv +=
            QStringLiteral("r%1@example.jp,%2\r\n").arg(k).arg(k > 20 ? QString() : QStringLiteral("宛先"));
    const RecipientTable table = load(dir, csv);

    const PreflightReport clean =
        checkBeforeSending(table, inputsFor(QStringLiteral("ご案内"), QStringLiteral("本文\n")));
    EXPECT_TRUE(clean.clean());
    EXPECT_EQ(clean.text, QStringLiteral("送信前の確認：150 行を確認し、問題は見つかりませんでした。"));
    EXPECT_EQ(clean.onePerAddress.size(), 150u);

    const PreflightReport empty =
        checkBeforeSending(table, inputsFor(QStringLiteral("<%氏名%>様"), QString()));
    EXPECT_EQ(empty.problems, 130);
    const QString line = empty.text.split(QStringLiteral("\r\n")).value(3);
    EXPECT_TRUE(line.startsWith(QStringLiteral("  「氏名」：21, 22, 23"))) << line.toStdString();
    EXPECT_TRUE(line.endsWith(QStringLiteral("119, 120 行目 ほか 30 行"))) << line.toStdString();
}

// A row's own files (the attachment box's names with merge tags) and its copies are checked per row.
TEST(Preflight, EachRowsOwnFilesAndCopiesAreChecked)
{
    ScratchDir dir;
    QDir(dir.root()).mkpath(QStringLiteral("請求書/005.pdf"));
    dir.write(QStringLiteral("請求書/001.pdf"), "%PDF-1.4 one");
    dir.write(QStringLiteral("請求書/002.pdf"), "%PDF-1.4 two");
    const RecipientTable table =
        load(dir, QStringLiteral("メールアドレス,氏名,番号,ＣＣ,bcc\r\n"
                                 "a@example.jp,山田,001,sales@example.jp;boss@example.jp,\r\n"
                                 "b@example.jp,佐藤,002,,not-an-address\r\n"
                                 "c@example.jp,鈴木,001,,\r\n"
                                 "d@example.jp,田中,004,,\r\n"
                                 "e@example.jp,伊藤,005,,\r\n"));
    const QString perRow = dir.path(QStringLiteral("請求書/<%番号%>.pdf"));
    const PreflightReport report =
        checkBeforeSending(table, inputsFor(QStringLiteral("請求書"), QStringLiteral("<%氏名%>様\n"), perRow),
                           {2, false, false});
    const QString file = dir.path(QStringLiteral("請求書/%1.pdf"));
    for (const QString &line :
         {QStringLiteral("■ 行ごとの添付ファイルが使えない行（送信されません）\r\n"
                         "  4 行目 添付ファイル「%1」がありません\r\n"
                         "  5 行目 添付ファイル「%2」はファイルではありません\r\n")
              .arg(file.arg(QStringLiteral("004")), file.arg(QStringLiteral("005"))),
          QStringLiteral("■ ほかの行と同じ添付ファイルの行（同じファイルが別の宛先にも送られます）\r\n"
                         "  3 行目 「%1」（1 行目と同じ）\r\n")
              .arg(file.arg(QStringLiteral("001"))),
          QStringLiteral("■ 送信に使えない CC・BCC・返信先のアドレス（CC・BCC "
                         "はそのアドレスを除いて送ります。返信先のときはその行を送信しません）\r\n"
                         "  2 行目 BCC「not-an-address」：メールアドレスの形式ではありません\r\n"),
          QStringLiteral(
              "■ 宛先（CC・BCC を含む）が 1 通あたり 2 件を超える行（メールサーバーが受け付けないこと"
              "があります）\r\n  1 行目\r\n")})
        EXPECT_TRUE(report.text.contains(line)) << report.text.toStdString();
    EXPECT_EQ(report.problemRowNumbers(), (std::vector<int>{1, 2, 3, 4, 5}));
    // The run starts without these files: they are each row's own.
    EXPECT_FALSE(checkSendInputs(inputsFor({}, {}, perRow), &fileExists).refusal);
}

// What the mail library would do differently from what the operator chose: an HTML body's local
// image that is missing fails every mail; rows ISO-2022-JP cannot write go as UTF-8, and say so.
TEST(Preflight, MissingInlineImagesAndRowsThatGoAsUtf8AreNamed)
{
    ScratchDir dir;
    dir.write(QStringLiteral("logo.png"), "\x89PNG");
    const RecipientTable table = load(dir, QStringLiteral("メールアドレス,氏名\r\n"
                                                          "a@example.jp,山田\r\nb@example.jp,髙橋\r\n"
                                                          "c@example.jp,鈴木\r\nd@example.jp,①番\r\n"));
    SendInputs html = inputsFor(QStringLiteral("ご案内"),
                                QStringLiteral("<p><%氏名%>様</p><img src=\"logo.png\"><img src=\"gone.png\">"
                                               "<img src=\"https://example.jp/x.png\">"));
    html.html = true;
    html.bodyFolder = dir.root();
    PreflightReport report = checkBeforeSending(table, html, {0, false, true});
    EXPECT_TRUE(report.text.contains(
        QStringLiteral("■ HTML の画像ファイルが使えません（どのメールも送信されません）\r\n"
                       "  画像ファイル「%1」がありません\r\n")
            .arg(dir.path(QStringLiteral("gone.png")))))
        << report.text.toStdString();
    EXPECT_EQ(report.problems, 1);
    EXPECT_FALSE(report.text.contains(QStringLiteral("ISO-2022-JP"))); // HTML always goes as UTF-8

    const SendInputs plain = inputsFor(QStringLiteral("<%氏名%>様へ"), QStringLiteral("本文です"));
    report = checkBeforeSending(table, plain, {0, false, true});
    EXPECT_TRUE(report.clean());
    EXPECT_TRUE(
        report.text.endsWith(QStringLiteral("■ ISO-2022-JP で書けない文字がある行（UTF-8 で送られます）\r\n"
                                            "  2, 4 行目\r\n")))
        << report.text.toStdString();
    EXPECT_FALSE(checkBeforeSending(table, plain, {0, false, false}).text.contains(QStringLiteral("ISO")));
}

// Rows whose cells cannot make a marker skip the scan of their merged text; an empty cell that
// joins the template's "<" and "%", or a cell with "%>", is still found, and repeated addresses
// are told by their delivery key over many rows.
TEST(Preflight, MarkersOfRowsAndRepeatsOverManyRows)
{
    ScratchDir dir;
    QString csv = QStringLiteral("mail,氏名\r\n");
    for (int k = 1; k <= 3000; ++k) {
        const QString name = k == 7   ? QString()
                             : k == 8 ? QStringLiteral("a%>b")
                                      : QStringLiteral("宛先%1").arg(k);
        // Every 500th row repeats an earlier address with its domain in capitals.
        const QString mail = k % 500 == 0 ? QStringLiteral("r%1@EXAMPLE.jp").arg(k - 499)
                                          : QStringLiteral("r%1@example.jp").arg(k);
        csv += mail + u',' + name + QStringLiteral("\r\n");
    }
    const RecipientTable table = load(dir, csv);
    const PreflightReport report =
        checkBeforeSending(table, inputsFor(QStringLiteral("ご案内"), QStringLiteral("<<%氏名%>%様\n")));
    EXPECT_EQ(report.repeatedRows, 6);
    EXPECT_EQ(report.repeatedAddresses, 6);
    EXPECT_EQ(report.onePerAddress.size(), 2994u);
    ASSERT_GE(report.problemRows.size(), 3u);
    EXPECT_EQ(report.problemRows[0].row, 7);
    EXPECT_TRUE(
        report.problemRows[0].notes.join(u'|').contains(QStringLiteral("「<%」か「%>」が残ります（本文）")));
    EXPECT_EQ(report.problemRows[1].row, 8);
    EXPECT_EQ(report.problemRows[1].notes,
              QStringList{QStringLiteral("差込後も「<%」か「%>」が残ります（本文）")});
    EXPECT_EQ(report.problemRows[2].row, 500);
    EXPECT_EQ(report.problemRows[2].notes, QStringList{QStringLiteral("1 行目と同じアドレスです")});
}
