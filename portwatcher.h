// Follows the serial ports present while the window's port is closed: looks about once a second and says
// when the list has changed, as adapters are plugged in and out.
#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>

class PortWatcher : public QObject
{
    Q_OBJECT

public:
    // The ports present, each as "name:description".
    using Source = std::function<QStringList()>;
    static constexpr int POLL_MS = 1000;

    explicit PortWatcher(Source source, int pollMs = POLL_MS, QObject *parent = nullptr);

    const QStringList &ports() const { return m_ports; }
    void setWatching(bool watching);

public slots:
    // Looks now; sigPortsChanged follows when the list differs from the one seen last.
    void slotLook();

signals:
    void sigPortsChanged(QStringList ports);

private:
    Source m_source;
    QStringList m_ports;
    QTimer m_timer;
};
