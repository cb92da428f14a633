#include "faultyrelay.h"

#include "ymodem.h"

#include <QFile>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
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
        m_notifier[direction].reset(new QSocketNotifier(m_fd[1 - direction], QSocketNotifier::Read));
        connect(m_notifier[direction].get(), &QSocketNotifier::activated, this, [=] { relay(direction); });
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
        const int count[] = { 1, 0, 2 }; // Corrupt, Drop, Duplicate
        const QByteArray copies(count[kind], char(byte ^ (kind == Corrupt ? mask : 0)));
        out += copies;
        if (fault != m_faults.cend())
            m_log << QString::asprintf("%s @%lld kind %d: 0x%02x -> %s",
                direction == ToReceiver ? "to receiver" : "to sender", offset, int(kind), byte,
                copies.toHex().constData());
    }
    writeAll(m_fd[direction], out, 5000); // Lost if the far side is gone, as a device switched off.
}
