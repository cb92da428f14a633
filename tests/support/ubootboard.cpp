#include "ubootboard.h"

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

const char *const QEMU = "qemu-system-arm";
const char *const UBOOT_IMAGE = "/usr/lib/u-boot/qemu_arm/u-boot.bin";
// Ctrl-C: stops the autoboot countdown like any key, and at the prompt only prints a fresh one.
const char CTRL_C = '\x03';
// How long the board may stay quiet before waitForPrompt() asks for a prompt: U-Boot prints its boot
// lines without pauses, and a prompt printed while the port was released never comes.
const int QUIET_MS = 500;

QByteArray printable(const QByteArray &bytes)
{
    QByteArray text;
    for (const char c : bytes) {
        if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else if (quint8(c) < 0x20 || quint8(c) >= 0x7f)
            text += "\\x" + QByteArray::number(quint8(c), 16).rightJustified(2, '0');
        else
            text += c;
    }
    return text;
}

} // namespace

QString UBootBoard::unavailableReason()
{
    if (QStandardPaths::findExecutable(QLatin1String(QEMU)).isEmpty())
        return QStringLiteral("%1 is not installed (Debian package qemu-system-arm)")
            .arg(QLatin1String(QEMU));
    if (!QFileInfo(QLatin1String(UBOOT_IMAGE)).isReadable())
        return QStringLiteral("no U-Boot image at %1 (Debian package u-boot-qemu)")
            .arg(QLatin1String(UBOOT_IMAGE));
    return {};
}

UBootBoard::UBootBoard() = default;

UBootBoard::~UBootBoard()
{
    releasePort();
    if (m_qemu.state() != QProcess::NotRunning) {
        m_qemu.kill();
        m_qemu.waitForFinished(5000);
    }
}

bool UBootBoard::start(int timeoutMs)
{
    const QString why = unavailableReason();
    if (!why.isEmpty())
        return fail(why);

    // Nothing but the board and its console: no network, disks, monitor or display to wait for.
    m_qemu.setProcessChannelMode(QProcess::MergedChannels);
    m_qemu.setStandardInputFile(QProcess::nullDevice());
    m_qemu.start(QLatin1String(QEMU),
        { QStringLiteral("-M"), QStringLiteral("virt"), QStringLiteral("-m"), QStringLiteral("64M"),
            QStringLiteral("-nodefaults"), QStringLiteral("-nographic"), QStringLiteral("-display"),
            QStringLiteral("none"), QStringLiteral("-monitor"), QStringLiteral("none"),
            QStringLiteral("-nic"), QStringLiteral("none"), QStringLiteral("-no-reboot"),
            QStringLiteral("-bios"), QLatin1String(UBOOT_IMAGE), QStringLiteral("-serial"),
            QStringLiteral("pty") });

    const QDeadlineTimer deadline(timeoutMs);
    const QRegularExpression announcement(QStringLiteral("char device redirected to (\\S+)"));
    for (;;) {
        m_qemuOutput += m_qemu.readAll();
        const QRegularExpressionMatch match = announcement.match(QString::fromLocal8Bit(m_qemuOutput));
        if (match.hasMatch()) {
            m_portPath = match.captured(1);
            break;
        }
        if (m_qemu.state() == QProcess::NotRunning || deadline.hasExpired())
            return fail(QStringLiteral("QEMU announced no pseudo-terminal (%1): %2")
                            .arg(m_qemu.errorString(), QString::fromLocal8Bit(m_qemuOutput)));
        m_qemu.waitForReadyRead(int(deadline.remainingTime()));
    }
    return reclaimPort();
}

bool UBootBoard::waitForPrompt(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    if (!reclaimPort())
        return false;
    while (!m_received.endsWith(PROMPT)) {
        const QByteArray countdown("stop autoboot");
        const int at = m_received.indexOf(countdown);
        if (at >= 0) {
            m_received.remove(0, at + countdown.size());
            if (!type(QByteArray(1, CTRL_C), deadline))
                return false;
        }
        if (deadline.hasExpired())
            return fail(QStringLiteral("no U-Boot prompt"));
        if (!readSome(qMin(QUIET_MS, int(deadline.remainingTime())))) {
            if (m_portFailed)
                return fail(QStringLiteral("the console failed while waiting for the prompt"));
            if (!type(QByteArray(1, CTRL_C), deadline))
                return false;
        }
    }
    m_received.clear();
    return true;
}

bool UBootBoard::command(const QByteArray &line, const QByteArray &expect, int timeoutMs, QByteArray *output)
{
    if (m_fd < 0)
        return fail(QStringLiteral("the console is released"));
    const QDeadlineTimer deadline(timeoutMs);
    // What came before belongs to earlier commands; the echo marks where this one's output starts.
    m_received.clear();
    QByteArray printed;
    if (!type(line + '\r', deadline) || !readUntil(line + "\r\n", deadline)
        || !readUntil(expect, deadline, &printed))
        return false;
    if (output)
        *output = printed + expect;
    return true;
}

