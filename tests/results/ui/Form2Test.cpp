#include "results/ui/Form2.h"
#include "ResultTables.h"
#include "ScriptedDialogs.h"
#include "TestEnvironment.h"
#include "TestSmtpServer.h"
#include "app/Form1.h"
#include "platform/SettingsStore.h"
#include "platform/Twips.h"
#include "platform/mail/SendMail.h"
#include "results/CsvExport.h"
#include "results/ui/RecipientGridModel.h"
#include "windowkit/Form3.h"
#include "windowkit/LayoutRules.h"

#include <QApplication>
#include <QBrush>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <gtest/gtest.h>

using Icon = UserDialogs::Icon;
using Buttons = UserDialogs::Buttons;
using Answer = UserDialogs::Answer;

namespace
{

const QString Filter = QStringLiteral("CSV ファイル (*.csv)|*.csv");

// Closes the next text viewer, remembering its caption and text.
void answerViewer(QString *caption, QString *text)
{
    QTimer::singleShot(0, [caption, text] {
        auto *viewer = qobject_cast<Form3 *>(QApplication::activeModalWidget());
        ASSERT_NE(viewer, nullptr);
        *caption = viewer->windowTitle();
        *text = viewer->Text1->toPlainText();
        viewer->Command1->click();
    });
}

class Form2Test : public ::testing::Test
{
  protected:
    ScratchDir dir;
    SettingsStore settings;
    ScriptedDialogs dialogs;
};

TEST_F(Form2Test, GridShowsTheOutcomeOfARealSendRun)
{
    TestSmtpServer server;
    ASSERT_TRUE(server.running());
    const QString refusal = QStringLiteral("550 5.1.1 <ng@example.com>: Recipient address rejected");
    server.rule("RCPT", "reply", refusal, "ng@", -1);
    RecipientTable table = tableOf({{"メール", "氏名"},
                                    {"", "ok@example.com", "山田"},
                                    {"", "ng@example.com", "佐藤"},
                                    {"", "later@example.com", "鈴木"}});
    // The run stops before its last row, which keeps its loaded status.
    for (int r = 1; r <= 2; ++r) {
        const QString error = SendMail(server.hostPort(), QStringLiteral("<%1>").arg(table.cell(r, 1)),
                                       QStringLiteral("送信者 <from@example.com>"), QStringLiteral("件名"),
                                       QStringLiteral("本文"), QString());
        table.setCell(r, 0, error.isEmpty() ? StatusSent : StatusFailed);
        if (!error.isEmpty())
            table.setReason(r, error);
    }
    SendMailShutdown();
    ASSERT_EQ(table.cell(1, 0), StatusSent);
    ASSERT_EQ(table.cell(2, 0), StatusFailed);

    Form2 f(settings, dialogs, table, QStringLiteral("本文"), nullptr);
    const QAbstractItemModel *m = f.MSFlexGrid1->model();
    ASSERT_EQ(m, f.gridModel());
    ASSERT_EQ(m->rowCount(), 3);
    ASSERT_EQ(m->columnCount(), 3);
    EXPECT_EQ(m->headerData(0, Qt::Horizontal).toString(), QStringLiteral("STATUS"));
    EXPECT_EQ(m->headerData(1, Qt::Horizontal).toString(), QStringLiteral("メール"));
    EXPECT_EQ(m->headerData(2, Qt::Horizontal).toString(), QStringLiteral("氏名"));
    EXPECT_EQ(m->headerData(2, Qt::Vertical).toString(), QStringLiteral("3"));
    const QStringList expected[] = {{"送信OK", "ok@example.com", "山田"},
                                    {"送信NG", "ng@example.com", "佐藤"},
                                    {"読込OK", "later@example.com", "鈴木"}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(m->index(r, c).data().toString(), expected[r][c]) << r << "," << c;

    // The status cell by its text colour, the data cells by their background; unsent lines plain.
    const QColor colours[] = {QColor(0, 255, 0), QColor(255, 0, 0)};
    for (int r = 0; r < 2; ++r) {
        EXPECT_EQ(m->index(r, 0).data(Qt::ForegroundRole).value<QBrush>().color(), colours[r]);
        EXPECT_FALSE(m->index(r, 0).data(Qt::BackgroundRole).isValid());
        for (int c = 1; c < 3; ++c) {
            EXPECT_EQ(m->index(r, c).data(Qt::BackgroundRole).value<QBrush>().color(), colours[r]);
            EXPECT_FALSE(m->index(r, c).data(Qt::ForegroundRole).isValid());
        }
    }
    for (int c = 0; c < 3; ++c) {
        EXPECT_FALSE(m->index(2, c).data(Qt::ForegroundRole).isValid());
        EXPECT_FALSE(m->index(2, c).data(Qt::BackgroundRole).isValid());
    }
    // The server's reason shows on the failed status only.
    EXPECT_TRUE(m->index(1, 0).data(Qt::ToolTipRole).toString().contains(refusal));
    EXPECT_FALSE(m->index(1, 1).data(Qt::ToolTipRole).isValid());
    EXPECT_EQ(f.currentLine(), 3);

    // The reason is no column of the exported file.
    const QString ng = dir.path("ng.csv");
    dialogs.expectSaveFile(Filter, ng);
    dialogs.expectBox(QStringLiteral("1件を書き込みました"), QString(), Icon::Information, Buttons::Ok,
                      Answer::Ok);
    f.Command5->click();
    EXPECT_EQ(readAll(ng), toCp932("メール,氏名\r\nng@example.com,佐藤\r\n"));

    // A mail returned after the server accepted it has a colour of its own and its report's reason.
    table.setCell(1, 0, StatusBounced);
    table.setReason(1, QStringLiteral("不達（5.1.1）: 550 5.1.1 User unknown"));
    Form2 later(settings, dialogs, table, QStringLiteral("本文"), nullptr);
    const QModelIndex bounced = later.gridModel()->index(0, 0);
    EXPECT_EQ(bounced.data().toString(), QStringLiteral("不達"));
    EXPECT_EQ(bounced.data(Qt::ForegroundRole).value<QBrush>().color(), QColor(255, 160, 64));
    EXPECT_TRUE(bounced.data(Qt::ToolTipRole).toString().contains(QStringLiteral("User unknown")));
}

TEST_F(Form2Test, MergeCheckPreviewsTheCurrentLine)
{
    const RecipientTable table = tableOf({{"メール", "氏名"},
                                          {"", "a@example.com", "山田"},
                                          {"", "b@example.com", "佐藤"},
                                          {"", "c@example.com", "鈴木"}});
    QString caption, text;
    {
        Form2 f(settings, dialogs, table, QStringLiteral("<%氏名%>様"), nullptr);
        answerViewer(&caption, &text);
        f.Command2->click();
        EXPECT_EQ(caption, QStringLiteral("3件目の差込みを表示中"));
        EXPECT_EQ(text, QStringLiteral("鈴木様"));
        f.MSFlexGrid1->setCurrentIndex(f.gridModel()->index(0, 2));
        answerViewer(&caption, &text);
        f.Command2->click();
        EXPECT_EQ(caption, QStringLiteral("1件目の差込みを表示中"));
        EXPECT_EQ(text, QStringLiteral("山田様"));
    }
    // Any body but an empty one is previewed here.
    Form2 one(settings, dialogs, table, QStringLiteral("x"), nullptr);
    answerViewer(&caption, &text);
    one.Command2->click();
    EXPECT_EQ(text, QStringLiteral("x"));
    Form2 empty(settings, dialogs, table, QString(), nullptr);
    dialogs.expectBox(QStringLiteral("先に本文の読み込みをおこなってください"), QString(), Icon::Warning,
                      Buttons::Ok, Answer::Ok);
    empty.Command2->click();
}

TEST_F(Form2Test, LayoutFollowsTheWindowAndPlacementIsKept)
{
    const RecipientListLayout design = recipientListLayout(7215, 5070);
    EXPECT_EQ(design.grid, (TwipsGeometry{120, 120, 6855, 3735}));
    EXPECT_EQ(design.command1, (TwipsGeometry{5400, 4080, 1575, 375}));
    EXPECT_EQ(design.command2, (TwipsGeometry{3600, 4080, 1575, 375}));
    EXPECT_EQ(design.command4, (TwipsGeometry{120, 3960, 3255, 255}));
    EXPECT_EQ(design.command5, (TwipsGeometry{120, 4200, 3255, 255}));
    const RecipientListLayout wide = recipientListLayout(9000, 4000);
    EXPECT_EQ(wide.grid, (TwipsGeometry{120, 120, 8640, 3735}));
    EXPECT_EQ(wide.command1.left, 7185);
    EXPECT_EQ(wide.command2.left, 5385);
    EXPECT_EQ(wide.command1.top, 4080);
    EXPECT_EQ(wide.command4.top, 3960);
    EXPECT_EQ(wide.command5.top, 4200);
    const RecipientListLayout tall = recipientListLayout(7000, 6000);
    EXPECT_EQ(tall.grid.height, 4665);
    EXPECT_EQ(tall.command5.top, 5130);

    const QString s = QStringLiteral("Form2");
    for (const char *k : {"left", "top", "width", "height"})
        settings.remove(s, QString::fromLatin1(k));
    const RecipientTable table = tableOf({{"メール"}, {"", "a@example.com"}});
    QRect outer;
    {
        Form2 first(settings, dialogs, table, QString(), nullptr);
        first.show();
        EXPECT_EQ(first.frameGeometry(), QRect(0, 0, twipsToPixels(7215), twipsToPixels(5070)));
        first.move(30, 45);
        first.resize(first.width() + 120, first.height() + 60);
        EXPECT_EQ(first.MSFlexGrid1->geometry(),
                  QRect(8, 8, twipsToPixels(6855) + 120, twipsToPixels(3735) + 60));
        EXPECT_EQ(first.Command1->pos(), QPoint(twipsToPixels(5400) + 120, twipsToPixels(4080) + 60));
        outer = first.frameGeometry();
        first.close(); // the close box, not "戻る"
    }
    EXPECT_EQ(settings.getString(s, QStringLiteral("left"), {}), QStringLiteral("450"));
    EXPECT_EQ(settings.getString(s, QStringLiteral("width"), {}), QString::number(outer.width() * 15));
    Form2 second(settings, dialogs, table, QString(), nullptr);
    second.show();
    EXPECT_EQ(second.frameGeometry(), outer);
}

TEST_F(Form2Test, ExportButtonsAskWarnWriteAndReport)
{
    const RecipientTable table = tableOf({{"メール", "住所"},
                                          {"送信OK", "a@example.com", "𠮷野"},
                                          {"送信NG", "b@example.com", "東京都"},
                                          {"送信NG", "c@example.com", "大阪府,堺市"}});
    Form2 f(settings, dialogs, table, QString(), nullptr);
    const QString ng = dir.path("ng.csv");
    const QString warning =
        QStringLiteral("「,」または改行を含むセルがあるため、読み込み直すと項目がずれる行が1行"
                       "あります（最初は3件目の「住所」）。\nこのまま書き込みますか？");

    // Cancelling the dialog or the warning writes nothing.
    dialogs.expectSaveFile(Filter, QString());
    f.Command5->click();
    dialogs.expectSaveFile(Filter, ng);
    dialogs.expectBox(warning, QString(), Icon::Warning, Buttons::YesNo, PressEnter);
    f.Command5->click();
    EXPECT_FALSE(QFile::exists(ng));

    dialogs.expectSaveFile(Filter, ng);
    dialogs.expectBox(warning, QString(), Icon::Warning, Buttons::YesNo, Answer::Yes);
    dialogs.expectBox(QStringLiteral("2件を書き込みました"), QString(), Icon::Information, Buttons::Ok,
                      Answer::Ok);
    f.Command5->click();
    EXPECT_EQ(readAll(ng), toCp932("メール,住所\r\nb@example.com,東京都\r\nc@example.com,大阪府,堺市\r\n"));

    const QString ok = dir.path("ok.csv");
    dialogs.expectSaveFile(Filter, ok);
    dialogs.expectBox(
        QStringLiteral(
            "1件を書き込みました\nShift_JISで表せない文字があるため、UTF-8（BOM付き）で書き込みました。"),
        QString(), Icon::Information, Buttons::Ok, Answer::Ok);
    f.Command4->click();
    EXPECT_EQ(readAll(ok), "\xEF\xBB\xBF" + QStringLiteral("メール,住所\r\na@example.com,𠮷野\r\n").toUtf8());

    // A failed write is told with its path and reason, and no count follows.
    const QString missing = dir.path("missing/ok.csv");
    dialogs.expectSaveFile(Filter, missing);
    dialogs.expectBox(QStringLiteral("ファイルに書き込めません（保存先のフォルダーがありません）。\n") +
                          missing,
                      QStringLiteral("75"), Icon::Critical, Buttons::Ok, Answer::Ok);
    f.Command4->click();

    // A source without recipients makes no file and reports 0.
    Form2 headerOnly(settings, dialogs, tableOf({{"メール", "住所"}}), QString(), nullptr);
    EXPECT_EQ(headerOnly.gridModel()->rowCount(), 0);
    dialogs.expectSaveFile(Filter, dir.path("none.csv"));
    dialogs.expectBox(QStringLiteral("0件を書き込みました"), QString(), Icon::Information, Buttons::Ok,
                      Answer::Ok);
    headerOnly.Command4->click();
    EXPECT_FALSE(QFile::exists(dir.path("none.csv")));

    // One column and an empty address: the line would be empty, which the import refuses.
    Form2 single(settings, dialogs, tableOf({{"mail"}, {"送信NG", "a@example.com"}, {"送信NG", ""}}), {},
                 nullptr);
    dialogs.expectSaveFile(Filter, ng);
    dialogs.expectBox(
        QStringLiteral("空欄のため空行になる行が1行あります（最初は2件目）。空行を含むファイルは、"
                       "その行を削除するまで読み込み直せません。\nこのまま書き込みますか？"),
        QString(), Icon::Warning, Buttons::YesNo, Answer::No);
    single.Command5->click();
}

// A list of failed rows sent again would mail twice those whose mail may have arrived.
TEST_F(Form2Test, ExportOfFailedLinesWarnsOfMailsThatMayHaveArrived)
{
    RecipientTable table =
        tableOf({{"メール"}, {"送信NG", "a@x.jp"}, {"送信OK", "b@x.jp"}, {"送信NG", "c@x.jp"}});
    table.setMayHaveArrived(3, true);
    Form2 f(settings, dialogs, table, QString(), nullptr);
    dialogs.expectSaveFile(Filter, dir.path("ng.csv"));
    dialogs.expectBox(
        QStringLiteral("届いた可能性がある宛先が1行あります（最初は3件目）。このファイルで送り直すと、"
                       "同じメールが二重に届くおそれがあります。\nこのまま書き込みますか？"),
        QString(), Icon::Warning, Buttons::YesNo, PressEnter);
    f.Command5->click();
    EXPECT_FALSE(QFile::exists(dir.path("ng.csv")));
    dialogs.expectSaveFile(Filter, dir.path("ok.csv")); // the accepted lines hold none of them
    dialogs.expectBox(QStringLiteral("1件を書き込みました"), QString(), Icon::Information, Buttons::Ok,
                      Answer::Ok);
    f.Command4->click();
}

TEST_F(Form2Test, MainWindowOpensTheListOnlyOnceSomethingIsLoaded)
{
    Form1 main(settings, dialogs, QString());
    dialogs.expectBox(QStringLiteral("先に宛先の読み込みをおこなってください"), QString(), Icon::Warning,
                      Buttons::Ok, Answer::Ok);
    main.Command5->click();
    dialogs.verifyDone();

    const QString csv =
        dir.write("list.csv", toCp932("メール,氏名\r\na@example.com,山田\r\nb@example.com,佐藤\r\n"));
    ASSERT_EQ(main.AddressRead(csv), 0);
    int lines = 0;
    QString owner;
    QTimer::singleShot(0, [&] {
        auto *list = qobject_cast<Form2 *>(QApplication::activeModalWidget());
        ASSERT_NE(list, nullptr);
        lines = list->gridModel()->rowCount();
        owner = list->parentWidget() ? list->parentWidget()->objectName() : QString();
        EXPECT_EQ(list->windowTitle(), QStringLiteral("読み込んだ宛先の確認"));
        list->Command1->click();
    });
    main.mnuViewAddressCheck->trigger();
    EXPECT_EQ(lines, 2);
    EXPECT_EQ(owner, QStringLiteral("Form1"));
}

} // namespace
