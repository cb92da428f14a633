// The session's side of the line: one reply byte at a time against a deadline, with the stop, an aborted
// channel and a lost port told apart from a time-out, and what was waiting before the session began.
#pragma once

#include <QByteArray>
#include <atomic>

class CommInterface;

// A clock that only goes forward, shared by the monitor and the session, in milliseconds.
qint64 steadyMs();

// The last byte the device sent before the session began, and when.
struct LastReceived
{
    unsigned char byte = 0;
    qint64 atMs = -1;
};

class ReplyReader
{
public:
    static constexpr qint64 FOREVER = -1;
    // How long the bytes waiting at the start are read before the session goes on regardless.
    static constexpr int DRAIN_LIMIT_MS = 200;

    struct Reply
    {
        enum Kind { Byte, TimedOut, Stopped, Aborted, Lost } kind;
        unsigned char byte;
        qint64 atMs;
    };

    ReplyReader(CommInterface *comm, const std::atomic<bool> &running);

    // The next byte, or why none came before deadlineMs (FOREVER waits without limit).
    Reply read(qint64 deadlineMs);
    // Takes what is already waiting, for a bounded time, so that a device that keeps printing cannot hold
    // the caller; the last byte taken goes to *last.
    QByteArray drain(LastReceived *last);

private:
    CommInterface *m_comm;
    const std::atomic<bool> &m_running;
};
