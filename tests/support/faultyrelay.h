// A relay that spoils the line between a sender and a receiver on purpose: it sits between the sender's
// pseudo-terminal (its own, see senderPort()) and the receiver's (any device path, for example
// RbReceiver::portPath()) and corrupts, drops, duplicates or holds back chosen bytes in either direction.
// Faults are placed by byte offset in each direction's stream as the relay reads it; plan() draws a few from
// a seed, so a failing run can be repeated exactly. What the relay did is kept in log() for failure messages.
//
// Typical use:
//     FaultyRelay relay(FaultyRelay::plan(seed, lengths));
//     QVERIFY2(relay.open(rb.portPath()), qPrintable(relay.errorString()));
//     start the sender on relay.senderPort(); once it holds the port, relay.start() and rb.release().
#pragma once

#include "ptypair.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>
#include <memory>

class FaultyRelay : public QObject
{
    Q_OBJECT

public:
    enum Direction { ToReceiver, ToSender };
    enum Kind { Corrupt, Drop, Duplicate, Delay };

    struct Fault
    {
        Direction direction = ToReceiver;
        // Position in that direction's stream, counted from 0 over the bytes read from its source.
        qint64 offset = 0;
        Kind kind = Corrupt;
        // Corrupt: the bits to flip (not 0); Delay: how long the stream stops at offset, in milliseconds.
        int value = 0;
    };

    // Nominal stream lengths of a clean run, so that planned offsets fall where bytes will flow.
    struct Lengths
    {
        qint64 toReceiver = 0;
        qint64 toSender = 0;
    };

    // Longest delay plan() chooses: well below the sender's reply wait, so that a delay is no lost reply.
    static constexpr int MAX_DELAY_MS = 2500;

    // One to maxFaults faults drawn from seed, at distinct offsets per direction, ordered by direction and
    // offset. The receiver's last reply is never lost or spoilt: with the receiver gone, no retransmission
    // could ever be answered.
    static QVector<Fault> plan(quint32 seed, const Lengths &lengths, int maxFaults = 3);
    static QString describe(const Fault &fault);
    static QString describe(const QVector<Fault> &faults);

    explicit FaultyRelay(const QVector<Fault> &faults, QObject *parent = nullptr);
    ~FaultyRelay() override;

    // Opens the receiver's side; false (see errorString) when it or the sender's pseudo-terminal failed.
    bool open(const QString &receiverPort);
    // The device path the sender opens.
    QString senderPort() const { return m_senderPty.slavePath(); }
    // Starts relaying. Call it once the sender holds its port: until then its pseudo-terminal reads as
    // hung up.
    void start();

    // What the relay did, one line per fault applied or byte lost to a closed side, with the time since
    // start() in milliseconds.
    QStringList log() const { return m_log; }
    // How many of the planned faults the streams have reached so far.
    int faultsApplied() const { return m_faultsApplied; }
    // Bytes read from the source of that direction so far (before faults).
    qint64 bytesRead(Direction direction) const;
    bool isReceiverClosed() const;
    QString errorString() const { return m_error; }

signals:
    // The receiver's side hung up: for RbReceiver, rb has exited and socat has closed its terminal.
    void sigReceiverClosed();
    // The sender closed its port.
    void sigSenderClosed();

private:
    class Stream;

    void note(const QString &text);
    void noteFault(const QString &text);

    PtyPair m_senderPty;
    int m_receiverFd = -1;
    std::unique_ptr<Stream> m_toReceiver;
    std::unique_ptr<Stream> m_toSender;
    QVector<Fault> m_faults;
    QStringList m_log;
    int m_faultsApplied = 0;
    QElapsedTimer m_clock;
    QString m_error;
};
