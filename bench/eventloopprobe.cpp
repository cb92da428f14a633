#include "eventloopprobe.h"

namespace {
constexpr int INTERVAL_MS = 1;
} // namespace

EventLoopProbe::EventLoopProbe(QObject *parent) : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(INTERVAL_MS);
    connect(&m_timer, &QTimer::timeout, this, &EventLoopProbe::slotTick);
}

void EventLoopProbe::start()
{
    m_lastNs = -1;
    m_clock.start();
    m_timer.start();
}

void EventLoopProbe::stop()
{
    m_timer.stop();
}

void EventLoopProbe::slotTick()
{
    const qint64 now = m_clock.nsecsElapsed();
    if (m_lastNs >= 0)
        m_latenessMs.add(qMax(0.0, double(now - m_lastNs) / 1e6 - INTERVAL_MS));
    m_lastNs = now;
}
