#include "serial.h"

#include "localsetting.h"
#include "log.h"
#include "openfailure.h"
#include "serialplatform.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <climits>

Serial::Serial(QObject *parent) : QObject(parent), m_port(this)
{
    qRegisterMetaType<QByteArray>("QByteArray");
    const LocalSetting *settings = LocalSetting::instance();
    Log::instance()->init(settings->getLogLevel(), settings->getLogStr().toUtf8().constData(),
        QFile::encodeName(settings->folder() + QStringLiteral("/log")).toStdString());

    connect(this, &Serial::sigWriteBytes, this, &Serial::slotWriteBytes);
    // The port has written some: what waits behind may follow.
    connect(&m_port, &SerialPort::sigBytesWritten, this, [this] { moveToPort(); });
    connect(&m_port, &SerialPort::sigErrorOccurred, this, &Serial::slotErrorOccurred);
    connect(&m_port, &SerialPort::sigReadyRead, this, &Serial::slotReadData);

    m_receiveBuffer.reset();
    m_sendBuffer.reset();
}

Serial::~Serial()
{
    m_receiveBuffer.abort();
    m_sendBuffer.abort();
    if (!m_port.isOpen())
        return;
    // The thread's event loop has ended, so a cancel sequence written as the program closes may still wait
    // in the send buffer: it is the last thing the device must get.
    closePort();
}

// close() discards what the port has not written yet, such as a cancel sequence sent just before; let it
// leave first, but never hold the program for long on a port that does not drain.
void Serial::closePort()
{
    QMutexLocker port(&m_portMutex);
    moveToPort(INT_MAX);
    m_port.flush();
    QDeadlineTimer limit(CloseDrainLimitMs);
    while (m_port.bytesToWrite() > 0 && !limit.hasExpired()
        && m_port.waitForBytesWritten(int(qMin<qint64>(DrainWaitMs, limit.remainingTime())))) { }
    m_handle = -1;
    m_port.close();
}

bool Serial::readByte(char *byte, int timeoutMs)
{
    return m_receiveBuffer.getByte(byte, timeoutMs);
}

int Serial::readData(unsigned char *data, int maxLen, int timeoutMs)
{
    int got = 0;
    m_receiveBuffer.get(data, maxLen, &got, timeoutMs);
    return got;
}

int Serial::readWaiting(unsigned char *data, int maxLen)
{
    return m_receiveBuffer.getWaiting(data, maxLen);
}

bool Serial::isReadTimeout()
{
    return m_receiveBuffer.isReadTimeout();
}

bool Serial::writeData(const char *data, int len)
{
    // One caller's bytes stay together and in order, however many turns of the buffer they take.
    QMutexLocker writer(&m_writeMutex);
    if (!m_open.load() || len < 0)
        return false;
    for (int done = writeNowIfIdle(data, len); done < len;) {
        // Each piece the worker takes gives the next one a fresh wait: only a port that drains nothing
        // for that long fails the write.
        const int stored = m_sendBuffer.putSome(data + done, len - done, WriteStallMs);
        if (stored <= 0) {
            LOG_SOURCE(1, "%s took nothing for %d ms, %d of %d bytes not sent",
                m_portName.toUtf8().constData(), int(WriteStallMs), len - done, len);
            return false;
        }
        done += stored;
        emit sigWriteBytes();
        if (!m_open.load())
            return false;
    }
    return true;
}

// With nothing queued ahead of them, the bytes go straight to the line from the caller's thread: a packet
// leaves at once instead of at the worker's next turn. What the line does not take now goes the usual way,
// behind them. The bytes written.
int Serial::writeNowIfIdle(const char *data, int len)
{
    QMutexLocker port(&m_portMutex);
    if (m_handle < 0 || m_backlog > 0 || m_sendBuffer.count() > 0)
        return 0;
    const int written = int(writeNow(m_handle, data, len));
    if (written > 0)
        Log::instance()->printHex("send hex:", data, written);
    return written;
}

bool Serial::waitWritten(int timeoutMs)
{
    return m_sendBuffer.waitEmpty(timeoutMs);
}

void Serial::wakeReader()
{
    m_receiveBuffer.interrupt();
}

void Serial::setReceiveEnabled(bool enabled)
{
    m_receiveEnabled = enabled;
}

QString Serial::lineError() const
{
    QMutexLocker locker(&m_lineErrorMutex);
    return m_lineError;
}

void Serial::slotOpen(QString strPortName, int nBaud)
{
    m_portName = strPortName;

    // Without a name the port would try to open /dev itself.
    if (strPortName.isEmpty() || !openExclusively(portLocation(strPortName), nBaud)) {
        emit sigFailed(CommOperOpen, openFailureText(strPortName, m_port.error(), m_port.errorString()));
        // Left set, the error would be reported again by the next close.
        m_port.clearError();
        return;
    }
    // A driver that cannot run the rate may quietly run another one, and the device would see noise.
    const qint64 applied = appliedBaudRate(m_port.handle());
    if (applied > 0 && qAbs(applied - nBaud) * 100 > qint64(nBaud) * RATE_TOLERANCE_PERCENT) {
        m_port.close();
        emit sigFailed(CommOperOpen, rateRefusedText(strPortName, nBaud, applied));
        return;
    }
    QString why;
    if (requestLowLatency(m_port.handle(), &why))
        LOG_SOURCE(2, "%s: low latency requested", strPortName.toUtf8().constData());
    else
        LOG_SOURCE(2, "%s: no low-latency mode (%s), going on without", strPortName.toUtf8().constData(),
            why.toUtf8().constData());
    {
        QMutexLocker locker(&m_lineErrorMutex);
        m_lineError.clear();
    }
    // Nothing of an earlier connection carries over: neither its bytes nor a wake-up its loss left behind.
    m_receiveBuffer.clear();
    m_sendBuffer.clear();
    {
        QMutexLocker port(&m_portMutex);
        m_handle = m_port.handle();
        m_backlog = 0;
    }
    m_open = true;
    emit sigSucc(CommOperOpen);
}

