#include "enginerun.h"

void SessionRecorder::onMessage(const QString &msg)
{
    messages << msg;
    emit sigReport();
}

void SessionRecorder::onDeviceText(const QByteArray &bytes)
{
    deviceText += bytes;
    emit sigReport();
}

void SessionRecorder::onProgress(const TransferProgress &value)
{
    progress << value.percent;
    emit sigReport();
}

void SessionRecorder::onUpdateEnd(const TransferOutcome &value)
{
    outcome = value;
    ++ends;
    emit sigReport();
}

Engine::Engine() : comm(new CommSerial), controller(new Controller(comm))
{
    controller->addObserver(&recorder);
}

Engine::~Engine()
{
    delete controller;
    delete comm;
}

bool Engine::open(const QString &port, QString *error)
{
    QSignalSpy opened(comm, &CommInterface::sigSucc);
    QSignalSpy failed(comm, &CommInterface::sigFailed);
    comm->open(port, 115200);
    if (!opened.wait() && failed.isEmpty())
        failed.wait();
    if (!failed.isEmpty())
        *error = failed.value(0).value(1).toString();
    return failed.isEmpty() && !opened.isEmpty();
}
