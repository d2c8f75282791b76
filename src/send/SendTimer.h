#pragma once

#include "platform/Clock.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The wait of a timer start: `hours` hours counted in clock-minute boundaries from the start, so
// the run begins at the start of the minute in which the scheduled time falls; or a start at a date
// and time, to the minute. Either is a deadline on the wall clock, read again at least once a
// minute, so setting the clock moves the start by at most a minute, and a machine that slept
// through the deadline starts the run when it wakes (late() then tells it). Nothing polls in
// between.
class SendTimer : public QObject
{
    Q_OBJECT
  public:
    // timerFlag and setTimerFlag read and set the process-wide flag (-1 true, 0 false) where its
    // owner keeps it. done(true) when the wait is over, done(false) when it was stopped; called once.
    SendTimer(int hours, std::function<qint16()> timerFlag, std::function<void(qint16)> setTimerFlag,
              Clock &clock, std::function<void(bool due)> done, QObject *parent = nullptr);
    // A start at `at` (its seconds ignored), as above otherwise.
    SendTimer(const QDateTime &at, std::function<qint16()> timerFlag, std::function<void(qint16)> setTimerFlag,
              Clock &clock, std::function<void(bool due)> done, QObject *parent = nullptr);
    ~SendTimer() override;

    // Notes the start and sets timerFlag; the wait is checked from the event loop, so done() is
    // never called from inside start(). With 0 hours the wait is over at the first check.
    void start();
    // The stop button was pressed (timerFlag already cleared).
    void stopRequested();

    QDateTime scheduled() const { return m_at ? *m_at : m_start.addSecs(qint64(m_hours) * 3600); }
    // "開始予定時刻：" and the scheduled date and time.
    QString scheduledText() const;
    // The wait ended more than a minute after its deadline: the machine slept (or the clock jumped)
    // through it.
    bool late() const { return m_late; }

  private:
    void check();

    int m_hours = 0;
    std::optional<QDateTime> m_at;
    bool m_late = false;
    std::function<qint16()> m_timerFlag;
    std::function<void(qint16)> m_setTimerFlag;
    Clock &m_clock;
    std::function<void(bool)> m_done;
    QDateTime m_start;
    bool m_finished = false;
    std::unique_ptr<ClockAlarm> m_alarm;
};

// A start at `now` of a wait due at `scheduled` is late when it comes after the minute following
// the scheduled one: the machine slept, or the clock jumped, through it.
bool startsLate(const QDateTime &scheduled, const QDateTime &now);
// The note a late start gives with its outcome: "スリープ中に予定時刻を過ぎたため、HH:MM に送信を開始しました".
QString lateStartText(const QDateTime &now);

// The system's general date-time format: "2026/12/08 9:05:03".
QString generalDateTime(const QDateTime &t);
