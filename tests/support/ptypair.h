// A pseudo-terminal pair standing in for a serial device: the program under test opens the slave by its path,
// the test plays the device on the master. Nobody else holds the slave, so the master sees the program close
// it.
#pragma once

#include <QByteArray>
#include <QString>

class PtyPair
{
public:
    enum { DefaultTimeoutMs = 5000 };

    PtyPair();
    ~PtyPair() { hangUp(); }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString errorString() const { return m_error; }
    QString slavePath() const { return m_slavePath; }
    // Non-blocking.
    int masterFd() const { return m_master; }

    // False unless all bytes went within timeoutMs.
    bool write(const QByteArray &bytes, int timeoutMs = DefaultTimeoutMs);
    // Up to count bytes, whatever arrived within timeoutMs.
    QByteArray read(int count, int timeoutMs = DefaultTimeoutMs);
    // True while nobody has the slave open.
    bool isSlaveClosed() const;
    // Closes the master, as an unplugged device does.
    void hangUp();

private:
    int m_master = -1;
    QString m_slavePath;
    QString m_error;
};
