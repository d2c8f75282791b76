#pragma once

#include "platform/Failure.h"
#include "send/limits/SendLimits.h"
#include "send/limits/SendPacer.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// The account the provider counts mails against.
struct SendAccount {
    QString host;
    QString user;
    QString sender; // the sender's address
};

// Holds a run to the provider's limits over rolling windows of 60 s, 3,600 s and 86,400 s. The
// mails of the last 24 hours are kept per account in a file of the state folder, so a run continued
// after a crash or a restart still counts what went out before. Times are kept in whole seconds,
// each mail counted up to the next full second (never less than the window). Appends are batched
// (at most one write a second, or every 256 mails): a crash loses the counts of the last second.
// Two programs sending through the same account at the same time append to the one record under a
// lock (flock on "<record>.lock"), so a later run counts the mails of both; while they run, each
// counts only its own and those sent before it opened. The record is trimmed (replaced by a new
// file) only by a pacer that is alone with it.
class ProviderPacer : public SendPacer
{
  public:
    // Reads the account's record, drops what is older than 24 hours before `now` and rewrites it.
    static Result<std::unique_ptr<ProviderPacer>> open(const SendLimits &limits, const SendAccount &account,
                                                       const QDateTime &now,
                                                       const QString &folder = defaultFolder());
    ~ProviderPacer() override;
    ProviderPacer(const ProviderPacer &) = delete;
    ProviderPacer &operator=(const ProviderPacer &) = delete;

    // $XDG_STATE_HOME/velmora, else ~/.local/state/velmora.
    static QString defaultFolder();
    // "sent-<hash>.log": the account's names stay out of the folder listing.
    static QString fileNameFor(const SendAccount &account);

    Allowance allowance(const QDateTime &now) override;
    void sent(const QDateTime &at, int recipients = 1) override;

    // Writes the counts not yet on disk. A failed write keeps them for the next try; the counts in
    // memory stay right either way.
    std::optional<Failure> flush();
    const std::optional<Failure> &writeFailure() const { return m_writeFailure; }
    QString path() const { return m_path; }

  private:
    struct Second {
        qint64 at;         // seconds since the epoch; the mails of (at - 1, at]
        qint64 count;      // mails counted in it
        qint64 cumulative; // mails counted up to and including it, since the pacer opened
    };

    ProviderPacer(const SendLimits &limits, QString path);
    // The *Locked ones expect the lock file to be held.
    std::optional<Failure> rewrite();
    std::optional<Failure> rewriteLocked();
    std::optional<Failure> flushLocked();
    void dropOlderThanADay(qint64 nowMs);
    void followWallClockBack(qint64 nowMs);
    qint64 countBefore(std::deque<Second>::const_iterator it) const;

    SendLimits m_limits;
    QString m_path;
    int m_fd = -1;     // the record, appended to, held with a shared lock
    int m_lockFd = -1; // beside it, locked exclusively while the record is read or written
    std::deque<Second> m_seconds;
    std::vector<std::pair<qint64, qint64>> m_unwritten; // seconds and counts not yet appended
    qint64 m_unwrittenMails = 0;
    qint64 m_lastWriteMs = 0;
    std::optional<Failure> m_writeFailure;
};
