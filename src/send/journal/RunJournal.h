#pragma once

#include "platform/Failure.h"
#include "send/journal/FileStamp.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

// What a send run tells the journal that keeps it on disk, so that a run ended by a crash, a kill
// or a power loss can be continued without mailing anyone twice. The run calls declare(), started()
// and outcome() from its sending thread, in the order things happen; closed() from the thread that
// owns the run, once the sending thread is idle.
class RunJournal
{
  public:
    // What became of one row, as the journal keeps it.
    enum class RowState {
        Accepted,       // the server accepted the mail
        Refused,        // a final failure of this row: sent again only if the operator asks
        Retry,          // a temporary failure; the row is to be tried again (also after a restart)
        MayHaveArrived, // the whole mail went out and no final reply came: never re-sent silently
    };

    // The most rows one declare() names: a journal that names more in one record is damaged.
    static constexpr int MostDeclared = 64;

    virtual ~RunJournal() = default;

    // These rows (at most MostDeclared) are about to be sent one after another, in this order.
    // Durable before the end of the first one's data can reach the server (one sync for the whole
    // group).
    virtual void declare(const std::vector<int> &rows) = 0;
    // One of the row's own attachment files as it goes out with the row's mail (before started()).
    virtual void attached(int row, const FileStamp &stamp) = 0;
    // The end of this row's data is about to be written.
    virtual void started(int row) = 0;
    // The row's outcome, when the server's final reply (or its absence) is known. `reason` is the
    // text the operator is shown; no secret ever reaches it.
    virtual void outcome(int row, RowState state, const QString &reason) = 0;
    // The run ended: every row has its final outcome (finished), or it was stopped and can be
    // continued later.
    virtual void closed(bool finished) = 0;
    // The first write that failed: from then on nothing is recorded, so the run sends no more.
    virtual const std::optional<Failure> &failure() const = 0;
};

// The journal of a run that keeps nothing: a trial into an outbox folder.
class NoJournal : public RunJournal
{
  public:
    void declare(const std::vector<int> &) override {}
    void attached(int, const FileStamp &) override {}
    void started(int) override {}
    void outcome(int, RowState, const QString &) override {}
    void closed(bool) override {}
    const std::optional<Failure> &failure() const override { return m_none; }

  private:
    std::optional<Failure> m_none;
};
