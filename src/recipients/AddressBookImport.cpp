#include "platform/formats/AddressBook.h"
#include "platform/formats/VCard.h"
#include "recipients/Importers.h"

#include <limits>

namespace
{

const QString AddressHeader = QStringLiteral("Address");
const QString NameHeader = QStringLiteral("Name");

// The two-column table both address-book sources produce: "Address" and "Name".
Result<RecipientTable> entryTable(qsizetype count, const auto &entryAt, const StatusSink &status)
{
    if (count >= std::numeric_limits<int>::max())
        return Failure::outOfMemory();
    RecipientTable table;
    try {
        table = RecipientTable::sized(int(count), 2);
        table.setCell(0, 1, AddressHeader);
        table.setCell(0, 2, NameHeader);
        for (int r = 1; r <= int(count); ++r) {
            const auto &[address, name] = entryAt(r - 1);
            table.setCell(r, 1, address);
            table.setCell(r, 2, name);
            if (status)
                status(address + u'/' + name);
        }
    } catch (const std::bad_alloc &) {
        return Failure::outOfMemory();
    } catch (const std::length_error &) {
        return Failure::outOfMemory();
    }
    return table;
}

} // namespace

Result<RecipientTable> OutlookDataGet(const AddressBookPlaces &places, const StatusSink &status,
                                      const CancelFlag *cancel)
{
    if (status) {
        status(QString());
        status(QStringLiteral("読み込み試行中・・・しばらくお待ちください"));
    }
    const Result<std::vector<AddressBookEntry>> book = readDesktopAddressBook(places, cancel);
    if (!book)
        return book.failure();
    if (status)
        status(QString());
    const std::vector<AddressBookEntry> &entries = book.value();
    return entryTable(
        qsizetype(entries.size()),
        [&](qsizetype i) -> std::pair<const QString &, const QString &> {
            const AddressBookEntry &e = entries[size_t(i)];
            return {e.address, e.name};
        },
        status);
}

Result<RecipientTable> VCardDataGet(const QString &strFileName)
{
    Result<std::vector<VCardContact>> read = readVCardFile(strFileName);
    if (!read)
        return read.failure();
    // Cards without an e-mail address and contact groups are not recipients.
    std::vector<VCardContact> people;
    people.reserve(read->size());
    for (VCardContact &c : read.value())
        if (!c.isGroup && !c.email.isEmpty())
            people.push_back(std::move(c));
    return entryTable(
        qsizetype(people.size()),
        [&](qsizetype i) -> std::pair<const QString &, const QString &> {
            const VCardContact &c = people[size_t(i)];
            return {c.email, c.name};
        },
        StatusSink());
}
