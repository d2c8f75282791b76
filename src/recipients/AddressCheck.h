#pragma once

#include "platform/Failure.h"
#include "recipients/RecipientTable.h"

#include <QString>
#include <QStringList>

// Which importer a source text selects: a path by its extension, or a source word.
// Excel covers .xls and .xlsx workbooks, OpenDocument .ods ones; all three are read by ExcelDataGet.
enum class RecipientSource { Excel, Csv, Outlook, Odbc, VCard, OpenDocument, None };
RecipientSource recipientSourceOf(const QString &strFileName);
// The status line shown while that source is read; empty for None.
QString sourceStatusText(RecipientSource source);

// The recipients' addresses (column 1, spaces trimmed), one per recipient row in order, read from
// the table when asked: the drop-down of a million rows does not copy them into texts of its own.
class RecipientAddresses
{
  public:
    RecipientAddresses() = default;
    explicit RecipientAddresses(RecipientTable table) : m_table(std::move(table)) {}
    int count() const { return m_table.hasCell(1, 1) ? m_table.lastRow() : 0; }
    bool isEmpty() const { return count() == 0; }
    // Of recipient i (0 for row 1).
    QString at(int i) const;

  private:
    RecipientTable m_table; // shares the loaded table's cells
};

// The plausibility check of a loaded table: every recipient's address (column 1, spaces trimmed)
// must hold an "@". It only counts and reports; no row is rejected.
struct AddressCheck {
    int total = 0;
    int plausible = 0;
    int suspect = 0;
    RecipientAddresses addresses; // suspect ones included
    QString suspectList; // "n行目の [a] はメールアドレスでない可能性があります。" lines, CR LF ended

    QString statusText() const;
};

// Fails when the table has recipients but no address column.
Result<AddressCheck> checkAddresses(const RecipientTable &table);
