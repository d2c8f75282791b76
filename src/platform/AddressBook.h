#pragma once

#include "Failure.h"

#include <QString>
#include <QStringList>

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
Result<std::vector<AddressBookEntry>> readDesktopAddressBook(const AddressBookPlaces &places);

// The abook.sqlite of the default profile named in a profiles.ini: its install's Default= entry,
// else the profile marked Default=1, else the only profile.
Result<QString> thunderbirdPersonalBook(const QString &profilesIni);

// Thunderbird's abook.sqlite, read without locks so that a running Thunderbird is not disturbed.
// Address is PrimaryEmail and name DisplayName, or, for cards that keep only a vCard, its first
// EMAIL and FN.
Result<std::vector<AddressBookEntry>> readThunderbirdBook(const QString &abookPath);

// Evolution's contacts.db, read the same way; each contact's vCard gives its first EMAIL and FN.
Result<std::vector<AddressBookEntry>> readEvolutionBook(const QString &contactsDb);
