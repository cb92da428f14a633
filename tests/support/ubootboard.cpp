#include "ubootboard.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
const char QEMU[] = "qemu-system-arm";
const char UBOOT_IMAGE[] = "/usr/lib/u-boot/qemu_arm/u-boot.bin";
// Stops the countdown like any key; at the prompt it only prints a fresh one.
const char CTRL_C = '\x03';
// A prompt printed while the port was released never comes: after this much quiet, ask for a fresh one.
const int QUIET_MS = 500;
} // namespace

QString UBootBoard::unavailableReason()
{
    if (QStandardPaths::findExecutable(QLatin1String(QEMU)).isEmpty())
        return QStringLiteral("not installed: qemu-system-arm");
    if (!QFileInfo(QLatin1String(UBOOT_IMAGE)).isReadable())
        return QStringLiteral("not installed: u-boot-qemu (no %1)").arg(QLatin1String(UBOOT_IMAGE));
    return {};
}

UBootBoard::~UBootBoard()
{
    releasePort();
    m_qemu.kill();
    m_qemu.waitForFinished(5000);
}

bool UBootBoard::start(int timeoutMs)
{
    if (!unavailableReason().isEmpty())
        return fail(unavailableReason());
    m_qemu.setProcessChannelMode(QProcess::MergedChannels);
    m_qemu.setStandardInputFile(QProcess::nullDevice());
    m_qemu.start(QLatin1String(QEMU),
        QStringLiteral(
            "-M virt -m 64M -nodefaults -nographic -display none -monitor none -nic none -no-reboot "
            "-serial pty -bios")
                .split(QLatin1Char(' '))
            << QLatin1String(UBOOT_IMAGE));
    const QDeadlineTimer deadline(timeoutMs);
    const QRegularExpression announcement(QStringLiteral("char device redirected to (\\S+)"));
    while (!announcement.match(QString::fromLocal8Bit(m_qemuOutput)).hasMatch()) {
        if (m_qemu.state() == QProcess::NotRunning || deadline.hasExpired())
            return fail(QStringLiteral("QEMU announced no pseudo-terminal"));
        m_qemu.waitForReadyRead(int(deadline.remainingTime()));
        m_qemuOutput += m_qemu.readAll();
    }
    m_portPath = announcement.match(QString::fromLocal8Bit(m_qemuOutput)).captured(1);
    return waitForPrompt(int(deadline.remainingTime()));
}

bool UBootBoard::waitForPrompt(int timeoutMs)
{
    if (m_fd < 0)
        m_fd = ::open(QFile::encodeName(m_portPath), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings {};
    // Raw, above all without echo, whatever the last reader left.
    if (m_fd < 0 || ::tcgetattr(m_fd, &settings) != 0)
        return fail(
            QStringLiteral("cannot open %1: %2").arg(m_portPath, QString::fromLocal8Bit(strerror(errno))));
    cfmakeraw(&settings);
    ::tcsetattr(m_fd, TCSANOW, &settings);
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray received;
    while (!received.endsWith("\n=> ")) {
        pollfd p { m_fd, POLLIN, 0 };
        const bool quiet = ::poll(&p, 1, qMin(QUIET_MS, int(deadline.remainingTime()))) <= 0;
        char chunk[4096];
        const ssize_t n = quiet ? 0 : ::read(m_fd, chunk, sizeof chunk);
        if (n > 0) {
            received.append(chunk, int(n));
            m_transcript.append(chunk, int(n));
        }
        if (deadline.hasExpired() || (!quiet && n <= 0 && errno != EAGAIN && errno != EINTR))
            return fail(QStringLiteral("no U-Boot prompt"));
        if ((quiet || received.contains("stop autoboot")) && ::write(m_fd, &CTRL_C, 1) != 1)
            return fail(QStringLiteral("the board took no input"));
        if (received.contains("stop autoboot"))
            received.clear();
    }
    return true;
}

void UBootBoard::releasePort()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

QByteArray UBootBoard::diagnostics()
{
    m_qemuOutput += m_qemu.readAll();
    return "QEMU: " + m_qemuOutput.trimmed() + "\nboard: " + m_transcript.right(1000);
}

bool UBootBoard::fail(const QString &what)
{
    m_error = what + QStringLiteral("; last printed: ") + QString::fromLatin1(m_transcript.right(300));
    return false;
}
