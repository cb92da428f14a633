#include "faultyrelay.h"

#include "ymodem.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char *const KIND_NAMES[] = { "corrupt", "drop", "duplicate", "delay" };

// A receiver's reply is a single byte with no check of its own: flipping NAK into ACK would be a forged
// answer that no sender can tell from a real one, not noise on the line. Corrupted replies avoid these.
bool isReplyCode(unsigned char byte)
{
    return byte == YMODEM_CODE_ACK || byte == YMODEM_CODE_NAK || byte == YMODEM_CODE_C
        || byte == YMODEM_CODE_CAN;
}

QString directionName(FaultyRelay::Direction direction)
{
    return direction == FaultyRelay::ToReceiver ? QStringLiteral("to receiver") : QStringLiteral("to sender");
}

QString hexByte(unsigned char byte)
{
    return QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0'));
}

} // namespace

// One direction of the relay: reads its source, applies the faults planned for it and writes the rest on,
// in order, holding everything back while a delay runs.
class FaultyRelay::Stream
{
public:
    Stream(FaultyRelay *relay, Direction direction, int in, int out, QVector<Fault> faults)
        : m_relay(relay)
        , m_direction(direction)
        , m_in(in)
        , m_out(out)
        , m_reader(in, QSocketNotifier::Read)
        , m_writer(out, QSocketNotifier::Write)
        , m_faults(std::move(faults))
    {
        m_reader.setEnabled(false);
        m_writer.setEnabled(false);
        // A precise timer: a coarse one may fire early, and a delay must last at least as long as planned.
        m_hold.setTimerType(Qt::PreciseTimer);
        m_hold.setSingleShot(true);
        QObject::connect(&m_reader, &QSocketNotifier::activated, relay, [this] { readSource(); });
        QObject::connect(&m_writer, &QSocketNotifier::activated, relay, [this] { flush(); });
        QObject::connect(&m_hold, &QTimer::timeout, relay, [this] { flush(); });
    }

