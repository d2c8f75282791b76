#pragma once

#include "platform/Failure.h"
#include "send/journal/JournalReport.h"
#include "send/journal/SendJournal.h"

#include <QDateTime>
#include <QString>

#include <vector>

// The journals in the journal folder, for continuing a run after a crash and for tidying up.
// Only its own files are touched ("run-*.journal", "run-*.abandoned", a "run-*.journal.tmp" left by
// a crash while a journal was being made, and the tables' "table-*.lock"); other files in the
// folder are left alone.
class JournalStore
{
  public:
    explicit JournalStore(QString folder = journalFolder(), QString bootId = currentBootId());

    struct Entry {
        QString path;
        Result<JournalReport> report; // a journal that cannot be read is listed with why
    };
    // The journals of runs that ended abruptly or were stopped, newest first. A journal still
    // open in a running Velmora is left out.
    std::vector<Entry> unfinished() const;

    // The newest run of the table with this digest that no Velmora is sending now, whatever its
    // ending (abandoned runs aside): the run whose mails a look into the mailbox is about. Only
    // the heads of the other journals are read.
    std::optional<Entry> latestOfTable(const QByteArray &digest) const;

    // The operator gives up continuing this run. The file is renamed "….abandoned" and kept as it
    // is, so that it still shows who was mailed; a rename is atomic and also works for a journal
    // whose head or tail is damaged, where an added record could not be read.
    std::optional<Failure> abandon(const QString &path) const;

    // Removes finished and abandoned journals whose last change is older than `days`, files left
    // half-made by a crash, and the locks of tables nobody sent since. Unfinished journals are kept
    // whatever their age. Returns how many files were removed.
    int removeOld(const QDateTime &now, int days = 30) const;

  private:
    QStringList names(const QString &pattern) const;

    QString m_folder;
    QString m_bootId;
};
