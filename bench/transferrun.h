// One file sent into lrzsz's rb, by kelpo-send or by lrzsz's sb, over a pseudo-terminal and the line relay,
// with what the line saw and what the sender cost.
#pragma once

#include "samples.h"

#include <QString>
#include <QtGlobal>

class LineRelay;

class TransferRun
{
public:
    enum Sender { Kelpo, Sb };

    // 0 bits per second: the relay forwards as fast as the terminals go.
    TransferRun(Sender sender, const QString &filePath, int bitsPerSecond);

    static QString senderName(Sender sender);
    static QString kelpoSendPath();

    // Runs the transfer to its end and compares the received file with the sent one; false (see
    // errorString) when the transfer failed, the file differs or the line showed no data phase.
    bool exec();
    QString errorString() const { return m_error; }

    qint64 fileBytes() const { return m_fileBytes; }
    // From the first byte of block 1 leaving the sender to the ACK of the last data block reaching it.
    double dataSeconds() const { return m_dataSeconds; }
    int longPackets() const { return m_longPackets; }
    int shortPackets() const { return m_shortPackets; }
    // Data packets sent again with the block number of the one before.
    int repeatedPackets() const { return m_repeatedPackets; }
    // Every byte of the data packets on the wire, headers and CRCs included.
    qint64 dataWireBytes() const { return m_dataWireBytes; }
    // From an ACK reaching the sender's terminal to the next packet leaving it, in microseconds.
    const Samples &turnaroundsUs() const { return m_turnaroundsUs; }
    double senderCpuSeconds() const { return m_cpuSeconds; }
    long senderPeakResidentKiB() const { return m_peakResidentKiB; }
    long senderVoluntarySwitches() const { return m_voluntarySwitches; }

private:
    bool fail(const QString &text);
    // Reads the packets the relay saw into the figures above.
    bool analyse(const LineRelay &relay);
    bool sameFile(const QString &received);
    int timeoutMs() const;

    const Sender m_sender;
    const QString m_filePath;
    const int m_bitsPerSecond;
    QString m_error;
    qint64 m_fileBytes = 0;
    double m_dataSeconds = 0;
    int m_longPackets = 0;
    int m_shortPackets = 0;
    int m_repeatedPackets = 0;
    qint64 m_dataWireBytes = 0;
    Samples m_turnaroundsUs;
    double m_cpuSeconds = 0;
    long m_peakResidentKiB = 0;
    long m_voluntarySwitches = 0;
};
