// lrzsz's YMODEM receiver `rb` (or its XMODEM receiver `rx`) as a test peer: socat gives our side a
// pseudo-terminal and runs rb behind a socket pair, so rb's flush of its terminal as it exits cannot swallow
// its last ACK.
//
// Typical use:
//     RbReceiver rb;
//     QVERIFY2(rb.start(), qPrintable(rb.errorString()));
//     open rb.portPath() and start the upload; once the session waits for its C ("Prepare to establish a
//     connection."), call rb.release(); when the session has ended, rb.waitForFinished() and compare the
//     file in rb.receiveDir().
//
// rb repeats its C only every ten seconds and the session drains what is waiting when it starts, so rb
// stays parked until release() lets it begin; it then sends its first C at once.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class RbReceiver : public QObject
{
    Q_OBJECT

public:
    // -b binary, -y overwrite, -u keep the name's letter case as sent.
    static constexpr char RB[] = "rb -b -y -u";

    // command is a shell command line of lrzsz's receivers: rb, or rx with the name to store the file as.
    explicit RbReceiver(const QString &command = QLatin1String(RB), QObject *parent = nullptr);
    // Ends rb and socat if they still run.
    ~RbReceiver() override;

    // Starts socat and returns once the pseudo-terminal exists; false (see errorString) if it never appears.
    bool start(int timeoutMs = 10000);
    // The device path our side opens: a link to the pseudo-terminal, unique to this receiver.
    QString portPath() const;
    // Where rb stores the files it receives; empty apart from them.
    QString receiveDir() const;

    // Lets rb begin. Harmless before our side has opened the port: rb starts when both have happened.
    void release();
    // Sends SIGINT to rb, which answers with its cancel bytes and exits; false if rb is not running yet.
    bool interrupt();
    // Waits until rb has exited and socat has closed the pseudo-terminal.
    bool waitForFinished(int timeoutMs = 60000);

    // What rb and socat wrote on their error output, for failure messages.
    QByteArray diagnostics() const;
    QString errorString() const { return m_error; }

private:
    QString controlPath(const char *name) const;
    bool writeLauncher();

    QString m_command;
    QTemporaryDir m_dir;
    QProcess m_socat;
    QString m_error;
    int m_releaseFd = -1;
};
