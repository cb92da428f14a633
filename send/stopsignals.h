// Ctrl-C and SIGTERM (on Windows, Ctrl-C, Ctrl-Break and closing the console) delivered to the event loop:
// on Linux the handler only writes to a pipe that a notifier reads (stopsignals_unix.cpp), on Windows the
// console's handler thread queues the stop (stopsignals_win.cpp).
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
