// A line that spoils chosen bytes between a sender and a receiver, in either direction, placed by offset in
// that direction's stream so that a failing run repeats exactly.
#pragma once

#include "ptypair.h"

#include <QObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QVector>

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

    // Opens both sides and relays from then on, as the event loop turns.
    bool open(const QString &receiverPort);
    QString senderPort() const { return m_senderPty.slavePath(); }
    int faultsApplied() const { return int(m_log.size()); }
    QStringList log() const { return m_log; }
    QString errorString() const { return m_error; }

private:
    void relay(Direction direction);

    QVector<Fault> m_faults;
    PtyPair m_senderPty;
    int m_senderSlave = -1;
    // Where each direction writes to; it reads from the other.
    int m_fd[2] = { -1, -1 };
    qint64 m_offset[2] = { 0, 0 };
    QSocketNotifier *m_notifier[2] = {};
    QStringList m_log;
    QString m_error;
};
