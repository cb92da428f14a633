#include "ptyreceiver.h"

#include "testdata.h"

#include <QThread>
#include <numeric>

static constexpr char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

void PtyReceiver::run()
{
    send(m_habits.banner);
    QThread::msleep(m_habits.banner.isEmpty() ? 0 : ulong(m_habits.askIntervalMs));
    int number = -1;
    QByteArray payload;
    Read read = Nothing;
    for (int asks = 0; read != Packet || number != 0; ++asks) {
        if (read == Cancelled || asks == m_habits.asks || m_pty.isSlaveClosed())
            return;
        send(m_habits.request);
        read = readPacket(m_habits.askIntervalMs, &number, &payload);
    }
    fileName = QString::fromLocal8Bit(payload.left(payload.indexOf('\0')));
    const qint64 size = payload.mid(payload.indexOf('\0') + 1).split(' ').first().toLongLong();
    if (m_habits.maxSize >= 0 && size > m_habits.maxSize)
        return send(QByteArray(2, CAN));
    QThread::msleep(ulong(m_habits.eraseMs));
    m_held = (m_held + m_pty.read(1 << 20, 0)).left(m_habits.eraseMs > 0 ? 1 : 1 << 20);
    send(m_habits.blockZeroReply);
    int expected = 1, refused = 0;
    while ((read = readPacket(m_habits.charTimeoutMs, &number, &payload)) != EndOfFile) {
        if (read == Cancelled || (read != Packet && !fail()))
            return;
        if (read != Packet)
            continue;
        if (number == m_habits.refusePacket && refused < m_habits.refuseTimes) {
            ++refused;
            send(m_habits.refuseReply);
            if (m_habits.refuseReply.contains(CAN))
                return;
        } else if (number == (expected & 0xFF) && file.size() >= size) {
            // More than block 0 announced: a real receiver refuses it rather than flash it.
            return send(QByteArray(2, CAN));
        } else if (number == (expected & 0xFF)) {
            file += payload;
            ++expected;
            m_errors = 0;
            send(m_habits.ackReply + (number == 2 ? m_habits.noise : QByteArray()));
        } else {
            const bool repeat = number == ((expected - 1) & 0xFF);
            duplicates += repeat;
            log += QStringLiteral("packet %1 while expecting %2\n").arg(number).arg(expected);
            send(repeat ? m_habits.repeatReply : QByteArray(1, NAK));
        }
    }
    file.truncate(int(size));
    for (int i = 0; i < m_habits.eotNaks; ++i) {
        send(QByteArray(1, NAK));
        if (readPacket(m_habits.charTimeoutMs, &number, &payload) != EndOfFile)
            return;
    }
    send(m_habits.eotReply + m_habits.textAfterEot);
    completed = !m_habits.textAfterEot.isEmpty();
    QThread::msleep(ulong(m_habits.endAskDelayMs));
    for (int asks = 0; asks < 5 && !completed && !m_pty.isSlaveClosed(); ++asks) {
        send(asks > 0 || !m_habits.eotReply.endsWith('C') ? m_habits.request.left(1) : QByteArray());
        read = readPacket(m_habits.charTimeoutMs, &number, &payload);
        completed = read == Packet && number == 0 && payload.at(0) == 0;
        send(read == EndOfFile || completed ? QByteArray(1, ACK) : QByteArray());
    }
}

PtyReceiver::Read PtyReceiver::readPacket(int firstByteTimeoutMs, int *number, QByteArray *payload)
{
    for (;;) {
        const QByteArray head = take(1, firstByteTimeoutMs);
        if (head.isEmpty() || head.at(0) == EOT)
            return head.isEmpty() ? Nothing : EndOfFile;
        const QByteArray more = head.at(0) == CAN ? take(16, 100) : QByteArray();
        cancelBytes += head.count(CAN) + more.count(CAN);
        if (more.startsWith(CAN))
            return Cancelled;
        if (head.at(0) != SOH && head.at(0) != STX)
            continue;
        const int size = head.at(0) == STX ? 1024 : 128;
        const bool checksum = m_habits.request.startsWith(NAK);
        QByteArray rest = take(2 + size + (checksum ? 1 : 2), m_habits.charTimeoutMs);
        if (rest.size() < 2 + size + (checksum ? 1 : 2))
            return Broken;
        *number = quint8(rest.at(0));
        if (*number == m_habits.damagePacket) {
            rest[2] = char(rest.at(2) ^ 0x40);
            m_habits.damagePacket = -1;
        }
        *payload = rest.mid(2, size);
        const quint16 crc = referenceCrc(*payload);
        const char sum
            = char(std::accumulate(payload->cbegin(), payload->cend(), 0)); // Modulo 256 either way.
        const QByteArray check = checksum ? QByteArray(1, sum) : QByteArray(1, char(crc >> 8)) + char(crc);
        if (*number != quint8(~rest.at(1)) || !rest.endsWith(check)) {
            log += QStringLiteral("damaged packet %1\n").arg(*number);
            return Broken;
        }
        return Packet;
    }
}

// False once it has given up.
bool PtyReceiver::fail()
{
    const bool givingUp = ++m_errors > m_habits.maxErrors || m_pty.isSlaveClosed();
    while (!givingUp && m_habits.flush && !take(4096, 100).isEmpty()) { }
    send(givingUp ? QByteArray(2, CAN) : m_habits.badReply);
    return !givingUp;
}

QByteArray PtyReceiver::take(int count, int timeoutMs)
{
    QByteArray got = m_held.left(count);
    m_held.remove(0, got.size());
    return got + m_pty.read(count - got.size(), timeoutMs);
}

void PtyReceiver::send(const QByteArray &bytes)
{
    const int step = m_habits.gapMs > 0 ? 1 : qMax(1, bytes.size());
    for (int i = 0; i < bytes.size(); i += step) {
        QThread::msleep(ulong(i > 0 ? m_habits.gapMs : 0));
        m_pty.write(bytes.mid(i, step));
    }
}
