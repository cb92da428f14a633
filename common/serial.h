// The worker that owns the serial port in a thread of its own and moves bytes between it and the ring
// buffers.
#pragma once

#include "comminterface.h"
#include "ringbuffer.h"
#include "serialport.h"

#include <QMutex>
#include <QObject>
#include <QRecursiveMutex>
#include <QString>

class Serial : public QObject
{
    Q_OBJECT

public:
    enum { SendChunkSize = 1400, StoreTimeoutMs = 20, DrainWaitMs = 100, CloseDrainLimitMs = 2000 };
    // How long a write waits for the port to take any of its bytes before it fails.
    enum { WriteStallMs = 2000 };
    // What the port may hold beyond what the line has taken: a paste or a long step never waits on the line.
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
    void slotErrorOccurred(SerialPort::Error error);
    void slotPortLost(QString strInfo);

private:
    bool openExclusively(const QString &location, int baud);
    int writeNowIfIdle(const char *data, int len);
    void moveToPort(int limit = SendBacklogLimit);
    void closePort();

private:
    QString m_portName;
    SerialPort m_port;
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
    // What the port holds that the line has not taken yet.
    qint64 m_backlog = 0;
    char m_sendStaging[SendChunkSize];
    mutable QMutex m_lineErrorMutex;
    QString m_lineError;
};
