#pragma once

#include "platform/Clock.h"

#include <QDateTime>

#include <algorithm>
#include <memory>
#include <vector>

// A clock that moves only when the test moves it. Alarms fire, in time order, while advance()
// moves past them; an alarm may set the next one.
class ManualClock : public Clock
{
  public:
    explicit ManualClock(QDateTime start) : m_now(std::move(start)) {}

    QDateTime now() const override { return m_now.addMSecs(m_wallOffset); }
    qint64 monotonicMs() const override { return m_mono; }

    std::unique_ptr<ClockAlarm> callAfter(qint64 ms, std::function<void()> call) override
    {
        auto entry = std::make_shared<Entry>(Entry{m_mono + std::max<qint64>(0, ms), std::move(call), false});
        m_entries.push_back(entry);
        longestAlarm = std::max(longestAlarm, ms);
        return std::make_unique<Handle>(entry);
    }

    // Moves both the wall clock and the monotonic clock on by ms, firing the alarms due on the way.
    void advance(qint64 ms)
    {
        const qint64 end = m_mono + ms;
        for (;;) {
            std::shared_ptr<Entry> next;
            for (const auto &e : m_entries)
                if (!e->cancelled && e->due <= end && (!next || e->due < next->due))
                    next = e;
            if (!next)
                break;
            m_now = m_now.addMSecs(next->due - m_mono);
            m_mono = next->due;
            next->cancelled = true;
            std::erase_if(m_entries, [](const auto &e) { return e->cancelled; });
            next->call();
        }
        m_now = m_now.addMSecs(end - m_mono);
        m_mono = end;
    }
    // The wall clock alone jumps (the time set by hand, or a suspended machine woken up).
    void jumpWallClock(qint64 ms) { m_wallOffset += ms; }
    int pendingAlarms() const
    {
        return int(
            std::count_if(m_entries.begin(), m_entries.end(), [](const auto &e) { return !e->cancelled; }));
    }

    qint64 longestAlarm = 0;

  private:
    struct Entry {
        qint64 due;
        std::function<void()> call;
        bool cancelled;
    };
    struct Handle : ClockAlarm {
        explicit Handle(std::shared_ptr<Entry> e) : entry(std::move(e)) {}
        ~Handle() override { entry->cancelled = true; }
        std::shared_ptr<Entry> entry;
    };

    QDateTime m_now;
    qint64 m_wallOffset = 0;
    qint64 m_mono = 0;
    std::vector<std::shared_ptr<Entry>> m_entries;
};
