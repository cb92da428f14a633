// A serial line between a sender's pseudo-terminal and a receiver's: forwards both ways, at a chosen line
// rate or as fast as the terminals go, and stamps what crosses it so that a transfer can be timed packet by
// packet from outside both programs.
#pragma once

#include "pacedqueue.h"

#include <QString>
#include <cstdint>
#include <vector>

class LineRelay
{
public:
    // One unit the sender put on the line: a packet, or a single EOT, CAN or unknown byte.
    struct Packet
    {
        int64_t startNs = 0; // its first byte taken from the sender
        int64_t ackNs = -1; // the first ACK handed to the sender after it began
        unsigned char code = 0;
        int blockNumber = -1;
        int length = 0;
    };

    // senderMaster is the master of the sender's pseudo-terminal, whose slave is at senderSlavePath; the
    // relay opens receiverPath, the terminal behind which the receiver runs. 0 bits per second: unpaced.
    LineRelay(
        int senderMaster, const QString &senderSlavePath, const QString &receiverPath, int bitsPerSecond);
    ~LineRelay();
    LineRelay(const LineRelay &) = delete;
    LineRelay &operator=(const LineRelay &) = delete;

    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

    // Forwards until the receiver's terminal hangs up and its last bytes reached the sender, or until
    // stop(). Runs in a thread of its own; the results below are read after it returned.
    void run();
    // Callable from any thread.
    void stop();
    // Hands bytes on in batches, waking at most once per granularity instead of once per byte, as a USB
    // serial adapter does with its 1 ms frames; no byte leaves before its time. Set before run().
    void setWakeGranularityNs(int64_t ns) { m_granularityNs = ns; }

    const std::vector<Packet> &packets() const { return m_packets; }
    // From each ACK reaching the sender's terminal to the first byte of the packet that followed it.
    const std::vector<int64_t> &turnaroundsNs() const { return m_turnaroundsNs; }

    static int64_t nowNs();

private:
    void takeFromSender(const unsigned char *data, int len, int64_t nowNs);
    void noteDeliveredToSender(const unsigned char *data, int len, int64_t nowNs);
    // Writes what is due; false when the terminal is gone.
    bool deliver(PacedQueue &queue, int fd, bool toSender);
    // Reads all the terminal has; false when it hung up.
    bool drain(int fd, bool fromSender);

    int m_senderMaster;
    int m_senderHold = -1;
    int m_receiverFd = -1;
    int m_stopFd = -1;
    QString m_error;
    PacedQueue m_toReceiver;
    PacedQueue m_toSender;

    std::vector<Packet> m_packets;
    int m_packetBytesLeft = 0;
    bool m_blockNumberNext = false;
    std::vector<int64_t> m_turnaroundsNs;
    // The last byte handed to the sender was an ACK, at this time, and no packet has begun since.
    bool m_ackOpen = false;
    int64_t m_lastAckNs = 0;
    int64_t m_granularityNs = 0;
};
