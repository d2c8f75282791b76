#pragma once

#include "platform/Clock.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// The wait of a timer start: `hours` hours counted in clock-minute boundaries from the start, so
// the run begins at the start of the minute in which the scheduled time falls. The wall clock is
// read again at least once a minute, so setting the clock or suspending the machine moves the
// start by at most a minute. Nothing polls in between.
class SendTimer : public QObject
{
    Q_OBJECT
  public:
    // timerFlag and setTimerFlag read and set the process-wide flag (-1 true, 0 false) where its
    // owner keeps it. done(true) when the wait is over, done(false) when it was stopped; called once.
    SendTimer(int hours, std::function<qint16()> timerFlag, std::function<void(qint16)> setTimerFlag,
              Clock &clock, std::function<void(bool due)> done, QObject *parent = nullptr);
    ~SendTimer() override;

    // Notes the start and sets timerFlag; the wait is checked from the event loop, so done() is
    // never called from inside start(). With 0 hours the wait is over at the first check.
    void start();
    // The stop button was pressed (timerFlag already cleared).
    void stopRequested();

    QDateTime scheduled() const { return m_start.addSecs(qint64(m_hours) * 3600); }
    // "開始予定時刻：" and the scheduled date and time.
    QString scheduledText() const;

  private:
    void check();

    int m_hours;
    std::function<qint16()> m_timerFlag;
    std::function<void(qint16)> m_setTimerFlag;
    Clock &m_clock;
    std::function<void(bool)> m_done;
    QDateTime m_start;
    bool m_finished = false;
    std::unique_ptr<ClockAlarm> m_alarm;
};

// The system's general date-time format: "2026/12/08 9:05:03".
QString generalDateTime(const QDateTime &t);
