#include "TestEnvironment.h"
#include "recipients/AddressCheck.h"
#include "recipients/Importers.h"

#include <QStringEncoder>

#include <gtest/gtest.h>

namespace
{

using Rows = QList<QStringList>;

Rows rowsOf(const RecipientTable &t)
{
    Rows rows;
    for (int r = 0; r <= t.lastRow(); ++r)
        rows.append({t.cell(r, 1), t.cell(r, 2)});
    return rows;
}

// Quoted-printable as old mailers and phones write it: every byte as =XX, soft line breaks ("="
// at the end of a line) after every 10 bytes.
QByteArray qp(const QByteArray &bytes)
{
    QByteArray out;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 10 == 0)
            out += "=\r\n";
        out += '=' +
               QByteArray::number(static_cast<unsigned char>(bytes[i]), 16).toUpper().rightJustified(2, '0');
    }
    return out;
}

Result<RecipientTable> importBytes(const ScratchDir &dir, const QByteArray &bytes)
{
    return VCardDataGet(dir.write(QStringLiteral("contacts.vcf"), bytes));
}

} // namespace

TEST(VCardImport, VersionsThreeAndFourInUtf8)
{
    ScratchDir dir;
    QByteArray file =
        "BEGIN:VCARD\r\nVERSION:3.0\r\nN:山田;太郎;;;\r\n"
        "item1.EMAIL;TYPE=INTERNET,pref:yamada@example.jp\r\n"
        "item1.X-ABLabel:_$!<Other>!$_\r\nNOTE:長い説明が折り返され\r\n て続きます\r\nEND:VCARD\r\n";
    // A folded line may split a character's bytes; unfolding joins them again.
    const QByteArray name = QStringLiteral("加藤 純\\, 営業\\n本部").toUtf8();
    file += "BEGIN:VCARD\nVERSION:3.0\nFN:" + name.left(4) + "\n " + name.mid(4) + "\n" +
            "EMAIL;TYPE=\"internet:work\":kato@exam\n ple.com\nEMAIL:second@example.com\nEND:VCARD\n";
    file +=
        "BEGIN:VCARD\r\nVERSION:4.0\r\nKIND:group\r\nFN:営業部\r\nEMAIL:sales@example.jp\r\n"
        "MEMBER:urn:uuid:1\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:電話だけ\r\nTEL;VALUE=uri:tel:+81-3-0000-0000\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:4.0\r\nFN;LANGUAGE=ja:佐藤 花子\r\nEMAIL;PREF=1:sato@example.jp\r\nEND:VCARD";
    Result<RecipientTable> t = importBytes(dir, file);
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    EXPECT_EQ(rowsOf(t.value()), Rows({{"Address", "Name"},
                                       {"yamada@example.jp", "山田 太郎"},
                                       {"kato@example.com", "加藤 純, 営業\n本部"},
                                       {"sato@example.jp", "佐藤 花子"}}));
    EXPECT_EQ(t->lastColumn(), 2);
    EXPECT_EQ(t->cell(1, 0), QString());
}

TEST(VCardImport, VersionTwoOneInShiftJisWithQuotedPrintableAndCharsets)
{
    ScratchDir dir;
    const QByteArray file =
        "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=SHIFT_JIS:" + toCp932(QStringLiteral("髙橋;一郎")) +
        "\r\nFN;CHARSET=SHIFT_JIS;ENCODING=QUOTED-PRINTABLE:" +
        qp(toCp932(QStringLiteral("①髙橋 一郎～ソフト表"))) +
        "\r\nEMAIL;INTERNET;PREF:takahashi@example.jp\r\n"
        // An embedded card (an assistant) is not a contact of the file.
        "AGENT:\r\nBEGIN:VCARD\r\nVERSION:2.1\r\nEMAIL;INTERNET:agent@example.jp\r\nEND:VCARD\r\nEND:"
        "VCARD\r\n"
        // Raw Shift_JIS: 0x5C trail bytes (ソ, 表) are characters, not escapes.
        "BEGIN:VCARD\r\nVERSION:2.1\r\nFN;CHARSET=SHIFT_JIS:" +
        toCp932(QStringLiteral("ソフト表示\\;（株）")) +
        "\r\nEMAIL;INTERNET:soft@example.jp\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:2.1\r\nFN;QUOTED-PRINTABLE;CHARSET=UTF-8:" +
        qp(QStringLiteral("山田 花子").toUtf8()) +
        "\r\nEMAIL;INTERNET:utf8@example.jp\r\nEND:VCARD\r\n"
        // No CHARSET: the file's own encoding, here CP932.
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" +
        toCp932(QStringLiteral("表計算\\, 課")) + "\r\nEMAIL:hyou@example.jp\r\nEND:VCARD\r\n";
    Result<RecipientTable> t = importBytes(dir, file);
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    EXPECT_EQ(rowsOf(t.value()), Rows({{"Address", "Name"},
                                       {"takahashi@example.jp", "①髙橋 一郎～ソフト表"},
                                       {"soft@example.jp", "ソフト表示;（株）"},
                                       {"utf8@example.jp", "山田 花子"},
                                       {"hyou@example.jp", "表計算, 課"}}));
}