    void start() { m_reader.setEnabled(true); }
    qint64 bytesRead() const { return m_offset; }
    bool isClosed() const { return m_closed; }

private:
    void readSource()
    {
        char chunk[4096];
        const ssize_t n = ::read(m_in, chunk, sizeof chunk);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            // End of file or EIO: the source has hung up and nothing more will come from it.
            m_reader.setEnabled(false);
            m_closed = true;
            if (m_direction == ToReceiver)
                emit m_relay->sigSenderClosed();
            else
                emit m_relay->sigReceiverClosed();
            return;
        }
        for (ssize_t i = 0; i < n; ++i)
            take(static_cast<unsigned char>(chunk[i]));
        flush();
    }

    void take(unsigned char byte)
    {
        const qint64 offset = m_offset++;
        if (m_next == m_faults.size() || m_faults.at(m_next).offset != offset) {
            m_pending.append(char(byte));
            return;
        }
        const Fault &fault = m_faults.at(m_next++);
        const QString where = QStringLiteral("%1 @%2: ").arg(directionName(m_direction)).arg(offset);
        switch (fault.kind) {
        case Corrupt: {
            const unsigned char spoiled = corrupted(byte, fault.value);
            m_relay->noteFault(
                where + QStringLiteral("corrupt %1 -> %2").arg(hexByte(byte), hexByte(spoiled)));
            m_pending.append(char(spoiled));
            break;
        }
        case Drop:
            m_relay->noteFault(where + QStringLiteral("drop %1").arg(hexByte(byte)));
            break;
        case Duplicate:
            m_relay->noteFault(where + QStringLiteral("duplicate %1").arg(hexByte(byte)));
            m_pending.append(2, char(byte));
            break;
        case Delay:
            m_relay->noteFault(
                where + QStringLiteral("delay %1 by %2 ms").arg(hexByte(byte)).arg(fault.value));
            // The byte and everything after it wait; what came before may still go.
            flush();
            if (!m_hold.isActive() || m_hold.remainingTime() < fault.value)
                m_hold.start(fault.value);
            m_pending.append(char(byte));
            break;
        }
    }

    unsigned char corrupted(unsigned char byte, int mask) const
    {
        auto bits = static_cast<unsigned char>(mask);
        while (bits == 0 || (m_direction == ToSender && isReplyCode(byte ^ bits)))
            ++bits;
        return byte ^ bits;
    }

    void flush()
    {
        m_writer.setEnabled(false);
        if (m_hold.isActive())
            return;
        while (!m_pending.isEmpty()) {
            const ssize_t n = ::write(m_out, m_pending.constData(), size_t(m_pending.size()));
            if (n > 0) {
                m_pending.remove(0, int(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                m_writer.setEnabled(true);
                return;
            } else {
                // The far side is gone, as on a line whose device was switched off.
                m_relay->note(QStringLiteral("%1: %2 bytes lost, the far side is closed")
                                  .arg(directionName(m_direction))
                                  .arg(m_pending.size()));
                m_pending.clear();
            }
        }
    }

    FaultyRelay *m_relay;
    const Direction m_direction;
    const int m_in;
    const int m_out;
    QSocketNotifier m_reader;
    QSocketNotifier m_writer;
    QTimer m_hold;
    const QVector<Fault> m_faults;
    int m_next = 0;
    qint64 m_offset = 0;
    QByteArray m_pending;
    bool m_closed = false;
};

QVector<FaultyRelay::Fault> FaultyRelay::plan(quint32 seed, const Lengths &lengths, int maxFaults)
{
    QRandomGenerator random(seed);
    const int count = 1 + int(random.bounded(quint32(qMax(1, maxFaults))));
    QVector<Fault> faults;
    while (faults.size() < count) {
        Fault fault;
        // Three in five faults hit the packets, which are most of the bytes on the line.
        fault.direction = random.bounded(5) < 3 ? ToReceiver : ToSender;
        const qint64 length = fault.direction == ToReceiver ? lengths.toReceiver : lengths.toSender;
        if (length < 2)
            continue;
        fault.kind = Kind(random.bounded(4));
        // A spoilt reply is noise to the sender, as good as lost.
        const bool lastReply = fault.direction == ToSender && (fault.kind == Drop || fault.kind == Corrupt);
        fault.offset = random.bounded(int(lastReply ? length - 1 : length));
        if (fault.kind == Corrupt)
            fault.value = 1 + random.bounded(255);
        else if (fault.kind == Delay)
            fault.value = 50 + random.bounded(MAX_DELAY_MS - 50 + 1);
        const bool taken = std::any_of(faults.cbegin(), faults.cend(), [&](const Fault &other) {
            return other.direction == fault.direction && other.offset == fault.offset;
        });
        if (!taken)
            faults << fault;
    }
    std::sort(faults.begin(), faults.end(), [](const Fault &a, const Fault &b) {
        return a.direction != b.direction ? a.direction < b.direction : a.offset < b.offset;
    });
    return faults;
}

QString FaultyRelay::describe(const Fault &fault)
{
    QString text = QStringLiteral("%1 @%2: %3")
                       .arg(directionName(fault.direction))
                       .arg(fault.offset)
                       .arg(QLatin1String(KIND_NAMES[fault.kind]));
    if (fault.kind == Corrupt)
        text += QStringLiteral(" ^%1").arg(hexByte(static_cast<unsigned char>(fault.value)));
    else if (fault.kind == Delay)
        text += QStringLiteral(" %1 ms").arg(fault.value);
    return text;
}

QString FaultyRelay::describe(const QVector<Fault> &faults)
{
    QStringList parts;
    for (const Fault &fault : faults)
        parts << describe(fault);
    return parts.join(QStringLiteral("; "));
}

FaultyRelay::FaultyRelay(const QVector<Fault> &faults, QObject *parent) : QObject(parent), m_faults(faults)
{ }

FaultyRelay::~FaultyRelay()
{
    // The streams' notifiers must go before the descriptor they watch.
    m_toReceiver.reset();
    m_toSender.reset();
    if (m_receiverFd >= 0)
        ::close(m_receiverFd);
}

bool FaultyRelay::open(const QString &receiverPort)
{
    if (!m_senderPty.isValid()) {
        m_error = m_senderPty.errorString();
        return false;
    }
    m_receiverFd = ::open(QFile::encodeName(receiverPort), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings {};
    const bool opened = m_receiverFd >= 0 && ::tcgetattr(m_receiverFd, &settings) == 0;
    if (opened)
        cfmakeraw(&settings);
    if (!opened || ::tcsetattr(m_receiverFd, TCSANOW, &settings) != 0) {
        m_error
            = QStringLiteral("cannot open %1: %2").arg(receiverPort, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }

    QVector<Fault> toReceiver;
    QVector<Fault> toSender;
    for (const Fault &fault : qAsConst(m_faults))
        (fault.direction == ToReceiver ? toReceiver : toSender) << fault;
    m_toReceiver.reset(new Stream(this, ToReceiver, m_senderPty.masterFd(), m_receiverFd, toReceiver));
    m_toSender.reset(new Stream(this, ToSender, m_receiverFd, m_senderPty.masterFd(), toSender));
    return true;
}

void FaultyRelay::start()
{
    m_clock.start();
    if (m_toReceiver)
        m_toReceiver->start();
    if (m_toSender)
        m_toSender->start();
}

qint64 FaultyRelay::bytesRead(Direction direction) const
{
    const Stream *stream = direction == ToReceiver ? m_toReceiver.get() : m_toSender.get();
    return stream ? stream->bytesRead() : 0;
}

bool FaultyRelay::isReceiverClosed() const
{
    return m_toSender && m_toSender->isClosed();
}

void FaultyRelay::note(const QString &text)
{
    m_log << QStringLiteral("+%1 ms %2").arg(m_clock.isValid() ? m_clock.elapsed() : 0).arg(text);
}

void FaultyRelay::noteFault(const QString &text)
{
    ++m_faultsApplied;
    note(text);
}
