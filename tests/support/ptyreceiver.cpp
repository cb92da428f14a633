#include "ptyreceiver.h"

#include "testdata.h"

#include <QList>
#include <chrono>

namespace {
constexpr char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, C = 'C';
// Long enough for any end packet; the session is over when none comes.
constexpr int END_ASKS = 5;
} // namespace

PtyReceiver::PtyReceiver(const ReceiverHabits &habits) : m_habits(habits)
{ }

PtyReceiver::~PtyReceiver()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void PtyReceiver::start()
{
    m_finishedFuture = m_finished.get_future();
    m_thread = std::thread([this] {
        run();
        m_finished.set_value();
    });
}

bool PtyReceiver::wait(int timeoutMs)
{
    // Joining at once would hang a failing test for good.
    if (!m_finishedFuture.valid()
        || m_finishedFuture.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready)
        return false;
    m_thread.join();
    return true;
}

void PtyReceiver::run()
{
    send(m_habits.banner);
    int number = -1;
    QByteArray payload;
    for (int asks = 0;; ++asks) {
        if (m_stop || asks == m_habits.maxAsks || !ask())
            return;
        const Read read = readPacket(m_habits.askIntervalMs, &number, &payload);
        if (read == Cancelled)
            return;
        if (read == Packet && number == 0) {
            if (!takeBlockZero(payload))
                return;
            break;
        }
    }
    while (!m_stop) {
        const Read read = readPacket(m_habits.charTimeoutMs, &number, &payload);
        if (read == Cancelled)
            return;
        if (read == EndOfFile)
            break;
        if (read == Nothing)
            ++m_timeouts;
        if (read == Nothing || read == Broken) {
            if (!fail(read == Nothing ? QStringLiteral("time-out") : QStringLiteral("bad packet")))
                return;
            continue;
        }
        if (number == m_habits.refusePacket && m_refused < m_habits.refuseTimes) {
            ++m_refused;
            send(m_habits.cancelAtRefused ? QByteArray(2, CAN) : QByteArray(1, NAK));
            if (m_habits.cancelAtRefused)
                return;
            continue;
        }
        if (number == (m_expected & 0xFF) && m_naksForThisPacket < m_habits.nakEveryPacket) {
            ++m_naksForThisPacket;
            send(QByteArray(1, NAK));
        } else if (number == (m_expected & 0xFF)) {
            m_data += payload;
            ++m_expected;
            m_errors = 0;
            m_naksForThisPacket = 0;
            answer(ACK, m_habits.cAfterEveryAck);
            if (number == 2)
                send(m_habits.noise);
        } else if (number == ((m_expected - 1) & 0xFF)) {
            ++m_duplicates;
            send(QByteArray(1, m_habits.nakRepeat ? NAK : ACK));
        } else {
            m_log += QStringLiteral("unexpected packet %1\n").arg(number);
            send(QByteArray(1, NAK));
        }
    }
    if (m_stop)
        return;

    switch (m_habits.eot) {
    case ReceiverHabits::NakFirstEot:
        send(QByteArray(1, NAK));
        if (readPacket(m_habits.charTimeoutMs, &number, &payload) != EndOfFile)
            return;
        send(QByteArray(1, ACK));
        break;
    case ReceiverHabits::AckTwiceThenC:
        send(QByteArray(1, ACK));
        break;
    case ReceiverHabits::AckEot:
    case ReceiverHabits::AckThenCLater:
        send(QByteArray(1, ACK));
        break;
    }
    if (!m_habits.textAfterEot.isEmpty()) {
        // An XMODEM receiver: it has the file and goes back to its prompt.
        send(m_habits.textAfterEot);
        m_completed = true;
        return;
    }
    if (m_habits.eot == ReceiverHabits::AckTwiceThenC)
        send(QByteArray(1, ACK) + C);
    else if (m_habits.eot == ReceiverHabits::AckThenCLater)
        pause(m_habits.askIntervalMs);
    for (int asks = 0; asks < END_ASKS && !m_stop; ++asks) {
        if (m_habits.eot != ReceiverHabits::AckTwiceThenC || asks > 0)
            send(QByteArray(1, m_habits.checksum ? NAK : C));
        const Read read = readPacket(m_habits.charTimeoutMs, &number, &payload);
        if (read == Cancelled)
            return;
        if (read == EndOfFile) {
            send(QByteArray(1, ACK));
        } else if (read == Packet && number == 0 && payload.at(0) == 0) {
            send(QByteArray(1, ACK));
            m_completed = true;
            return;
        }
    }
}

