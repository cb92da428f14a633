// A YMODEM receiver on the device side of a pseudo-terminal, with the habits of the bootloaders our users
// flash into: how it asks, whether a 'C' follows its ACKs (in the same write or one of its own), how it
// answers a damaged or repeated packet, how long it erases after block 0 (losing all but the first byte that
// arrives meanwhile, as a UART overrun does) and how it ends.
#pragma once

#include "ptypair.h"

#include <QByteArray>
#include <QString>

struct ReceiverHabits
{
    // Printed before the first request, which follows askIntervalMs later.
    QByteArray banner;
    int askIntervalMs = 300;
    // Requests for block 0 before it gives up; 0 never asks.
    int asks = 20;
    bool checksum = false;
    int requestsPerAsk = 1;
    // Between the requests of one ask; 0: one write.
    int requestGapMs = 0;
    bool cAfterBlockZero = true;
    bool cAfterEveryAck = false;
    // The 'C' behind an ACK goes in a write of its own this much later (a USB device); 0: the same write.
    int pairGapMs = 0;
    int eraseMs = 0;
    // The answer to a damaged or missing packet, after what is left of it if flushBadPacket.
    char badPacketReply = 0x15;
    bool flushBadPacket = false;
    // A packet it already has gets NAK (as any unexpected number) rather than ACK.
    bool nakRepeat = false;
    // NAKs for the EOT before it takes it; then eotReply, and the request for the end packet this much later.
    int eotNaks = 0;
    QByteArray eotReply = "\x06";
    int endAskDelayMs = 0;
    // Printed instead of asking for the end packet (an XMODEM receiver back at its prompt).
    QByteArray textAfterEot;
    // Errors in a row after which it cancels with CAN CAN.
    int maxErrors = 10;
    // Block 0 announcing more than this gets CAN CAN; -1 takes any size.
    qint64 maxSize = -1;
    // The first copy of this data packet arrives with one byte damaged; 0 none.
    int damagePacket = 0;
    // Sent right behind the ACK of data packet 2.
    QByteArray noise;
    // This data packet gets NAK (or CAN CAN if cancelAtRefused) this many times.
    int refusePacket = 0;
    int refuseTimes = 0;
    bool cancelAtRefused = false;
    // How long it waits for the next byte of a packet, or for a packet after its answer.
    int charTimeoutMs = 1000;
};

class PtyReceiver
{
public:
    explicit PtyReceiver(const ReceiverHabits &habits) : m_habits(habits) { }

    bool isValid() const { return m_pty.isValid(); }
    QString errorString() const { return m_pty.errorString(); }
    QString portPath() const { return m_pty.slavePath(); }

    // Plays one session with the sender that holds the port, until either side ends it.
    void run();

    bool completed() const { return m_completed; }
    QByteArray file() const { return m_data.left(int(m_size)); }
    QString fileName() const { return m_name; }
    // CAN bytes the sender sent, packets it was handed twice, and what else it noted.
    int cancelBytes() const { return m_cancelBytes; }
    int duplicates() const { return m_duplicates; }
    QString log() const { return m_log; }

private:
    enum Read { Packet, EndOfFile, Cancelled, Nothing, Broken };

    Read readPacket(int firstByteTimeoutMs, int *number, QByteArray *payload);
    bool takeBlockZero(const QByteArray &payload);
    void answer(char code, bool withC);
    bool fail();
    QByteArray take(int count, int timeoutMs);
    void send(const QByteArray &bytes) { m_pty.write(bytes); }
    void pause(int ms);

    ReceiverHabits m_habits;
    PtyPair m_pty;
    QByteArray m_held;
    int m_errors = 0;
    int m_expected = 1;
    int m_refused = 0;
    bool m_damaged = false;
    bool m_completed = false;
    QByteArray m_data;
    QString m_name;
    qint64 m_size = 0;
    int m_cancelBytes = 0;
    int m_duplicates = 0;
    QString m_log;
};
