#include "ubootboard.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

static const char UBOOT_IMAGE[] = "/usr/lib/u-boot/qemu_arm/u-boot.bin";

QString UBootBoard::unavailableReason()
{
    if (QStandardPaths::findExecutable(QStringLiteral("qemu-system-arm")).isEmpty())
        return QStringLiteral("not installed: qemu-system-arm");
    return QFile::exists(QLatin1String(UBOOT_IMAGE)) ? QString()
                                                     : QStringLiteral("not installed: u-boot-qemu");
}

UBootBoard::~UBootBoard()
{
    releasePort();
    m_qemu.kill();
    m_qemu.waitForFinished(5000);
}

bool UBootBoard::start(int timeoutMs)
{
    m_qemu.setProcessChannelMode(QProcess::MergedChannels);
    m_qemu.start(QStringLiteral("qemu-system-arm"),
        QStringLiteral(
            "-M virt -m 64M -nodefaults -nographic -monitor none -nic none -no-reboot -serial pty -bios")
                .split(QLatin1Char(' '))
            << QLatin1String(UBOOT_IMAGE));
    const QDeadlineTimer deadline(timeoutMs);
    const QRegularExpression announcement(QStringLiteral("char device redirected to (\\S+)"));
    while (m_portPath.isEmpty() && m_qemu.waitForReadyRead(int(deadline.remainingTime())))
        m_portPath = announcement.match(QString::fromLocal8Bit(m_transcript += m_qemu.readAll())).captured(1);
    m_fd = ::open(QFile::encodeName(m_portPath), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings {};
    if (m_fd < 0 || ::tcgetattr(m_fd, &settings) != 0) {
        m_error = QStringLiteral("QEMU gave no console: ") + QString::fromLocal8Bit(m_transcript);
        return false;
    }
    // Without echo, or the terminal would type everything the board prints back into it.
    cfmakeraw(&settings);
    return ::tcsetattr(m_fd, TCSANOW, &settings) == 0;
}

bool UBootBoard::waitForPrompt(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray received;
    char chunk[4096];
    pollfd p { m_fd, POLLIN, 0 };
    while (!received.endsWith("\n=> ")) {
        const ssize_t n
            = ::poll(&p, 1, int(deadline.remainingTime())) > 0 ? ::read(m_fd, chunk, sizeof chunk) : 0;
        if (n <= 0) {
            m_error = QStringLiteral("no U-Boot prompt; last printed: ")
                + QString::fromLatin1(m_transcript.right(300));
            return false;
        }
        received.append(chunk, int(n));
        m_transcript.append(chunk, int(n));
        // Ctrl-C stops the countdown like any key.
        if (received.contains("stop autoboot") && ::write(m_fd, "\x03", 1) == 1)
            received.clear();
    }
    return true;
}

void UBootBoard::releasePort()
{
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

QByteArray UBootBoard::diagnostics()
{
    return "\n--- QEMU and the board: " + (m_transcript += m_qemu.readAll()).right(1500);
}
