#include "recipients/ui/frmODBC.h"
#include "OdbcSources.h"
#include "ScriptedDialogs.h"
#include "app/Form1.h"
#include "platform/SettingsStore.h"
#include "recipients/Importers.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

// The data sources are made once for the whole program.
[[maybe_unused]] const bool odbc = useOdbcWorld();

namespace
{

class frmODBCTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (OdbcTestConfig::sqliteDriver().isEmpty())
            GTEST_SKIP() << "the SQLite ODBC driver is not installed (scripts/install-deps)";
        const QString db = odbcWorld().freshSqliteDatabase();
        ASSERT_EQ(sqliteExec(db, QStringLiteral("CREATE TABLE 会員 (メール TEXT, 氏名 TEXT);"
                                                "INSERT INTO 会員 VALUES ('taro@example.jp', '太郎');"
                                                "INSERT INTO 会員 VALUES ('hanako@example.jp', '花子');"
                                                "CREATE TABLE 他 (メール TEXT);"
                                                "INSERT INTO 他 VALUES ('x@example.jp');")),
                  QString());
    }

    // Answers the next ODBC dialog: `act` sees it as it opened and presses a button.
    void answerDialog(std::function<void(frmODBC &)> act)
    {
        QTimer::singleShot(0, [act] {
            auto *dialog = qobject_cast<frmODBC *>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            act(*dialog);
            if (dialog->isVisible()) {
                ADD_FAILURE() << "the dialog is still open";
                dialog->cmdCancel->click();
            }
        });
    }
    static void choose(frmODBC &d, const QString &dsn, const QString &text)
    {
        EXPECT_EQ(d.cboDSNList->currentText(), QStringLiteral("(なし)"));
        EXPECT_EQ(d.Text2->text(), QString());
        d.cboDSNList->setCurrentText(dsn);
        ASSERT_EQ(d.cboDSNList->currentText(), dsn);
        d.Text2->setText(text);
        d.cmdOK->click();
    }

    SettingsStore settings;
    ScriptedDialogs dialogs;
};

QStringList items(const QComboBox *c)
{
    QStringList out;
    for (int i = 0; i < c->count(); ++i)
        out << c->itemText(i);
    return out;
}

} // namespace

TEST_F(frmODBCTest, OpensAnewListingTheSourcesAndStoresTheChoice)
{
    QString conn = QStringLiteral("members"), rec = QStringLiteral("会員");
    frmODBC d(conn, rec, nullptr);
    EXPECT_EQ(d.windowTitle(), QStringLiteral("ODBCｵﾌﾟｼｮﾝ"));
    EXPECT_EQ(d.Label1->text(), QStringLiteral("データソース名(DSN)"));
    EXPECT_EQ(d.Label2->text(), QStringLiteral("テーブル名または問い合せに使うSQL文"));
    EXPECT_EQ(
        d.Label3->text(),
        QStringLiteral("1列目にメールアドレスの入った列を持つテーブルまたは問い合せ文を指定してください。"));
    EXPECT_EQ(d.Label4->text(), QStringLiteral("データソースは読み取るだけで、変更しません。"
                                               "指定できるのはテーブル名か問い合せ文（SELECT）だけです。"));
    EXPECT_EQ(d.cmdOK->text(), QStringLiteral("OK"));
    EXPECT_EQ(d.cmdCancel->text(), QStringLiteral("ｷｬﾝｾﾙ"));
    for (const char *name :
         {"Label1", "cboDSNList", "Label2", "Text2", "Label3", "Label4", "cmdOK", "cmdCancel"}) {
        auto *w = d.findChild<QWidget *>(QString::fromLatin1(name));
        ASSERT_NE(w, nullptr) << name;
        // What a screen reader reads: a label by its own text, a field by its label's caption.
        EXPECT_FALSE(QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name).isEmpty()) << name;
    }
    EXPECT_EQ(d.cboDSNList->accessibleName(), d.Label1->text());
    EXPECT_EQ(d.Text2->accessibleName(), d.Label2->text());

    const QStringList names = items(d.cboDSNList);
    ASSERT_FALSE(names.isEmpty());
    EXPECT_EQ(names.first(), QStringLiteral("(なし)"));
    EXPECT_EQ(d.cboDSNList->currentIndex(), 0);
    EXPECT_TRUE(names.contains(QStringLiteral("members")));
    EXPECT_TRUE(names.contains(QStringLiteral("個人用")));
    EXPECT_TRUE(d.Text2->text().isEmpty());
    const QRect screen = d.screen()->geometry();
    EXPECT_EQ(d.x(), screen.left() + (screen.width() - d.width()) / 2);
    EXPECT_EQ(d.y(), screen.top() + (screen.height() - d.height()) / 2);

    // "(なし)" gives an empty connection; the text is kept exactly as typed.
    d.Text2->setText(QStringLiteral(" select * from 会員 "));
    d.cmdOK->click();
    EXPECT_EQ(conn, QString());
    EXPECT_EQ(rec, QStringLiteral(" select * from 会員 "));

    for (const auto &dismiss : std::initializer_list<std::function<void(frmODBC &)>>{
             [](frmODBC &f) { f.cmdCancel->click(); }, [](frmODBC &f) { f.close(); }}) {
        QString c = QStringLiteral("members"), r = QStringLiteral("会員");
        frmODBC again(c, r, nullptr);
        again.cboDSNList->setCurrentText(QStringLiteral("members"));
        again.Text2->setText(QStringLiteral("会員"));
        again.show();
        dismiss(again);
        EXPECT_EQ(c, QString());
        EXPECT_EQ(r, QString());
    }
}

