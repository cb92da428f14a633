// The channel over a serial port: requests go queued to the worker's thread, reads and writes straight to
// its buffers.
#pragma once

#include "comminterface.h"

#include <QThread>

class Serial;

class CommSerial : public CommInterface
{
    Q_OBJECT

public:
    explicit CommSerial(QObject *parent = nullptr);
    ~CommSerial() override;

    bool readByte(char *byte, int timeoutMs) override;
    int readData(unsigned char *data, int maxLen, int timeoutMs) override;
    bool isReadTimeout() override;
    int readWaiting(unsigned char *data, int maxLen) override;
    bool writeData(const char *data, int len) override;
    bool waitWritten(int timeoutMs) override;
    void wakeReader() override;
    void setReceiveEnabled(bool enabled) override;
    void quit() override;
    void open(const QString &portName, int baud) override;
    void close() override;
    void setModemLines(int dtr, int rts) override;
    QStringList availablePorts() override;
    QString lineError() override;

signals:
    void sigOpen(QString strPortName_, int nBaud_ = 115200);
    void sigClose();
    void sigQuit();
    void sigSetModemLines(int dtr, int rts);

private:
    QThread m_thread;
    Serial *m_worker = nullptr;
};
