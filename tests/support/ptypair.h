// A pseudo-terminal pair standing in for a serial device: the program under test opens the slave, the test
// plays the device on the (non-blocking) master and sees the program close the slave.
#pragma once

#include <QByteArray>
#include <QString>

// To a non-blocking fd: false unless all bytes went within timeoutMs.
bool writeAll(int fd, const QByteArray &bytes, int timeoutMs);

class PtyPair
{
public:
    PtyPair();
    ~PtyPair() { hangUp(); }
    Q_DISABLE_COPY(PtyPair)

    bool isValid() const { return m_master >= 0; }
    QString errorString() const { return m_error; }
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    bool write(const QByteArray &bytes, int timeoutMs = 5000) { return writeAll(m_master, bytes, timeoutMs); }
    // Up to count bytes, whatever arrived within timeoutMs.
    QByteArray read(int count, int timeoutMs = 5000);
    // True while nobody has the slave open.
    bool isSlaveClosed() const;
    // Closes the master, as an unplugged device does.
    void hangUp();

private:
    int m_master = -1;
    QString m_slavePath;
    QString m_error;
};
