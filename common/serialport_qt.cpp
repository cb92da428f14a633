#include "serialport.h"

#include "serialplatform.h"

#include <QFileInfo>
#include <QSerialPort>

class SerialPort::Private
{
public:
    explicit Private(SerialPort *q) : port(q) { }

    QSerialPort port;
    QString location;
};

SerialPort::SerialPort(QObject *parent) : QObject(parent), d(new Private(this))
{
    connect(&d->port, &QIODevice::readyRead, this, &SerialPort::sigReadyRead);
    connect(&d->port, &QIODevice::bytesWritten, this, &SerialPort::sigBytesWritten);
    connect(&d->port, &QSerialPort::errorOccurred, this,
        [this](QSerialPort::SerialPortError error) { emit sigErrorOccurred(Error(error)); });
}

SerialPort::~SerialPort() = default;

bool SerialPort::open(const QString &location, int baud)
{
    d->port.setBaudRate(baud, QSerialPort::AllDirections);
    d->port.setDataBits(QSerialPort::Data8);
    d->port.setStopBits(QSerialPort::OneStop);
    d->port.setParity(QSerialPort::NoParity);
    d->port.setFlowControl(QSerialPort::NoFlowControl);
    d->port.setPortName(location);
    d->location = location;
    return d->port.open(QIODevice::ReadWrite);
}

bool SerialPort::isOpen() const
{
    return d->port.isOpen();
}

void SerialPort::close()
{
    d->port.close();
}

qintptr SerialPort::handle() const
{
    return d->port.handle();
}

qint64 SerialPort::bytesAvailable() const
{
    return d->port.bytesAvailable();
}

QByteArray SerialPort::read(qint64 maxSize)
{
    return d->port.read(maxSize);
}

qint64 SerialPort::write(const char *data, qint64 size)
{
    return d->port.write(data, size);
}

qint64 SerialPort::bytesToWrite() const
{
    return d->port.bytesToWrite();
}

bool SerialPort::flush()
{
    return d->port.flush();
}

bool SerialPort::waitForBytesWritten(int msecs)
{
    return d->port.waitForBytesWritten(msecs);
}

bool SerialPort::setDataTerminalReady(bool set)
{
    return d->port.setDataTerminalReady(set);
}

bool SerialPort::setRequestToSend(bool set)
{
    return d->port.setRequestToSend(set);
}

SerialPort::Error SerialPort::error() const
{
    return Error(d->port.error());
}

QString SerialPort::errorString() const
{
    return d->port.errorString();
}

void SerialPort::clearError()
{
    d->port.clearError();
}

bool SerialPort::isGone() const
{
    return lineHungUp(d->port.handle()) || !QFileInfo::exists(d->location);
}
