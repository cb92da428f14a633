#include "rbreceiver.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

RbReceiver::RbReceiver(const QString &command, QObject *parent)
    : QObject(parent), m_command(command), m_dir(QDir::tempPath() + QLatin1String("/kelpo-rb-XXXXXX"))
{ }

RbReceiver::~RbReceiver()
{
    if (m_socat.state() != QProcess::NotRunning) {
        // socat passes the signal on to rb, or to the launcher still parked before it.
        m_socat.terminate();
        if (!m_socat.waitForFinished(5000)) {
            m_socat.kill();
            m_socat.waitForFinished();
        }
    }
    if (m_releaseFd >= 0)
        ::close(m_releaseFd);
}

QString RbReceiver::controlPath(const char *name) const
{
    return m_dir.filePath(QString::fromLatin1(name));
}

QString RbReceiver::portPath() const
{
    return controlPath("port");
}

QString RbReceiver::receiveDir() const
{
    return controlPath("rx");
}

bool RbReceiver::writeLauncher()
{
    // The launcher notes its process id (rb keeps it through exec) and waits on the fifo for release().
    QFile launcher(controlPath("launch.sh"));
    if (!launcher.open(QIODevice::WriteOnly))
        return false;
    const QString script
        = QStringLiteral("echo $$ > %1\nread go < %2\nexec %3\n")
              .arg(shellQuoted(controlPath("rb.pid")), shellQuoted(controlPath("go")), m_command);
    return launcher.write(script.toLocal8Bit()) > 0;
}

bool RbReceiver::start(int timeoutMs)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot make a temporary folder: ") + m_dir.errorString();
        return false;
    }
    if (!QDir(m_dir.path()).mkdir(QStringLiteral("rx"))
        || ::mkfifo(QFile::encodeName(controlPath("go")), 0600) != 0 || !writeLauncher()) {
        m_error = QStringLiteral("cannot prepare the receiver's folder ") + m_dir.path();
        return false;
    }

    QFileSystemWatcher watcher({ m_dir.path() });
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, &QEventLoop::quit);
    connect(&m_socat, &QProcess::stateChanged, &loop, &QEventLoop::quit);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);

    m_socat.setWorkingDirectory(receiveDir());
    m_socat.setStandardOutputFile(QProcess::nullDevice());
    // A file, not a pipe: nobody may have to read rb's chatter for the transfer to go on.
    m_socat.setStandardErrorFile(controlPath("diagnostics.txt"));
    // wait-slave holds rb back until our side has opened the terminal; pty-interval is how often socat looks.
    // -s keeps socat relaying when rb exits with an error, or rb's cancel bytes could be left unsent.
    m_socat.start(QStringLiteral("socat"),
        { QStringLiteral("-s"),
            QStringLiteral("PTY,link=%1,raw,echo=0,wait-slave,pty-interval=0.02").arg(portPath()),
            QStringLiteral("EXEC:/bin/sh %1").arg(controlPath("launch.sh")) });

    deadline.start(timeoutMs);
    while (!QFileInfo::exists(portPath()) && m_socat.state() != QProcess::NotRunning && deadline.isActive())
        loop.exec();

    if (!QFileInfo::exists(portPath())) {
        m_error = QStringLiteral("socat made no pseudo-terminal at %1 (%2): %3")
                      .arg(portPath(), m_socat.errorString(), QString::fromLocal8Bit(diagnostics()));
        return false;
    }
    return true;
}

void RbReceiver::release()
{
    if (m_releaseFd >= 0)
        return;
    // Opened for reading and writing, so the open does not wait for the launcher; held until the end so
    // that the line stays in the fifo until the launcher reads it.
    m_releaseFd = ::open(QFile::encodeName(controlPath("go")), O_RDWR | O_CLOEXEC);
    if (m_releaseFd >= 0 && ::write(m_releaseFd, "\n", 1) != 1)
        m_error = QStringLiteral("cannot release rb");
}

bool RbReceiver::interrupt()
{
    QFile pidFile(controlPath("rb.pid"));
    if (m_socat.state() == QProcess::NotRunning || !pidFile.open(QIODevice::ReadOnly))
        return false;
    bool ok = false;
    const pid_t pid = pidFile.readAll().trimmed().toInt(&ok);
    return ok && pid > 0 && ::kill(pid, SIGINT) == 0;
}

bool RbReceiver::waitForFinished(int timeoutMs)
{
    return m_socat.state() == QProcess::NotRunning || m_socat.waitForFinished(timeoutMs);
}

QByteArray RbReceiver::diagnostics() const
{
    QFile file(controlPath("diagnostics.txt"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
