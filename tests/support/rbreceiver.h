// lrzsz's `rb` (or `rx`) behind socat, which gives our side a pseudo-terminal and rb a socket pair, so that
// rb's flush of its terminal as it exits cannot swallow its last ACK. rb repeats its first C only every ten
// seconds, so it stays parked until release(): call that once the session waits for its C.
#pragma once

#include <QObject>
#include <QProcess>
#include <QTemporaryDir>

class RbReceiver : public QObject
{
    Q_OBJECT

public:
    static constexpr char RB[] = "rb -b -y -u"; // Binary, overwrite, keep the name's letter case as sent.

    explicit RbReceiver(const QString &command = QLatin1String(RB), QObject *parent = nullptr);
    ~RbReceiver() override;

    // Printed to our side once released, before rb starts, as a board prints its boot log; before start().
    void setBanner(const QByteArray &banner) { m_banner = banner; }
    bool start(int timeoutMs = 10000);
    QString portPath() const { return m_dir.filePath(QStringLiteral("port")); }
    QString receiveDir() const { return m_dir.filePath(QStringLiteral("rx")); } // Only what rb received.

    void release();
    // SIGINT: rb sends its cancel bytes and exits; false if rb is not running yet.
    bool interrupt();
    bool waitForFinished(int timeoutMs = 60000);

    QByteArray diagnostics() const;
    QString errorString() const { return m_error; }

private:
    QString m_command;
    QByteArray m_banner;
    QTemporaryDir m_dir;
    QProcess m_socat;
    QString m_error;
    int m_releaseFd = -1;
};