// Ports open one at a time across the process: QSerialPort's open sets up state once for every port (its
// lock-file folders) and reads it on each open, and with several ports opening at once in their own threads
// that is shared without a lock the race detector can see.
bool Serial::openExclusively(const QString &location, int baud)
{
    static QMutex opening;
    QMutexLocker locker(&opening);
    return m_port.open(location, baud);
}

void Serial::slotClose()
{
    m_open = false;
    if (m_port.isOpen()) {
        closePort();
        if (m_port.error() != SerialPort::NoError) {
            emit sigFailed(CommOperClose, m_port.errorString());
            m_port.clearError();
            return;
        }
    }
    emit sigSucc(CommOperClose);
}

void Serial::slotQuit()
{
    m_receiveBuffer.abort();
    m_sendBuffer.abort();
}

// A line left at -1 keeps its level. A pseudo-terminal has no modem lines and fails here.
void Serial::slotSetModemLines(int dtr, int rts)
{
    if (!m_port.isOpen()) {
        emit sigFailed(CommOperLines, QStringLiteral("the port is not open"));
        return;
    }
    const bool set = (dtr < 0 || m_port.setDataTerminalReady(dtr == 1))
        && (rts < 0 || m_port.setRequestToSend(rts == 1));
    if (!set) {
        emit sigFailed(CommOperLines, m_port.errorString());
        // Left set, the error would be reported again by the next close.
        m_port.clearError();
        return;
    }
    emit sigSucc(CommOperLines);
}

void Serial::slotReadData()
{
    // Blocks no larger than the buffer: a longer one could never find room and would always be lost, though
    // the reader keeps up, as in a burst of boot text.
    while (m_port.bytesAvailable() > 0) {
        const QByteArray block = m_port.read(RingBuffer::Capacity);
        Log::instance()->printHex("receive hex:", block.constData(), block.size());
        if (!m_receiveEnabled)
            continue;
        m_receiveBuffer.put(block.constData(), block.size(), StoreTimeoutMs);
        if (m_receiveBuffer.isWriteTimeout())
            LOG_SOURCE(1, " %s device data buffer full, %d bytes data be dropped off!!!",
                m_portName.toUtf8().constData(), block.size());
    }
}

// Hands what the send buffer holds to the port, which writes what the line takes now and the rest as the
// line drains.
void Serial::slotWriteBytes()
{
    QMutexLocker port(&m_portMutex);
    moveToPort();
    m_port.flush();
    m_backlog = m_port.bytesToWrite();
}

// Moves bytes from the send buffer into the port while it holds less than limit: past it they stay in the
// send buffer, so that a line that never drains fails the writer instead of growing the port's buffer
// without end.
void Serial::moveToPort(int limit)
{
    QMutexLocker port(&m_portMutex);
    int got = 0;
    while (m_port.isOpen() && m_port.bytesToWrite() < limit
        && (got = m_sendBuffer.getWaiting(reinterpret_cast<unsigned char *>(m_sendStaging), SendChunkSize))
            > 0) {
        m_port.write(m_sendStaging, got);
        Log::instance()->printHex("send hex:", m_sendStaging, got);
    }
    m_backlog = m_port.bytesToWrite();
}

void Serial::slotErrorOccurred(SerialPort::Error error)
{
    if (error == SerialPort::NoError)
        return;
    LOG_SOURCE(1, "error occurred, %s errInfo: %s !!!", m_portName.toUtf8().constData(),
        m_port.errorString().toUtf8().constData());
    if (!m_port.isOpen())
        return;
    // The device has gone: an unplugged adapter reports a resource error, a closed far end only read or
    // write errors on a line that has hung up. Closing is left to a queued call, outside the port's own
    // notification.
    QString reason;
    if (error == SerialPort::ResourceError)
        reason = m_port.errorString();
    else if ((error == SerialPort::ReadError || error == SerialPort::WriteError) && m_port.isGone())
        reason = QStringLiteral("the line hung up");
    if (!reason.isEmpty()) {
        const QString text = QStringLiteral("Serial port %1 lost: %2").arg(m_portName, reason);
        QMetaObject::invokeMethod(
            this, [this, text] { slotPortLost(text); }, Qt::QueuedConnection);
    }
}

// Nothing more can cross a lost port: close it so that it can be opened again, tell a waiting session at
// once, and report the port as failed.
void Serial::slotPortLost(QString strInfo)
{
    if (!m_port.isOpen())
        return;
    {
        QMutexLocker locker(&m_lineErrorMutex);
        m_lineError = strInfo;
    }
    m_open = false;
    {
        QMutexLocker port(&m_portMutex);
        m_handle = -1;
        m_port.close();
    }
    m_port.clearError();
    m_receiveBuffer.interrupt();
    // A writer waiting for room is told at once.
    m_sendBuffer.clear();
    emit sigFailed(CommOperClose, strInfo);
}
