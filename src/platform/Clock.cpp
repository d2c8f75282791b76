#include "platform/Clock.h"

#include <QElapsedTimer>
#include <QTimer>

namespace
{
class TimerAlarm : public ClockAlarm
{
  public:
    TimerAlarm(qint64 ms, std::function<void()> call)
    {
        m_timer.setSingleShot(true);
        // Waits are whole seconds or minutes: a coarse timer lets the system bundle wake-ups.
        m_timer.setTimerType(ms >= 2000 ? Qt::CoarseTimer : Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [call = std::move(call)] { call(); });
        m_timer.start(int(qBound<qint64>(0, ms, qint64(24) * 3600 * 1000)));
    }

  private:
    QTimer m_timer;
};

QElapsedTimer &monotonic()
{
    static QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer;
}
} // namespace

QDateTime SystemClock::now() const
{
    return QDateTime::currentDateTime();
}

qint64 SystemClock::monotonicMs() const
{
    return monotonic().elapsed();
}

std::unique_ptr<ClockAlarm> SystemClock::callAfter(qint64 ms, std::function<void()> call)
{
    return std::make_unique<TimerAlarm>(ms, std::move(call));
}

SystemClock &SystemClock::instance()
{
    static SystemClock clock;
    return clock;
}
