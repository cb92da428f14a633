#include "ptyreceiver.h"

#include "testdata.h"

#include <QThread>

namespace {
constexpr char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, C = 'C';
const QByteArray CANCEL(2, CAN);
} // namespace

void PtyReceiver::run()
{
    const QByteArray request(1, m_habits.checksum ? NAK : C);
    if (!m_habits.banner.isEmpty()) {
        send(m_habits.banner);
        pause(m_habits.askIntervalMs);
    }
    int number = -1;
    QByteArray payload;
    for (int asks = 0; number != 0; ++asks) {
        if (asks == m_habits.asks || m_pty.isSlaveClosed())
            return;
        send(m_habits.requestGapMs > 0 ? request : request.repeated(m_habits.requestsPerAsk));
        for (int i = 1; m_habits.requestGapMs > 0 && i < m_habits.requestsPerAsk; ++i) {
            pause(m_habits.requestGapMs);
            send(request);
        }
        const Read read = readPacket(m_habits.askIntervalMs, &number, &payload);
        if (read == Cancelled)
            return;
        if (read != Packet)
            number = -1;
    }
    if (!takeBlockZero(payload))
        return;
    for (Read read = Nothing; read != EndOfFile;) {
        read = readPacket(m_habits.charTimeoutMs, &number, &payload);
        if (read == Cancelled || (read != Packet && read != EndOfFile && !fail()))
            return;
        if (read != Packet)
            continue;
        if (number == m_habits.refusePacket && m_refused < m_habits.refuseTimes) {
            ++m_refused;
            send(m_habits.cancelAtRefused ? CANCEL : QByteArray(1, NAK));
            if (m_habits.cancelAtRefused)
                return;
        } else if (number == (m_expected & 0xFF)) {
            m_data += payload;
            ++m_expected;
            m_errors = 0;
            answer(ACK, m_habits.cAfterEveryAck);
            send(number == 2 ? m_habits.noise : QByteArray());
        } else {
            m_duplicates += number == ((m_expected - 1) & 0xFF);
            m_log += QStringLiteral("packet %1 while expecting %2\n").arg(number).arg(m_expected);
            send(QByteArray(1, number == ((m_expected - 1) & 0xFF) && !m_habits.nakRepeat ? ACK : NAK));
        }
    }
    for (int i = 0; i < m_habits.eotNaks; ++i) {
        send(QByteArray(1, NAK));
        if (readPacket(m_habits.charTimeoutMs, &number, &payload) != EndOfFile)
            return;
    }
    send(m_habits.eotReply);
    if (!m_habits.textAfterEot.isEmpty()) {
        send(m_habits.textAfterEot);
        m_completed = true;
        return;
    }
    pause(m_habits.endAskDelayMs);
    for (int asks = 0; asks < 5 && !m_pty.isSlaveClosed(); ++asks) {
        send(asks > 0 || !m_habits.eotReply.endsWith(C) ? request : QByteArray());
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

PtyReceiver::Read PtyReceiver::readPacket(int firstByteTimeoutMs, int *number, QByteArray *payload)
{
    for (;;) {
        const QByteArray head = take(1, firstByteTimeoutMs);
        if (head.isEmpty())
            return Nothing;
        if (head.at(0) == EOT)
            return EndOfFile;
        if (head.at(0) == CAN) {
            const QByteArray rest = take(16, 100);
            m_cancelBytes += 1 + rest.count(CAN);
            if (rest.startsWith(CAN))
                return Cancelled;
        }
        if (head.at(0) != SOH && head.at(0) != STX)
            continue;
        const int size = head.at(0) == STX ? 1024 : 128;
        const int trailer = m_habits.checksum ? 1 : 2;
        QByteArray rest = take(2 + size + trailer, m_habits.charTimeoutMs);
        if (rest.size() < 2 + size + trailer) {
            m_log += QStringLiteral("short packet of %1 bytes\n").arg(rest.size());
            return Broken;
        }
        *number = quint8(rest.at(0));
        if (*number == m_habits.damagePacket && !m_damaged) {
            m_damaged = true;
            rest[2] = char(rest.at(2) ^ 0x40);
        }
        *payload = rest.mid(2, size);
        quint16 check = 0;
        for (const char ch : qAsConst(*payload))
            check = quint8(check + quint8(ch));
        check = m_habits.checksum ? check : referenceCrc(*payload);
        const quint16 sent = m_habits.checksum
            ? quint8(rest.at(2 + size))
            : quint16(quint8(rest.at(2 + size)) << 8 | quint8(rest.at(3 + size)));
        if (*number != quint8(~quint8(rest.at(1))) || sent != check) {
            m_log += QStringLiteral("damaged packet %1\n").arg(*number);
            return Broken;
        }
        return Packet;
    }
}

bool PtyReceiver::takeBlockZero(const QByteArray &payload)
{
    m_name = QString::fromLocal8Bit(payload.left(payload.indexOf('\0')));
    m_size = payload.mid(payload.indexOf('\0') + 1).split(' ').first().split('\0').first().toLongLong();
    if (m_habits.maxSize >= 0 && m_size > m_habits.maxSize) {
        send(CANCEL);
        return false;
    }
    if (m_habits.eraseMs > 0) {
        // Nobody reads the UART while the flash is erased: the first byte stays in its register, the rest is
        // lost.
        pause(m_habits.eraseMs);
        m_held = (m_held + m_pty.read(1 << 20, 0)).left(1);
    }
    answer(ACK, m_habits.cAfterBlockZero);
    return true;
}

void PtyReceiver::answer(char code, bool withC)
{
    send(QByteArray(1, code) + (withC && m_habits.pairGapMs == 0 ? QByteArray(1, C) : QByteArray()));
    if (withC && m_habits.pairGapMs > 0) {
        pause(m_habits.pairGapMs);
        send(QByteArray(1, C));
    }
}

// False once it has given up.
bool PtyReceiver::fail()
{
    if (++m_errors > m_habits.maxErrors || m_pty.isSlaveClosed()) {
        send(CANCEL);
        return false;
    }
    while (m_habits.flushBadPacket && !take(4096, 100).isEmpty()) { }
    send(QByteArray(1, m_habits.badPacketReply));
    return true;
}

QByteArray PtyReceiver::take(int count, int timeoutMs)
{
    QByteArray got = m_held.left(count);
    m_held.remove(0, got.size());
    return got + m_pty.read(count - got.size(), timeoutMs);
}

void PtyReceiver::pause(int ms)
{
    QThread::msleep(ulong(ms));
}
