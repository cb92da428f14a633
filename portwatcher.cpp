#include "portwatcher.h"

PortWatcher::PortWatcher(Source source, int pollMs, QObject *parent)
    : QObject(parent), m_source(std::move(source)), m_ports(m_source())
{
    m_timer.setInterval(pollMs);
    connect(&m_timer, &QTimer::timeout, this, &PortWatcher::slotLook);
}

void PortWatcher::setWatching(bool watching)
{
    if (!watching)
        m_timer.stop();
    else if (!m_timer.isActive())
        m_timer.start();
}

void PortWatcher::slotLook()
{
    QStringList ports = m_source();
    if (ports == m_ports)
        return;
    m_ports = std::move(ports);
    emit sigPortsChanged(m_ports);
}