void UBootBoard::releasePort()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_received.clear();
}

bool UBootBoard::reclaimPort()
{
    if (m_fd >= 0)
        return true;
    m_fd = ::open(QFile::encodeName(m_portPath), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return fail(
            QStringLiteral("cannot open %1: %2").arg(m_portPath, QString::fromLocal8Bit(strerror(errno))));
    // Raw, above all without echo: the terminal would otherwise type everything the board prints back
    // into it. The last reader may have left other settings behind.
    termios settings {};
    if (::tcgetattr(m_fd, &settings) == 0) {
        cfmakeraw(&settings);
        ::tcsetattr(m_fd, TCSANOW, &settings);
    }
    m_portFailed = false;
    m_received.clear();
    return true;
}

bool UBootBoard::startLoady(const QByteArray &address, int timeoutMs)
{
    return startLoad("loady", address, timeoutMs);
}

bool UBootBoard::startLoadx(const QByteArray &address, int timeoutMs)
{
    return startLoad("loadx", address, timeoutMs);
}

bool UBootBoard::startLoad(const QByteArray &command, const QByteArray &address, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    // The first 'C' follows the line at once; taken here, it cannot reach the sender on some runs and not
    // on others, so the sender always waits for the next.
    if (!this->command(command + ' ' + address, "Ready for binary", timeoutMs) || !readUntil("\nC", deadline))
        return false;
    releasePort();
    return true;
}

bool UBootBoard::crc32(const QByteArray &address, qint64 size, QByteArray *crc, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray printed;
    if (!waitForPrompt(timeoutMs)
        || !command("crc32 " + address + ' ' + QByteArray::number(size, 16), PROMPT,
            int(deadline.remainingTime()), &printed))
        return false;
    static const QRegularExpression result(QStringLiteral("==> ([0-9a-f]{8})"));
    const QRegularExpressionMatch match = result.match(QString::fromLatin1(printed));
    if (!match.hasMatch())
        return fail(QStringLiteral("crc32 printed no checksum: ") + QString::fromLatin1(printable(printed)));
    *crc = match.captured(1).toLatin1();
    return true;
}

QByteArray UBootBoard::diagnostics()
{
    m_qemuOutput += m_qemu.readAll();
    QByteArray text = "QEMU: " + m_qemuOutput.trimmed();
    if (m_qemu.state() == QProcess::NotRunning)
        text += " (not running, exit code " + QByteArray::number(m_qemu.exitCode()) + ')';
    return text + "\nboard: " + printable(m_transcript.right(1000));
}

bool UBootBoard::readSome(int waitMs)
{
    if (m_fd < 0)
        return false;
    pollfd p { m_fd, POLLIN, 0 };
    int rc;
    do {
        rc = ::poll(&p, 1, qMax(0, waitMs));
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0)
        return false;
    bool arrived = false;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(m_fd, chunk, sizeof chunk)) > 0) {
        m_received.append(chunk, int(n));
        m_transcript.append(chunk, int(n));
        arrived = true;
    }
    // EIO, or a hang-up with nothing left to read: QEMU has closed its side.
    if (!arrived && (n == 0 || (errno != EAGAIN && errno != EINTR) || (p.revents & (POLLHUP | POLLERR))))
        m_portFailed = true;
    return arrived;
}

bool UBootBoard::readUntil(const QByteArray &pattern, const QDeadlineTimer &deadline, QByteArray *before)
{
    for (;;) {
        const int at = m_received.indexOf(pattern);
        if (at >= 0) {
            if (before)
                *before = m_received.left(at);
            m_received.remove(0, at + pattern.size());
            return true;
        }
        if (deadline.hasExpired() || m_portFailed)
            return fail(
                QStringLiteral("U-Boot did not print \"%1\"").arg(QString::fromLatin1(printable(pattern))));
        readSome(int(deadline.remainingTime()));
    }
}

bool UBootBoard::type(const QByteArray &bytes, const QDeadlineTimer &deadline)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return fail(QStringLiteral("cannot write to %1: %2")
                            .arg(m_portPath, QString::fromLocal8Bit(strerror(errno))));
        pollfd p { m_fd, POLLOUT, 0 };
        if (deadline.hasExpired() || ::poll(&p, 1, int(deadline.remainingTime())) < 0)
            return fail(QStringLiteral("the board took no input"));
    }
    return true;
}

bool UBootBoard::fail(const QString &what)
{
    m_error
        = what + QStringLiteral("; last printed: ") + QString::fromLatin1(printable(m_transcript.right(300)));
    return false;
}
