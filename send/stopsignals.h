// Ctrl-C and SIGTERM delivered to the event loop: the handler only writes to a pipe that a notifier reads.
#pragma once

#include <QObject>

class QSocketNotifier;

class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    // Called before any thread starts, so that the threads inherit the mask and only the main thread takes
    // the signals; false when that cannot be arranged.
    bool block();
    // Called once the event loop's handlers are in place: from now on each signal is one sigStop.
    void catchSignals();

signals:
    void sigStop();

private:
    QSocketNotifier *m_notifier = nullptr;
};
