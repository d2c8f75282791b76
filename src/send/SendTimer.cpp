#include "send/SendTimer.h"

namespace
{
// Clock-minute boundaries since the epoch; local offsets are whole minutes, so they are the same
// boundaries as the local clock's.
qint64 minuteOf(const QDateTime &t)
{
    const qint64 s = t.toSecsSinceEpoch();
    return s >= 0 ? s / 60 : (s - 59) / 60;
}

constexpr qint64 RecheckMs = 60 * 1000;
} // namespace

bool startsLate(const QDateTime &scheduled, const QDateTime &now)
{
    return minuteOf(now) > minuteOf(scheduled) + 1;
}

QString lateStartText(const QDateTime &now)
{
    return QStringLiteral("スリープ中に予定時刻を過ぎたため、%1 に送信を開始しました").arg(now.toString(QStringLiteral("HH:mm")));
}

QString generalDateTime(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyy/MM/dd H:mm:ss"));
}

SendTimer::SendTimer(int hours, std::function<qint16()> timerFlag, std::function<void(qint16)> setTimerFlag,
                     Clock &clock, std::function<void(bool)> done, QObject *parent)
    : QObject(parent), m_hours(hours), m_timerFlag(std::move(timerFlag)),
      m_setTimerFlag(std::move(setTimerFlag)), m_clock(clock), m_done(std::move(done))
{
}

SendTimer::SendTimer(const QDateTime &at, std::function<qint16()> timerFlag,
                     std::function<void(qint16)> setTimerFlag, Clock &clock, std::function<void(bool)> done,
                     QObject *parent)
    : SendTimer(0, std::move(timerFlag), std::move(setTimerFlag), clock, std::move(done), parent)
{
    QDateTime minute = at;
    minute.setTime(QTime(at.time().hour(), at.time().minute()));
    m_at = minute;
}

SendTimer::~SendTimer() = default;

QString SendTimer::scheduledText() const
{
    return QStringLiteral("開始予定時刻：") + generalDateTime(scheduled());
}

void SendTimer::start()
{
    m_start = m_clock.now();
    m_setTimerFlag(-1);
    QMetaObject::invokeMethod(this, &SendTimer::check, Qt::QueuedConnection);
}

void SendTimer::stopRequested()
{
    if (!m_finished)
        QMetaObject::invokeMethod(this, &SendTimer::check, Qt::QueuedConnection);
}

void SendTimer::check()
{
    if (m_finished)
        return;
    m_alarm.reset();
    const QDateTime now = m_clock.now();
    const qint64 dueMinute = m_at ? minuteOf(*m_at) : minuteOf(m_start) + qint64(m_hours) * 60;
    bool due = minuteOf(now) >= dueMinute;
    m_late = due && startsLate(scheduled(), now);
    if (!due && m_timerFlag() != 0) {
        const qint64 untilDue = (dueMinute * 60 - now.toSecsSinceEpoch()) * 1000 - now.time().msec();
        m_alarm = m_clock.callAfter(qBound<qint64>(1, untilDue, RecheckMs), [this] { check(); });
        return;
    }
    m_finished = true;
    m_done(due && m_timerFlag() != 0);
}
