#include "recipients/AddressCheck.h"

#include "platform/Text.h"

RecipientSource recipientSourceOf(const QString &strFileName)
{
    const QString ext = strFileName.right(4).toLower();
    if (ext == u".xls" || strFileName.right(5).toLower() == u".xlsx")
        return RecipientSource::Excel;
    if (ext == u".ods")
        return RecipientSource::OpenDocument;
    if (ext == u".csv")
        return RecipientSource::Csv;
    if (ext == u".vcf")
        return RecipientSource::VCard;
    const QString word = strFileName.toUpper();
    if (word == u"OUTLOOK")
        return RecipientSource::Outlook;
    if (word == u"ODBC")
        return RecipientSource::Odbc;
    return RecipientSource::None;
}

QString sourceStatusText(RecipientSource source)
{
    switch (source) {
    case RecipientSource::Excel: return QStringLiteral("EXCEL形式のファイルを確認しています...");
    case RecipientSource::Csv: return QStringLiteral("CSV形式のファイルを確認しています...");
    case RecipientSource::Outlook: return QStringLiteral("OUTLOOK形式のアドレス帳を確認しています...");
    case RecipientSource::Odbc: return QStringLiteral("ODBC形式のデータベースを確認しています...");
    case RecipientSource::VCard: return QStringLiteral("vCard形式のファイルを確認しています...");
    case RecipientSource::OpenDocument:
        return QStringLiteral("OpenDocument形式のファイルを確認しています...");
    case RecipientSource::None: break;
    }
    return QString();
}

QString RecipientAddresses::at(int i) const
{
    return i >= 0 && i < count() ? trimSpaces(m_table.cellView(i + 1, 1)).toString() : QString();
}

QString AddressCheck::statusText() const
{
    return QStringLiteral("読込完了：%1件中、正常%2件、エラー%3件。").arg(total).arg(plausible).arg(suspect);
}

Result<AddressCheck> checkAddresses(const RecipientTable &table)
{
    AddressCheck check;
    const int rows = table.lastRow();
    if (rows >= 1 && !table.hasCell(1, 1))
        return Failure::noAddressColumn();
    for (int r = 1; r <= rows; ++r) {
        const QStringView a = trimSpaces(table.cellView(r, 1));
        ++check.total;
        if (a.contains(u'@')) {
            ++check.plausible;
        } else {
            ++check.suspect;
            check.suspectList += QString::number(check.total) + QStringLiteral("行目の [") + a.toString() +
                                 QStringLiteral("] はメールアドレスでない可能性があります。\r\n");
        }
    }
    check.addresses = RecipientAddresses(table);
    return check;
}
