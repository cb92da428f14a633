// A YMODEM receiver played on the device side of a pseudo-terminal, in a thread of its own, with the habits
// of the bootloaders our users flash into: how and how often it asks, whether a 'C' follows its ACKs (in
// the same write or in one of its own), how it answers a damaged or repeated packet, how long it erases
// after block 0 (losing what arrives meanwhile, bar the first byte, as a UART overrun does), how it ends.
#pragma once

#include "ptypair.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <future>
#include <thread>

struct ReceiverHabits
{
    enum Answer { Nak, AskC, FlushThenNak };
    enum EotReply { AckEot, NakFirstEot, AckTwiceThenC, AckThenCLater };

    QByteArray banner;
    // Time between requests while it waits for block 0.
    int askIntervalMs = 300;
    bool checksum = false;
    // Requests sent at each ask (some loaders send two), and the pause between them (0: one write).
    int requestsPerAsk = 1;
    int requestGapMs = 0;
    bool cAfterBlockZero = true;
    bool cAfterEveryAck = false;
    // The 'C' behind an ACK goes in a write of its own this much later (a USB device); 0: the same write.
    int pairGapMs = 0;
    int eraseMs = 0;
    Answer badPacket = Nak;
    // Answer to a packet it already has: ACK again, or NAK as for any unexpected number.
    bool nakRepeat = false;
    EotReply eot = AckEot;
    // After the EOT is acknowledged, text instead of a request for the end packet (an XMODEM receiver).
    QByteArray textAfterEot;
    // Gives up with CAN CAN after this many errors in a row; 0 never.
    int maxErrors = 0;
    // Refuses block 0 with CAN CAN above this size; -1 takes any.
    qint64 maxSize = -1;
    // The first copy of this data packet arrives with one byte damaged; 0 none.
    int damagePacket = 0;
    // Sent right after the ACK of data packet 2: line noise, a lone CAN.
    QByteArray noise;
    // Answers the first copies of every data packet with NAK, this many times each.
    int nakEveryPacket = 0;
    // Answers every copy of this data packet with NAK (or CAN CAN when cancelAt is set); 0 none.
    int refusePacket = 0;
    int refuseTimes = 0;
    bool cancelAtRefused = false;
    // Gives up waiting for block 0 after this many requests.
    int maxAsks = 100;
    // How long it waits for the next byte of a packet, or for a packet after its request.
    int charTimeoutMs = 1000;
};

class PtyReceiver
{
public:
    explicit PtyReceiver(const ReceiverHabits &habits);
    ~PtyReceiver();

    bool isValid() const { return m_pty.isValid(); }
    QString errorString() const { return m_pty.errorString(); }
    QString portPath() const { return m_pty.slavePath(); }

    // Starts asking for the file; the results are read after wait().
    void start();
    // Waits until the session with it is over (completed, cancelled by either side, or timed out).
    bool wait(int timeoutMs = 60000);

    bool completed() const { return m_completed; }
    QByteArray file() const { return m_data.left(int(m_size)); }
    QString fileName() const { return m_name; }
    qint64 announcedSize() const { return m_size; }
    // CAN bytes the sender sent, duplicates it was handed, and what else it noted.
    int cancelBytes() const { return m_cancelBytes; }
    int duplicates() const { return m_duplicates; }
    // Times it waited in vain for the next packet once the file had begun.
    int timeouts() const { return m_timeouts; }
    QString log() const { return m_log; }

private:
    enum Read { Packet, EndOfFile, Cancelled, Nothing, Broken };

    void run();
    bool ask();
    Read readPacket(int firstByteTimeoutMs, int *number, QByteArray *payload);
    bool takeBlockZero(const QByteArray &payload);
    void erase();
    void answer(char code, bool withC);
    bool fail(const QString &why);
    QByteArray take(int count, int timeoutMs);
    void send(const QByteArray &bytes);
    void pause(int ms);

    ReceiverHabits m_habits;
    PtyPair m_pty;
    std::thread m_thread;
    std::atomic<bool> m_stop { false };
    std::promise<void> m_finished;
    std::future<void> m_finishedFuture;
    QByteArray m_held;
    int m_errors = 0;
    int m_expected = 1;
    bool m_completed = false;
    QByteArray m_data;
    QString m_name;
    qint64 m_size = 0;
    int m_cancelBytes = 0;
    int m_duplicates = 0;
    int m_timeouts = 0;
    int m_refused = 0;
    int m_naksForThisPacket = 0;
    bool m_damaged = false;
    QString m_log;
};
