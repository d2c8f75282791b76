#pragma once

#include <QDateTime>

#include <limits>

// The sending limits of the provider (per minute, per hour, per day), kept across runs and restarts.
// The send run asks before each group of mails how many may go now, and tells of every mail that
// went out. Used from the thread that owns the run.
class SendPacer
{
  public:
    struct Allowance {
        int now = std::numeric_limits<int>::max(); // recipients that may be sent to at once
        QDateTime nextAt;                          // when none may: when the next one may go
        bool daily = false;                        // what holds it back is the limit per day
    };

    virtual ~SendPacer() = default;

    // How many recipients may be sent to now: the providers count each recipient of a mail (its
    // copies and blind copies too), not the mails.
    virtual Allowance allowance(const QDateTime &now) = 0;
    // A mail to this many recipients went out (accepted, or it may have arrived) at `at`.
    virtual void sent(const QDateTime &at, int recipients = 1) = 0;
};

// No limits at all.
class UnlimitedPacer : public SendPacer
{
  public:
    Allowance allowance(const QDateTime &) override { return {}; }
    void sent(const QDateTime &, int) override {}
};
