#include "serialport.h"

#include "serialplatform.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QSocketNotifier>

#include <memory>

// Writes go past QSerialPort: it takes a line without room for a moment (a pseudo-terminal says EAGAIN even
// when it looked writable) for a failed device, and reading as well as writing would stop.
class SerialPort::Private
{
public:
    explicit Private(SerialPort *q) : q(q), port(q) { }

    // Writes what the line takes now; the notifier calls again when it has room for the rest.
    void writeUnwritten()
    {
        const qint64 written = writeNow(port.handle(), unwritten.constData(), unwritten.size());
        unwritten.remove(0, int(written));
        writable->setEnabled(!unwritten.isEmpty() && !lineHungUp(port.handle()));
        if (written > 0)
            emit q->sigBytesWritten(written);
    }

    SerialPort *q;
    QSerialPort port;
    QString location;
    QByteArray unwritten;
    std::unique_ptr<QSocketNotifier> writable;
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
    if (!d->port.open(QIODevice::ReadWrite))
        return false;
    d->writable.reset(new QSocketNotifier(d->port.handle(), QSocketNotifier::Write));
    d->writable->setEnabled(false);
    connect(d->writable.get(), &QSocketNotifier::activated, this, [this] { d->writeUnwritten(); });
    return true;
}

bool SerialPort::isOpen() const
{
    return d->port.isOpen();
}

void SerialPort::close()
{
    d->writable.reset();
    d->unwritten.clear();
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
    if (!d->port.isOpen())
        return -1;
    d->unwritten.append(data, int(size));
    d->writable->setEnabled(true);
    return size;
}

qint64 SerialPort::bytesToWrite() const
{
    return d->unwritten.size();
}

bool SerialPort::flush()
{
    if (d->port.isOpen() && !d->unwritten.isEmpty())
        d->writeUnwritten();
    return d->unwritten.isEmpty();
}

bool SerialPort::waitForBytesWritten(int msecs)
{
    const qint64 before = d->unwritten.size();
    if (before == 0 || !waitForRoom(d->port.handle(), msecs))
        return false;
    d->writeUnwritten();
    return d->unwritten.size() < before;
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
