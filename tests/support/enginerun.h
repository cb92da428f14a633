// The engine as the window drives it (CommSerial, Controller, an observer), for tests on a pseudo-terminal.
#pragma once

#include "commserial.h"
#include "controller.h"
#include "observer.h"

#include <QSignalSpy>
#include <QStringList>
#include <QTest>

// Records what the controller reports, as the window would show it.
struct SessionRecorder : public Observer
{
    void onMessage(const QString &msg) override { messages << msg; }
    void onDeviceText(const QByteArray &bytes) override { deviceText += bytes; }
    void onProgress(const TransferProgress &value) override { progress << value.percent; }
    void onUpdateEnd(const TransferOutcome &value) override { outcome = value, ++ends; }
    // Turns the event loop until the condition holds.
    template<typename Condition> bool waitUntil(Condition condition, int timeoutMs = 120000)
    {
        return QTest::qWaitFor(condition, timeoutMs);
    }

    QStringList messages;
    QByteArray deviceText;
    QList<int> progress;
    TransferOutcome outcome;
    int ends = 0;
};

// Owned and torn down in the window's order.
struct Engine
{
    Engine() { controller->addObserver(&recorder); }
    ~Engine() { delete controller, delete comm; }

    // False, with the port's words in *error, when it does not open.
    bool open(const QString &port, QString *error)
    {
        QSignalSpy opened(comm, &CommInterface::sigSucc);
        QSignalSpy failed(comm, &CommInterface::sigFailed);
        comm->open(port, 115200);
        const bool answered = QTest::qWaitFor([&] { return !opened.isEmpty() || !failed.isEmpty(); }, 5000);
        *error = failed.isEmpty() ? QString() : failed.value(0).value(1).toString();
        return answered && failed.isEmpty();
    }

    CommSerial *comm = new CommSerial;
    Controller *controller = new Controller(comm);
    SessionRecorder recorder;
};