TEST(VCardImport, ByteOrderMarksChooseTheEncoding)
{
    ScratchDir dir;
    const QString card = QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\nFN;CHARSET=SHIFT_JIS:山田 太郎\r\n"
                                        "EMAIL:yamada@example.jp\r\nEND:VCARD\r\n");
    const Rows expected = {{"Address", "Name"}, {"yamada@example.jp", "山田 太郎"}};
    QStringEncoder utf16(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom);
    for (const QByteArray &bytes : {QByteArray(utf16.encode(card)), "\xEF\xBB\xBF" + card.toUtf8()}) {
        Result<RecipientTable> t = importBytes(dir, bytes);
        ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
        EXPECT_EQ(rowsOf(t.value()), expected);
    }
}

TEST(VCardImport, FilesThatAreNotWholeVCardsFailWithWhereAndWhy)
{
    ScratchDir dir;
    Result<RecipientTable> csv = importBytes(dir, "mail,name\r\na@example.jp,A\r\n");
    ASSERT_FALSE(csv.ok());
    EXPECT_EQ(csv.failure().number, 321);

    Result<RecipientTable> cut = importBytes(dir, "BEGIN:VCARD\r\nFN:A\r\nEND:VCARD\r\n"
                                                  "BEGIN:VCARD\r\nFN:B\r\nEMAIL:b@exa");
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.failure().number, 321);
    EXPECT_TRUE(cut.failure().description.startsWith(u"4行目から始まる連絡先"))
        << cut.failure().description.toStdString();

    Result<RecipientTable> bytes = importBytes(dir, "BEGIN:VCARD\r\nVERSION:2.1\r\nFN:\xFF\xFF\r\n"
                                                    "EMAIL:x@example.jp\r\nEND:VCARD\r\n");
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(bytes.failure().number, 1001);
    EXPECT_TRUE(bytes.failure().description.startsWith(u"3行目"))
        << bytes.failure().description.toStdString();

    Result<RecipientTable> missing = VCardDataGet(dir.path(QStringLiteral("none.vcf")));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.failure().number, 53);

    EXPECT_EQ(recipientSourceOf(QStringLiteral("/home/a/連絡先.VCF")), RecipientSource::VCard);
    EXPECT_EQ(sourceStatusText(RecipientSource::VCard),
              QStringLiteral("vCard形式のファイルを確認しています..."));
}

// Inputs found by fuzzing, and their neighbours: each is read as its writer meant or refused with
// its line, never imported with a damaged name or address.
TEST(VCardImport, DamagedInputIsReadSoundlyOrRefusedWithItsLine)
{
    const auto fuzzed = [](const char *name) {
        return VCardDataGet(testDataPath(QStringLiteral("untrusted/") + QLatin1StringView(name)));
    };
    const auto expectRow = [](const Result<RecipientTable> &t, const QString &name) {
        ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
        EXPECT_EQ(rowsOf(t.value()), Rows({{"Address", "Name"}, {"t@example.jp", name}}));
    };
    const auto expectRefused = [](const Result<RecipientTable> &t, const QString &line) {
        ASSERT_FALSE(t.ok());
        EXPECT_EQ(t.failure().number, 1001);
        EXPECT_TRUE(t.failure().description.startsWith(line)) << t.failure().description.toStdString();
    };
    ScratchDir dir;

    // In 2.1 a soft break is the whole line end and a blank opening the next line is text; from
    // 3.0 on lines are unfolded first, so a fold right after "=" splits an escape.
    expectRow(fuzzed("vcard-qp-soft-break-then-space.vcf"), QStringLiteral("Yamada Taro"));
    expectRow(importBytes(dir, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN;ENCODING=QUOTED-PRINTABLE:Yamada=\r\n"
                               " 20Taro=\r\n=E5=A4=AA\r\nEMAIL:t@example.jp\r\nEND:VCARD\r\n"),
              QStringLiteral("Yamada Taro太"));

    // UTF-8 labelled Shift_JIS reads as UTF-8 once it holds a character of three bytes or more;
    // half-width kana pairs, which are valid UTF-8 as well, keep their label.
    expectRow(fuzzed("vcard-utf8-labelled-shift_jis-mojibake.vcf"), QStringLiteral("鈴木"));
    expectRow(importBytes(dir, "BEGIN:VCARD\r\nFN;CHARSET=SHIFT_JIS:" + toCp932(QStringLiteral("ﾅｶ")) +
                                   "\r\nEMAIL:t@example.jp\r\nEND:VCARD\r\n"),
              QStringLiteral("ﾅｶ"));

    // UTF-16 with a byte too many, or half a surrogate pair in an address; whole pairs read.
    expectRefused(fuzzed("vcard-utf16-odd-length.vcf"), QStringLiteral("5行目"));
    expectRefused(fuzzed("vcard-utf16-lone-surrogate-email.vcf"), QStringLiteral("4行目"));
    QStringEncoder utf16(QStringEncoder::Utf16BE, QStringEncoder::Flag::WriteBom);
    expectRow(
        importBytes(dir, utf16.encode(u"BEGIN:VCARD\r\nFN:𠮷田\r\nEMAIL:t@example.jp\r\nEND:VCARD\r\n")),
        QStringLiteral("𠮷田"));
}
