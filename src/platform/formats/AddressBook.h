#pragma once

#include "platform/Failure.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <vector>

// One entry of an address book that has an e-mail address.
struct AddressBookEntry {
    QString address;
    QString name; // may be empty
};

// Where the desktop's mail programs keep their address books.
struct AddressBookPlaces {
    QString home;     // the user's home folder
    QString dataHome; // XDG data folder: $XDG_DATA_HOME, or home/.local/share

    static AddressBookPlaces fromEnvironment();
    // Thunderbird's profile lists: the ordinary installation first, then the sandboxed ones.
    QStringList thunderbirdProfileLists() const;
    // Evolution's personal ("system") address book.
    QString evolutionBook() const;
};

// The personal address book of the desktop's mail program, read once: Thunderbird's when one of
// its profile lists exists, else Evolution's. Entries keep the book's order; only entries with an
// e-mail address are returned, and mailing lists are never entries. When neither program has a
// book, the failure names every place looked at.
// A set `cancel` ends the read with importCancelled().
Result<std::vector<AddressBookEntry>> readDesktopAddressBook(const AddressBookPlaces &places,
                                                             const CancelFlag *cancel = nullptr);

// The abook.sqlite of the default profile named in a profiles.ini: its install's Default= entry,
// else the profile marked Default=1, else the only profile. A Path whose form contradicts its
// IsRelative mark is refused rather than guessed.
Result<QString> thunderbirdPersonalBook(const QString &profilesIni);

// A book is a file from elsewhere: it is read as untrusted input, within these bounds. A read that
// runs longer is stopped, and a row that holds more bytes (a contact's vCard with its photo stays far
// below) is refused.
struct AddressBookLimits {
    std::chrono::milliseconds readTime{5000};
    int rowBytes = 4 * 1024 * 1024;
    const CancelFlag *cancel = nullptr; // the operator stopped the import
};

// Thunderbird's abook.sqlite, read as one snapshot of what its program committed: with locks inside
// one read transaction (with the commits still in its write-ahead log), or, when locks cannot be had,
// from the file as it stands while it is seen not to change. Only plain tables with the expected
// columns are read. Address is PrimaryEmail and name DisplayName, or, for cards that keep only a
// vCard, its first EMAIL and FN.
Result<std::vector<AddressBookEntry>> readThunderbirdBook(const QString &abookPath,
                                                          const AddressBookLimits &limits = {});

// Evolution's contacts.db, read the same way; each contact's vCard gives its first EMAIL and FN.
Result<std::vector<AddressBookEntry>> readEvolutionBook(const QString &contactsDb,
                                                        const AddressBookLimits &limits = {});
