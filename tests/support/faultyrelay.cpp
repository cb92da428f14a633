#include "faultyrelay.h"

#include "ymodem.h"

#include <QFile>
#include <QRandomGenerator>
#include <algorithm>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
// A reply byte has no check of its own: NAK spoilt into ACK would be a forged answer, not noise on a line.
bool isReplyCode(quint8 byte)
{
    return byte == YMODEM_CODE_ACK || byte == YMODEM_CODE_NAK || byte == YMODEM_CODE_C
        || byte == YMODEM_CODE_CAN;
}

void writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        pollfd p { fd, POLLOUT, 0 };
        if (n > 0)
            done += n;
        else if ((n < 0 && errno != EAGAIN && errno != EINTR) || ::poll(&p, 1, 5000) <= 0)
            return; // the far side is gone, as a device switched off
    }
}
} // namespace

QVector<FaultyRelay::Fault> FaultyRelay::plan(quint32 seed, qint64 toReceiver, qint64 toSender)
{
    QRandomGenerator random(seed);
    QVector<Fault> faults(1 + int(random.bounded(3)));
    for (Fault &fault : faults) {
        fault.direction = random.bounded(5) < 3 ? ToReceiver : ToSender;
        fault.kind = Kind(random.bounded(3));
        // The receiver's last reply stays whole: with the receiver gone, nothing could answer a resend.
        const qint64 length = fault.direction == ToReceiver ? toReceiver : toSender - 1;
        fault.offset = random.bounded(int(qMax<qint64>(1, length)));
        fault.mask = quint8(1 + random.bounded(255));
    }
    return faults;
}

FaultyRelay::FaultyRelay(const QVector<Fault> &faults) : m_faults(faults)
{ }

FaultyRelay::~FaultyRelay()
{
    for (int i : { 0, 1 }) {
        delete m_notifier[i];
        if (i == ToReceiver && m_fd[i] >= 0)
            ::close(m_fd[i]);
    }
    if (m_senderSlave >= 0)
        ::close(m_senderSlave);
}

bool FaultyRelay::open(const QString &receiverPort)
{
    // Held, so that the sender's side reads as quiet rather than hung up until the sender opens it.
    m_senderSlave = ::open(QFile::encodeName(senderPort()), O_RDWR | O_NOCTTY | O_CLOEXEC);
    m_fd[ToSender] = m_senderPty.masterFd();
    m_fd[ToReceiver] = ::open(QFile::encodeName(receiverPort), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings {};
    if (m_senderSlave < 0 || m_fd[ToReceiver] < 0 || ::tcgetattr(m_fd[ToReceiver], &settings) != 0) {
        m_error = QStringLiteral("cannot open %1: %2")
                      .arg(m_senderPty.isValid() ? receiverPort : m_senderPty.errorString(),
                          QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    cfmakeraw(&settings);
    ::tcsetattr(m_fd[ToReceiver], TCSANOW, &settings);
    for (const Direction direction : { ToReceiver, ToSender }) {
        // Each direction reads from the other's descriptor.
        m_notifier[direction] = new QSocketNotifier(m_fd[1 - direction], QSocketNotifier::Read);
        connect(m_notifier[direction], &QSocketNotifier::activated, this,
            [this, direction] { relay(direction); });
    }
    return true;
}

void FaultyRelay::relay(Direction direction)
{
    char chunk[4096];
    const ssize_t n = ::read(m_fd[1 - direction], chunk, sizeof chunk);
    if (n <= 0) {
        // The receiver hung up for good; EAGAIN and EINTR come again.
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            m_notifier[direction]->setEnabled(false);
        return;
    }
    QByteArray out;
    for (ssize_t i = 0; i < n; ++i) {
        const qint64 offset = m_offset[direction]++;
        const auto byte = quint8(chunk[i]);
        auto fault = std::find_if(m_faults.cbegin(), m_faults.cend(),
            [&](const Fault &f) { return f.direction == direction && f.offset == offset; });
        if (fault == m_faults.cend()) {
            out += char(byte);
            continue;
        }
        quint8 mask = fault->mask;
        while (mask == 0 || (direction == ToSender && isReplyCode(byte ^ mask)))
            ++mask;
        const QByteArray spoilt[]
            = { QByteArray(1, char(byte ^ mask)), QByteArray(), QByteArray(2, char(byte)) };
        out += spoilt[fault->kind];
        m_log << QStringLiteral("%1 %2 @%3: 0x%4 -> %5")
                     .arg(QLatin1String(direction == ToReceiver ? "to receiver" : "to sender"))
                     .arg(QLatin1String(fault->kind == Corrupt ? "corrupt"
                             : fault->kind == Drop             ? "drop"
                                                               : "double"))
                     .arg(offset)
                     .arg(byte, 2, 16, QLatin1Char('0'))
                     .arg(QString::fromLatin1(spoilt[fault->kind].toHex()));
    }
    writeAll(m_fd[direction], out);
}
