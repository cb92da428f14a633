// The serial device as the Serial worker drives it, one body per system: QSerialPort where Qt has it
// (serialport_qt.cpp), Win32 overlapped I/O on Windows (serialport_win.cpp).
//
// What both keep: the port lives in the worker's thread and is called only there. write() never blocks: it
// takes all the bytes into the port's own buffer, which drains to the line as it takes them, reported by
// sigBytesWritten; bytesToWrite() tells what is still waiting. Received bytes are announced by sigReadyRead
// as soon as they arrive. A failure is reported by sigErrorOccurred, and isGone() then tells whether the
// device itself went away (far end hung up, adapter unplugged) rather than the line failing once.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class SerialPort : public QObject
{
    Q_OBJECT

public:
    // Numbered as QSerialPort's errors, which the Qt body passes on as they are.
    enum Error {
        NoError,
        DeviceNotFoundError,
        PermissionError,
        OpenError,
        ParityError,
        FramingError,
        BreakConditionError,
        WriteError,
        ReadError,
        ResourceError,
        UnsupportedOperationError,
        UnknownError,
        TimeoutError,
        NotOpenError
    };
    Q_ENUM(Error)

    explicit SerialPort(QObject *parent = nullptr);
    ~SerialPort() override;

    // Opens the device at location (what portLocation() gives) at baud bit/s, 8 data bits, no parity, one
    // stop bit, no flow control; false with error() and errorString() set when it cannot.
    bool open(const QString &location, int baud);
    bool isOpen() const;
    // Discards what has not been written yet.
    void close();
    // The system's handle of the open port, for the functions in serialplatform.h.
    qintptr handle() const;

    qint64 bytesAvailable() const;
    QByteArray read(qint64 maxSize);
    // All size bytes are taken, or -1 when the port is not open.
    qint64 write(const char *data, qint64 size);
    qint64 bytesToWrite() const;
    // Hands the waiting bytes to the line now, as far as it takes them without waiting.
    bool flush();
    // Waits up to msecs for some waiting bytes to be written; false when none were.
    bool waitForBytesWritten(int msecs);
    bool setDataTerminalReady(bool set);
    bool setRequestToSend(bool set);

    Error error() const;
    QString errorString() const;
    void clearError();
    bool isGone() const;

signals:
    void sigReadyRead();
    void sigBytesWritten(qint64 bytes);
    void sigErrorOccurred(SerialPort::Error error);

private:
    class Private;
    std::unique_ptr<Private> d;
};
