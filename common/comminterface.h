// The channel to the device: asynchronous open and close reported by signals, synchronous time-limited reads
// and writes.
#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

enum CommOperType { CommOperOpen = 0, CommOperClose = 1, CommOperLines = 2 };
Q_DECLARE_METATYPE(CommOperType)

class CommInterface : public QObject
{
    Q_OBJECT

public:
    // The rates a port may be asked for: from the slowest teleprinter to the fastest USB adapters.
    static constexpr int MIN_BAUD = 50;
    static constexpr int MAX_BAUD = 12000000;

    explicit CommInterface(QObject *parent = nullptr);
    ~CommInterface() override;

    // False only once the channel has been aborted; a wait that ran out returns true with isReadTimeout().
    virtual bool readByte(char *byte, int timeoutMs) = 0;
    // Bytes taken (at most maxLen, never waiting for more than the first); 0 on time-out or abort.
    virtual int readData(unsigned char *data, int maxLen, int timeoutMs) = 0;
    virtual bool isReadTimeout() = 0;
    // What has already arrived, at most maxLen bytes, without waiting; 0 when nothing is there.
    virtual int readWaiting(unsigned char *data, int maxLen) = 0;
    // Hands all len bytes to the port, in order and ahead of anything written after them, or fails: false
    // when the port is not open, is lost meanwhile, or takes none of them for a while. May block the caller
    // while a long write waits for the line; a short one returns at once.
    virtual bool writeData(const char *data, int len) = 0;
    // Waits until what was written has been taken for the port, at most timeoutMs; false when it has not.
    virtual bool waitWritten(int timeoutMs) = 0;
    // Ends the wait of the read blocked now, or else of the next read that would wait, as a time-out, so
    // that a stop is seen at once.
    virtual void wakeReader() = 0;
    virtual void setReceiveEnabled(bool enabled) = 0;
    // Aborts both buffers for good: nothing waits any more.
    virtual void quit() = 0;
    virtual void open(const QString &portName, int baud) = 0;
    virtual void close() = 0;
    // Sets the modem control lines of the open port: 1 raises, 0 lowers, -1 leaves a line as it is. Reported
    // as CommOperLines by sigSucc, or by sigFailed when the port cannot set them.
    virtual void setModemLines(int dtr, int rts);
    // "name:description" for every serial port present.
    virtual QStringList availablePorts() = 0;
    // Empty while the line works; once the open port has failed for good (adapter unplugged, far end
    // closed), what happened, naming the port, until the port is opened again.
    virtual QString lineError() { return QString(); }

signals:
    void sigFailed(CommOperType type, QString strInfo);
    void sigSucc(CommOperType type);
};
