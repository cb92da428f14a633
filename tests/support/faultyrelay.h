// A line that spoils chosen bytes between a sender and a receiver, placed by offset in either direction's
// stream so that a failing run repeats exactly.
#pragma once

#include "ptypair.h"

#include <QObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QVector>
#include <memory>

class FaultyRelay : public QObject
{
public:
    enum Direction { ToReceiver, ToSender };
    enum Kind { Corrupt, Drop, Duplicate };
    struct Fault
    {
        Direction direction = ToReceiver;
        qint64 offset = 0;
        Kind kind = Corrupt;
        quint8 mask = 0x01;
    };

    // One to three faults drawn from seed, within a clean run's stream lengths.
    static QVector<Fault> plan(quint32 seed, qint64 toReceiver, qint64 toSender);

    explicit FaultyRelay(const QVector<Fault> &faults) : m_faults(faults) { }
    ~FaultyRelay() override;

    bool open(const QString &receiverPort); // Relays from then on, as the event loop turns.
    QString senderPort() const { return m_senderPty.slavePath(); }
    int faultsApplied() const { return int(m_log.size()); }
    QStringList log() const { return m_log; }
    QString errorString() const { return m_error; }

private:
    void relay(Direction direction);

    QVector<Fault> m_faults;
    PtyPair m_senderPty;
    int m_senderSlave = -1;
    int m_fd[2] = { -1, -1 }; // Where each direction writes to; it reads from the other.
    qint64 m_offset[2] = { 0, 0 };
    std::unique_ptr<QSocketNotifier> m_notifier[2];
    QStringList m_log;
    QString m_error;
};
