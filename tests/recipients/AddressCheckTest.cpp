#include "recipients/AddressCheck.h"
#include "TestTables.h"

#include <gtest/gtest.h>

TEST(AddressCheck, SourceIsChosenByExtensionThenByWord)
{
    EXPECT_EQ(recipientSourceOf(QStringLiteral("/a/b.XLS")), RecipientSource::Excel);
    EXPECT_EQ(recipientSourceOf(QStringLiteral("名簿.Csv")), RecipientSource::Csv);
    EXPECT_EQ(recipientSourceOf(QStringLiteral("outLook")), RecipientSource::Outlook);
    EXPECT_EQ(recipientSourceOf(QStringLiteral("odbc")), RecipientSource::Odbc);
    EXPECT_EQ(recipientSourceOf(QStringLiteral("book.xlsx")), RecipientSource::Excel);
    EXPECT_EQ(recipientSourceOf(QStringLiteral("表.ODS")), RecipientSource::OpenDocument);
    EXPECT_EQ(sourceStatusText(RecipientSource::OpenDocument),
              QStringLiteral("OpenDocument形式のファイルを確認しています..."));
    EXPECT_EQ(recipientSourceOf(QStringLiteral("book.xlsm")), RecipientSource::None);
    EXPECT_EQ(recipientSourceOf(QStringLiteral("list.txt")), RecipientSource::None);
    EXPECT_EQ(recipientSourceOf(QStringLiteral("ODBC.csv")), RecipientSource::Csv);
}

TEST(AddressCheck, CountsAndListsSuspectRowsWithoutDroppingThem)
{
    const RecipientTable t = tableOf({{"mail", "name"},
                                      {" a@example.jp ", "x"},
                                      {"", "empty"},
                                      {"@", "at only"},
                                      {"b＠example.jp", "full-width at"},
                                      {"c@", "last"}});
    Result<AddressCheck> c = checkAddresses(t);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c->total, 5);
    EXPECT_EQ(c->plausible, 3);
    EXPECT_EQ(c->suspect, 2);
    QStringList addresses;
    for (int i = 0; i < c->addresses.count(); ++i)
        addresses.append(c->addresses.at(i));
    EXPECT_EQ(addresses, QStringList({"a@example.jp", "", "@", "b＠example.jp", "c@"}));
    EXPECT_EQ(c->addresses.at(5), QString()); // past the last row
    EXPECT_EQ(c->suspectList,
              QStringLiteral("2行目の [] はメールアドレスでない可能性があります。\r\n"
                             "4行目の [b＠example.jp] はメールアドレスでない可能性があります。\r\n"));
    EXPECT_EQ(c->statusText(), QStringLiteral("読込完了：5件中、正常3件、エラー2件。"));
}

TEST(AddressCheck, TablesWithoutAddressColumn)
{
    EXPECT_FALSE(checkAddresses(RecipientTable::sized(1, 0)).ok());
    Result<AddressCheck> headerOnly = checkAddresses(RecipientTable::sized(0, 0));
    ASSERT_TRUE(headerOnly.ok());
    EXPECT_EQ(headerOnly->statusText(), QStringLiteral("読込完了：0件中、正常0件、エラー0件。"));
    // The initial table has one empty recipient row.
    Result<AddressCheck> initial = checkAddresses(RecipientTable());
    ASSERT_TRUE(initial.ok());
    EXPECT_EQ(initial->suspect, 1);
}
