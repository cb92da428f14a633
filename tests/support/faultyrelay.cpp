#include "faultyrelay.h"

#include "ymodem.h"

#include <QFile>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

QVector<FaultyRelay::Fault> FaultyRelay::plan(quint32 seed, qint64 toReceiver, qint64 toSender)
{
    QRandomGenerator random(seed);
    QVector<Fault> faults(1 + int(random.bounded(3)));
    for (Fault &fault : faults) {
        fault.direction = random.bounded(5) < 3 ? ToReceiver : ToSender;
        fault.kind = Kind(random.bounded(3));
        // The receiver's last reply stays whole: with the receiver gone, nothing could answer a resend.
        fault.offset = random.bounded(int(fault.direction == ToReceiver ? toReceiver : toSender - 1));
        fault.mask = quint8(1 + random.bounded(255));
    }
    return faults;
}

FaultyRelay::~FaultyRelay()
{
    delete m_notifier[ToReceiver];
    delete m_notifier[ToSender];
    for (const int fd : { m_fd[ToReceiver], m_senderSlave })
        if (fd >= 0)
            ::close(fd);
}

bool FaultyRelay::open(const QString &receiverPort)
{
    // Held, so that the sender's side reads as quiet rather than hung up until the sender opens it.
    m_senderSlave = ::open(QFile::encodeName(senderPort()), O_RDWR | O_NOCTTY | O_CLOEXEC);
    m_fd[ToSender] = m_senderPty.masterFd();
    m_fd[ToReceiver] = ::open(QFile::encodeName(receiverPort), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings {};
    if (m_senderSlave < 0 || m_fd[ToReceiver] < 0 || ::tcgetattr(m_fd[ToReceiver], &settings) != 0) {
        m_error = QStringLiteral("cannot open %1 or %2").arg(receiverPort, senderPort());
        return false;
    }
    cfmakeraw(&settings);
    ::tcsetattr(m_fd[ToReceiver], TCSANOW, &settings);
    for (const Direction direction : { ToReceiver, ToSender }) {
        m_notifier[direction] = new QSocketNotifier(m_fd[1 - direction], QSocketNotifier::Read);
        connect(m_notifier[direction], &QSocketNotifier::activated, this, [=] { relay(direction); });
    }
    return true;
}

void FaultyRelay::relay(Direction direction)
{
    char chunk[4096];
    const ssize_t n = ::read(m_fd[1 - direction], chunk, sizeof chunk);
    // The receiver hung up for good; EAGAIN and EINTR come again.
    m_notifier[direction]->setEnabled(n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)));
    QByteArray out;
    for (ssize_t i = 0; i < n; ++i) {
        const qint64 offset = m_offset[direction]++;
        const auto byte = quint8(chunk[i]);
        const auto fault = std::find_if(m_faults.cbegin(), m_faults.cend(),
            [&](const Fault &f) { return f.direction == direction && f.offset == offset; });
        quint8 mask = fault == m_faults.cend() ? 0 : fault->mask;
        // A reply has no check of its own: NAK spoilt into ACK would be a forged answer, not noise.
        for (const char code : { YMODEM_CODE_ACK, YMODEM_CODE_NAK, YMODEM_CODE_C, YMODEM_CODE_CAN })
            mask += direction == ToSender && mask != 0 && (byte ^ mask) == quint8(code) ? 1 : 0;
        const Kind kind = fault == m_faults.cend() ? Corrupt : fault->kind;
        out += QByteArray(kind == Drop ? 0
                : kind == Duplicate    ? 2
                                       : 1,
            char(byte ^ (kind == Corrupt ? mask : 0)));
        if (fault != m_faults.cend())
            m_log << QStringLiteral("%1 @%2 kind %3: 0x%4 -> %5")
                         .arg(direction == ToReceiver ? "to receiver" : "to sender")
                         .arg(offset)
                         .arg(kind)
                         .arg(byte, 2, 16, QLatin1Char('0'))
                         .arg(QString::fromLatin1(out.right(kind == Drop         ? 0
                                                             : kind == Duplicate ? 2
                                                                                 : 1)
                                                      .toHex()));
    }
    pollfd p { m_fd[direction], POLLOUT, 0 };
    for (qsizetype done = 0; done < out.size();) {
        const ssize_t written = ::write(m_fd[direction], out.constData() + done, size_t(out.size() - done));
        done += qMax<ssize_t>(written, 0);
        // The far side is gone, as a device switched off: the bytes are lost.
        if (written < 0 && ((errno != EAGAIN && errno != EINTR) || ::poll(&p, 1, 5000) <= 0))
            break;
    }
}
