// How late a 1 ms timer fires in the thread that runs it: every interval beyond the millisecond is the time
// the event loop was busy with something else.
#pragma once

#include "samples.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class EventLoopProbe : public QObject
{
    Q_OBJECT

public:
    explicit EventLoopProbe(QObject *parent = nullptr);

    void start();
    void stop();
    // Milliseconds each tick came after the one before, less the interval.
    const Samples &latenessMs() const { return m_latenessMs; }

private slots:
    void slotTick();

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = -1;
    Samples m_latenessMs;
};