TEST_F(frmODBCTest, MainWindowLoadsKeepsTheChoiceAndSurvivesFailures)
{
    Form1 f(settings, dialogs, QString());
    answerDialog([](frmODBC &d) { choose(d, QStringLiteral("members"), QStringLiteral("会員")); });
    f.mnuFileAddressReadODBC->trigger();
    EXPECT_EQ(f.recipientTable().lastRow(), 2);
    EXPECT_EQ(f.recipientTable().cell(0, 2), QStringLiteral("氏名"));
    EXPECT_EQ(f.Combo1->count(), 2);
    EXPECT_EQ(f.Combo1->currentText(), QStringLiteral("taro@example.jp"));
    EXPECT_EQ(f.statusText(), QStringLiteral("読込完了：2件中、正常2件、エラー0件。"));
    EXPECT_EQ(f.mailing().strODBCconn(), QStringLiteral("members"));
    EXPECT_EQ(f.mailing().strODBCrec(), QStringLiteral("会員"));

    // A missing table: the driver's own words in the failure box, the loaded table kept.
    const Result<RecipientTable> expected = ODBCDataGet(QStringLiteral("members"), QStringLiteral("顧客"));
    ASSERT_FALSE(expected.ok());
    dialogs.expectBox(expected.failure().description, QStringLiteral("1010"), UserDialogs::Icon::Critical,
                      UserDialogs::Buttons::Ok, UserDialogs::Answer::Ok);
    answerDialog([](frmODBC &d) { choose(d, QStringLiteral("members"), QStringLiteral("顧客")); });
    EXPECT_EQ(f.AddressRead(QStringLiteral("Odbc")), -1);
    dialogs.verifyDone();
    EXPECT_EQ(f.recipientTable().lastRow(), 2);
    EXPECT_EQ(f.Combo1->count(), 2);
    EXPECT_EQ(f.statusText(), QString());

    // Cancel, "(なし)" and an empty text end silently with nothing loaded.
    answerDialog([](frmODBC &d) { d.cmdCancel->click(); });
    EXPECT_EQ(f.AddressRead(QStringLiteral("ODBC")), -1);
    EXPECT_EQ(f.mailing().strODBCconn(), QString());
    EXPECT_EQ(f.mailing().strODBCrec(), QString());
    answerDialog([](frmODBC &d) { choose(d, QStringLiteral("(なし)"), QStringLiteral("他")); });
    EXPECT_EQ(f.AddressRead(QStringLiteral("ODBC")), -1);
    answerDialog([](frmODBC &d) { choose(d, QStringLiteral("members"), QString()); });
    EXPECT_EQ(f.AddressRead(QStringLiteral("ODBC")), -1);
    EXPECT_EQ(f.recipientTable().lastRow(), 2);
    EXPECT_EQ(f.statusText(), QString());

    answerDialog([](frmODBC &d) { choose(d, QStringLiteral("個人用"), QStringLiteral("他")); });
    EXPECT_EQ(f.AddressRead(QStringLiteral("ODBC")), 0);
    EXPECT_EQ(f.recipientTable().lastRow(), 1);
    EXPECT_EQ(f.Combo1->currentText(), QStringLiteral("x@example.jp"));
}
