// The engine as a front end drives it (CommSerial, Controller, an observer), for tests against a device on a
// pseudo-terminal: a scripted receiver or a real one.
#pragma once

#include "commserial.h"
#include "controller.h"
#include "observer.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QSignalSpy>
#include <QStringList>

// Records what the controller reports, as the window would show it.
class SessionRecorder : public QObject, public Observer
{
    Q_OBJECT

public:
    static constexpr int SESSION_TIMEOUT_MS = 120000;

    void onMessage(const QString &msg) override;
    void onDeviceText(const QByteArray &bytes) override;
    void onProgress(const TransferProgress &value) override;
    void onUpdateEnd(const TransferOutcome &value) override;

    // Waits until the condition holds, turning the event loop for the reports.
    template<typename Condition> bool waitUntil(Condition condition, int timeoutMs = SESSION_TIMEOUT_MS)
    {
        QSignalSpy reports(this, &SessionRecorder::sigReport);
        QDeadlineTimer deadline(timeoutMs);
        while (!condition()) {
            if (deadline.hasExpired() || !reports.wait(int(deadline.remainingTime())))
                return condition();
        }
        return true;
    }
    bool waitForLine(const QString &line)
    {
        return waitUntil([&] { return messages.contains(line); });
    }
    bool waitForEnd()
    {
        return waitUntil([&] { return ends > 0; });
    }

    QStringList messages;
    QByteArray deviceText;
    QList<int> progress;
    TransferOutcome outcome;
    int ends = 0;

signals:
    void sigReport();
};

// The channel and the controller, owned and torn down in the window's order.
struct Engine
{
    Engine();
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Opens the port; false, with the port's words in *error, when it does not open.
    bool open(const QString &port, QString *error);

    CommSerial *comm;
    Controller *controller;
    SessionRecorder recorder;
};
