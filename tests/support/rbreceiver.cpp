#include "rbreceiver.h"

#include "testdata.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

RbReceiver::RbReceiver(const QString &command, QObject *parent)
    : QObject(parent), m_command(command), m_dir(QDir::tempPath() + QLatin1String("/kelpo-rb-XXXXXX"))
{ }

RbReceiver::~RbReceiver()
{
    // socat passes the signal on to rb, or to the launcher still parked before it.
    m_socat.terminate();
    if (!m_socat.waitForFinished(5000))
        m_socat.kill();
    m_socat.waitForFinished();
    if (m_releaseFd >= 0)
        ::close(m_releaseFd);
}

bool RbReceiver::start(int timeoutMs)
{
    if (!m_dir.isValid() || !QDir(m_dir.path()).mkdir(QStringLiteral("rx"))
        || ::mkfifo(QFile::encodeName(m_dir.filePath(QStringLiteral("go"))), 0600) != 0) {
        m_error = QStringLiteral("cannot prepare the receiver's folder ") + m_dir.path();
        return false;
    }
    // The launcher notes its process id (rb keeps it through exec) and waits on the fifo for release().
    writeFile(m_dir.filePath(QStringLiteral("banner")), m_banner);
    writeFile(m_dir.filePath(QStringLiteral("launch.sh")),
        QStringLiteral("echo $$ > rb.pid\nread go < go\ncat banner\ncd rx && exec %1\n")
            .arg(m_command)
            .toLocal8Bit());
    m_socat.setWorkingDirectory(m_dir.path());
    m_socat.setStandardOutputFile(QProcess::nullDevice());
    // A file, not a pipe: nobody has to read rb's chatter for the transfer to go on.
    m_socat.setStandardErrorFile(m_dir.filePath(QStringLiteral("diagnostics.txt")));
    // wait-slave holds rb back until our side has opened the terminal; -s keeps socat relaying when rb exits
    // with an error, or rb's cancel bytes could be left unsent.
    m_socat.start(QStringLiteral("socat"),
        { QStringLiteral("-s"),
            QStringLiteral("PTY,link=%1,raw,echo=0,wait-slave,pty-interval=0.02").arg(portPath()),
            QStringLiteral("EXEC:/bin/sh launch.sh") });
    const QDeadlineTimer deadline(timeoutMs);
    m_socat.waitForStarted(timeoutMs);
    while (!QFile::exists(portPath()) && !deadline.hasExpired() && m_socat.state() == QProcess::Running
        && !m_socat.waitForFinished(20)) { }
    if (QFile::exists(portPath()))
        return true;
    m_error = QStringLiteral("socat made no pseudo-terminal at %1 (%2): %3")
                  .arg(portPath(), m_socat.errorString(), QString::fromLocal8Bit(diagnostics()));
    return false;
}

void RbReceiver::release()
{
    // Read and write, so that the open does not wait for the launcher; held so the line stays in the fifo.
    if (m_releaseFd >= 0)
        return;
    m_releaseFd = ::open(QFile::encodeName(m_dir.filePath(QStringLiteral("go"))), O_RDWR | O_CLOEXEC);
    if (m_releaseFd < 0 || ::write(m_releaseFd, "\n", 1) != 1)
        m_error = QStringLiteral("cannot release rb");
}

bool RbReceiver::interrupt()
{
    const pid_t pid = readFile(m_dir.filePath(QStringLiteral("rb.pid"))).trimmed().toInt();
    return m_socat.state() == QProcess::Running && pid > 0 && ::kill(pid, SIGINT) == 0;
}

bool RbReceiver::waitForFinished(int timeoutMs)
{
    return m_socat.state() == QProcess::NotRunning || m_socat.waitForFinished(timeoutMs);
}

QByteArray RbReceiver::diagnostics() const
{
    return readFile(m_dir.filePath(QStringLiteral("diagnostics.txt")));
}
