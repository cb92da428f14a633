// A pseudo-terminal pair standing in for a serial device. The program under test opens the slave by its path
// (a full device path works as a QSerialPort port name); the test plays the device on the master side.
// The slave starts in raw mode and the fixture does not keep it open, so the master sees when the program
// closes it.
#pragma once

#include <QByteArray>
#include <QString>

class PtyPair
{
public:
    enum { DefaultTimeoutMs = 5000 };

    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    // False when no pair could be made; errorString() then says why.
    bool isValid() const { return m_master >= 0; }
    QString errorString() const { return m_error; }
    // The slave's device path, for example /dev/pts/5.
    QString slavePath() const { return m_slavePath; }
    // The master's descriptor (non-blocking), for tests that need more than the calls below.
    int masterFd() const { return m_master; }

    // Writes all bytes to the master, waiting for room at most timeoutMs in all; false if they did not all
    // go.
    bool write(const QByteArray &bytes, int timeoutMs = DefaultTimeoutMs);
    // Reads from the master until count bytes have arrived or timeoutMs has passed; returns what arrived.
    QByteArray read(int count, int timeoutMs = DefaultTimeoutMs);
    // True while nobody has the slave open: before the program opens it and after it closed it.
    bool isSlaveClosed() const;
    // Closes the master, as a device that is unplugged: the slave's side hangs up.
    void hangUp();

private:
    int m_master = -1;
    QString m_slavePath;
    QString m_error;
};
