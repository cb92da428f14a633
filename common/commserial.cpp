#include "commserial.h"

#include "serial.h"
#include "serialplatform.h"

CommSerial::CommSerial(QObject *parent) : CommInterface(parent), m_worker(new Serial)
{
    m_worker->moveToThread(&m_thread);

    connect(this, &CommSerial::sigOpen, m_worker, &Serial::slotOpen);
    connect(this, &CommSerial::sigClose, m_worker, &Serial::slotClose);
    connect(this, &CommSerial::sigQuit, m_worker, &Serial::slotQuit);
    connect(this, &CommSerial::sigSetModemLines, m_worker, &Serial::slotSetModemLines);
    connect(m_worker, &Serial::sigFailed, this, &CommInterface::sigFailed);
    connect(m_worker, &Serial::sigSucc, this, &CommInterface::sigSucc);
    // The worker and its port must go in their own thread, as that thread ends.
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);

    m_thread.start();
}

CommSerial::~CommSerial()
{
    m_thread.quit();
    m_thread.wait();
    m_worker = nullptr;
}

bool CommSerial::readByte(char *byte, int timeoutMs)
{
    return m_worker ? m_worker->readByte(byte, timeoutMs) : false;
}

int CommSerial::readData(unsigned char *data, int maxLen, int timeoutMs)
{
    return m_worker ? m_worker->readData(data, maxLen, timeoutMs) : 0;
}

int CommSerial::readWaiting(unsigned char *data, int maxLen)
{
    return m_worker ? m_worker->readWaiting(data, maxLen) : 0;
}

bool CommSerial::isReadTimeout()
{
    return m_worker ? m_worker->isReadTimeout() : false;
}

bool CommSerial::writeData(const char *data, int len)
{
    return m_worker && m_worker->writeData(data, len);
}

bool CommSerial::waitWritten(int timeoutMs)
{
    return m_worker ? m_worker->waitWritten(timeoutMs) : false;
}

void CommSerial::wakeReader()
{
    if (m_worker)
        m_worker->wakeReader();
}

void CommSerial::setReceiveEnabled(bool enabled)
{
    if (m_worker)
        m_worker->setReceiveEnabled(enabled);
}

void CommSerial::quit()
{
    emit sigQuit();
}

void CommSerial::open(const QString &portName, int baud)
{
    emit sigOpen(portName, baud);
}

void CommSerial::close()
{
    emit sigClose();
}

void CommSerial::setModemLines(int dtr, int rts)
{
    emit sigSetModemLines(dtr, rts);
}

QStringList CommSerial::availablePorts()
{
    return serialPorts();
}

QString CommSerial::lineError()
{
    return m_worker ? m_worker->lineError() : QString();
}
