// The worker that owns the serial port in a thread of its own and moves bytes between it and the ring
// buffers.
#pragma once

#include "comminterface.h"
#include "ringbuffer.h"

#include <QMutex>
#include <QObject>
#include <QRecursiveMutex>
#include <QSerialPort>
#include <QString>
#include <memory>

class QSocketNotifier;

class Serial : public QObject
{
    Q_OBJECT

public:
    enum { SendChunkSize = 1400, StoreTimeoutMs = 20, DrainWaitMs = 100, CloseDrainLimitMs = 2000 };
    // How long a write waits for the port to take any of its bytes before it fails.
    enum { WriteStallMs = 2000 };
    // What may wait for the line beyond the send buffer: a paste or a long step never waits on the line.
    enum { SendBacklogLimit = 1 << 20 };
    // How far the rate the driver set may be from the one asked for: what a UART tolerates.
    static constexpr int RATE_TOLERANCE_PERCENT = 3;

    explicit Serial(QObject *parent = nullptr);
    ~Serial() override;

    // Called directly from other threads; they touch only the ring buffers or the flag.
    bool readByte(char *byte, int timeoutMs);
    int readData(unsigned char *data, int maxLen, int timeoutMs);
    bool isReadTimeout();
    int readWaiting(unsigned char *data, int maxLen);
    bool writeData(const char *data, int len);
    bool waitWritten(int timeoutMs);
    void wakeReader();
    void setReceiveEnabled(bool enabled);
    QString lineError() const;

public slots:
    virtual void slotOpen(QString strPortName, int nBaud);
    virtual void slotClose();
    void slotQuit();
    void slotSetModemLines(int dtr, int rts);

signals:
    void sigWriteBytes();
    void sigFailed(CommOperType type, QString strInfo);
    void sigSucc(CommOperType type);

private slots:
    void slotReadData();
    void slotWriteBytes();
    void slotErrorOccurred(QSerialPort::SerialPortError error);
    void slotPortLost(QString strInfo);

private:
    bool openExclusively();
    int writeNowIfIdle(const char *data, int len);
    void takeWaiting(int limit);
    void writeUnwritten();
    void closePort();

private:
    QString m_portName;
    QSerialPort m_port;
    std::atomic<bool> m_receiveEnabled { true };
    RingBuffer m_receiveBuffer;
    RingBuffer m_sendBuffer;
    // Writers from several threads, one at a time.
    QMutex m_writeMutex;
    std::atomic<bool> m_open { false };
    // Held by whoever writes to the line: the worker, or a writer taking the short way past it. The port's
    // own write completion calls back into the worker while it holds it.
    QRecursiveMutex m_portMutex;
    qintptr m_handle = -1;
    // Taken from the send buffer, not taken by the line yet; written when the notifier says it has room.
    QByteArray m_unwritten;
    std::unique_ptr<QSocketNotifier> m_writable;
    char m_sendStaging[SendChunkSize];
    mutable QMutex m_lineErrorMutex;
    QString m_lineError;
};
