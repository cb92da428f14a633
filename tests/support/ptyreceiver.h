// A YMODEM receiver on the device side of a pseudo-terminal, with the habits of the bootloaders our users
// flash into. It runs in the caller's thread while the sender is another process.
#pragma once

#include "ptypair.h"

#include <QByteArray>
#include <QString>

struct ReceiverHabits
{
    QByteArray banner {}; // Printed askIntervalMs before the first request.
    int askIntervalMs = 300;
    int asks = 20; // Requests for block 0 before it gives up; 0 never asks.
    QByteArray request = "C"; // Sent at each ask: "CC" for two Cs; NAK asks for checksum mode.
    int gapMs = 0; // Answers of more than one byte go a byte at a time, this far apart (a USB device).
    int eraseMs = 0; // After block 0, losing all but the first byte that comes meanwhile (a UART overrun).
    QByteArray blockZeroReply = "\6C", ackReply = "\6";
    QByteArray repeatReply = "\6", badReply = "\25"; // To a packet it has; to a damaged or missing one.
    bool flush = false; // Drains what is left of a damaged packet before badReply.
    // NAKs for the EOT before it takes it with eotReply; the request for the end packet follows this late.
    int eotNaks = 0;
    QByteArray eotReply = "\6";
    int endAskDelayMs = 0;
    QByteArray textAfterEot {}; // Printed instead of asking for the end packet (an XMODEM receiver).
    int maxErrors = 10; // Errors in a row after which it cancels.
    qint64 maxSize = -1; // Block 0 announcing more is cancelled; -1 takes any size.
    int damagePacket = 0; // The first copy of this data packet arrives with one byte damaged.
    QByteArray noise {}; // Sent behind the ACK of data packet 2.
    int refusePacket = 0, refuseTimes = 0; // This data packet gets refuseReply (CAN CAN cancels) so often.
    QByteArray refuseReply = "\25";
    int charTimeoutMs = 1000; // For the next byte of a packet, or for a packet after its answer.
};

class PtyReceiver
{
public:
    explicit PtyReceiver(const ReceiverHabits &habits) : m_habits(habits) { }

    QString portPath() const { return m_pty.slavePath(); }
    // Plays one session with the sender that holds the port, until either side ends it.
    void run();

    bool completed = false;
    QByteArray file;
    QString fileName;
    int cancelBytes = 0, duplicates = 0; // CAN bytes the sender sent, packets it was handed twice.
    QString log; // What else it noted.

private:
    enum Read { Packet, EndOfFile, Cancelled, Nothing, Broken };

    Read readPacket(int firstByteTimeoutMs, int *number, QByteArray *payload);
    bool fail();
    QByteArray take(int count, int timeoutMs);
    void send(const QByteArray &bytes);

    ReceiverHabits m_habits;
    PtyPair m_pty;
    QByteArray m_held;
    int m_errors = 0;
};