bool PtyReceiver::ask()
{
    const char request = m_habits.checksum ? NAK : C;
    if (m_habits.requestGapMs == 0) {
        send(QByteArray(m_habits.requestsPerAsk, request));
        return true;
    }
    for (int i = 0; i < m_habits.requestsPerAsk; ++i) {
        if (i > 0)
            pause(m_habits.requestGapMs);
        send(QByteArray(1, request));
    }
    return true;
}

PtyReceiver::Read PtyReceiver::readPacket(int firstByteTimeoutMs, int *number, QByteArray *payload)
{
    for (;;) {
        const QByteArray head = take(1, firstByteTimeoutMs);
        if (head.isEmpty())
            return Nothing;
        const char code = head.at(0);
        if (code == CAN) {
            ++m_cancelBytes;
            if (take(1, m_habits.charTimeoutMs) != QByteArray(1, CAN))
                return Broken;
            ++m_cancelBytes;
            m_cancelBytes += take(16, 100).count(CAN);
            return Cancelled;
        }
        if (code == EOT)
            return EndOfFile;
        if (code != SOH && code != STX)
            continue;
        const int size = code == STX ? 1024 : 128;
        const int trailer = m_habits.checksum ? 1 : 2;
        QByteArray rest = take(size + 2 + trailer, m_habits.charTimeoutMs);
        if (rest.size() < size + 2 + trailer) {
            m_log += QStringLiteral("short packet: %1 bytes\n").arg(rest.size());
            return Broken;
        }
        const int block = quint8(rest.at(0));
        if (m_habits.damagePacket > 0 && block == m_habits.damagePacket && !m_damaged) {
            m_damaged = true;
            rest[2] = char(rest.at(2) ^ 0x40);
        }
        *payload = rest.mid(2, size);
        bool good = quint8(rest.at(0)) == quint8(~quint8(rest.at(1)));
        if (m_habits.checksum) {
            quint8 sum = 0;
            for (const char ch : qAsConst(*payload))
                sum = quint8(sum + quint8(ch));
            good = good && quint8(rest.at(2 + size)) == sum;
        } else {
            good = good
                && (quint16(quint8(rest.at(2 + size)) << 8 | quint8(rest.at(3 + size))))
                    == referenceCrc(*payload);
        }
        if (!good) {
            m_log += QStringLiteral("damaged packet %1\n").arg(block);
            return Broken;
        }
        *number = block;
        return Packet;
    }
}

bool PtyReceiver::takeBlockZero(const QByteArray &payload)
{
    m_name = QString::fromLocal8Bit(payload.left(payload.indexOf('\0')));
    m_size = payload.mid(payload.indexOf('\0') + 1).split(' ').first().split('\0').first().toLongLong();
    if (m_habits.maxSize >= 0 && m_size > m_habits.maxSize) {
        send(QByteArray(2, CAN));
        return false;
    }
    erase();
    answer(ACK, m_habits.cAfterBlockZero);
    return true;
}

// While the flash is erased nobody reads the UART: the first byte stays in its data register, the rest is
// overrun and lost.
void PtyReceiver::erase()
{
    if (m_habits.eraseMs <= 0)
        return;
    pause(m_habits.eraseMs);
    const QByteArray arrived = m_held + m_pty.read(1 << 20, 0);
    m_held = arrived.left(1);
    if (arrived.size() > 1)
        m_log += QStringLiteral("lost %1 bytes while erasing\n").arg(arrived.size() - 1);
}

void PtyReceiver::answer(char code, bool withC)
{
    if (!withC) {
        send(QByteArray(1, code));
    } else if (m_habits.pairGapMs == 0) {
        send(QByteArray(1, code) + C);
    } else {
        send(QByteArray(1, code));
        pause(m_habits.pairGapMs);
        send(QByteArray(1, C));
    }
}

// Answers a damaged or missing packet the way this receiver does; false once it has given up.
bool PtyReceiver::fail(const QString &why)
{
    m_log += why + QLatin1Char('\n');
    if (m_habits.maxErrors > 0 && ++m_errors > m_habits.maxErrors) {
        send(QByteArray(2, CAN));
        return false;
    }
    if (m_habits.badPacket == ReceiverHabits::FlushThenNak)
        while (!take(4096, 100).isEmpty()) { }
    send(QByteArray(1, m_habits.badPacket == ReceiverHabits::AskC ? C : NAK));
    return true;
}

QByteArray PtyReceiver::take(int count, int timeoutMs)
{
    QByteArray got = m_held.left(count);
    m_held.remove(0, got.size());
    if (got.size() < count)
        got += m_pty.read(count - got.size(), timeoutMs);
    return got;
}

void PtyReceiver::send(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        m_pty.write(bytes);
}

void PtyReceiver::pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
