#pragma once

#include <QDateTime>

#include <functional>
#include <memory>

// A pending call of Clock::callAfter; destroying it cancels the call.
class ClockAlarm
{
  public:
    virtual ~ClockAlarm() = default;
};

// The time of day and the waits of a send run and a timer start. The system clock is the real
// one; tests put a clock in its place that they move by hand, so no test waits for real hours.
class Clock
{
  public:
    virtual ~Clock() = default;

    // Wall-clock date and time, local.
    virtual QDateTime now() const = 0;
    // Milliseconds on a clock that only ever goes forward (not changed by setting the time).
    virtual qint64 monotonicMs() const = 0;
    // Calls `call` once, from the event loop of the calling thread, after `ms` milliseconds of
    // monotonic time. Nothing polls while waiting.
    [[nodiscard]] virtual std::unique_ptr<ClockAlarm> callAfter(qint64 ms, std::function<void()> call) = 0;
};

// QDateTime and QTimer.
class SystemClock : public Clock
{
  public:
    QDateTime now() const override;
    qint64 monotonicMs() const override;
    std::unique_ptr<ClockAlarm> callAfter(qint64 ms, std::function<void()> call) override;

    // The one process-wide instance.
    static SystemClock &instance();
};
