// A channel that replays a script: reply bytes, forced time-outs and an abort, in order, without waiting.
#pragma once

#include "comminterface.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QWaitCondition>
#include <deque>
#include <functional>

class ScriptedChannel : public CommInterface
{
    Q_OBJECT

public:
    using WriteHook = std::function<void(const QByteArray &written)>;

    // Safe from any thread. Once the script runs dry a read waits, as a real channel does, for more
    // script, quit() or its own time-out.
    void pushBytes(const QByteArray &bytes);
    void pushTimeout(int count = 1);
    void pushAbort();
    // Runs fn when a read reaches it, then goes on with the script.
    void pushAction(std::function<void()> fn);
    void clearScript();

    // Called from the writing thread with every block written; a scripted receiver answers here.
    void setWriteHook(WriteHook hook);
    QList<QByteArray> writes() const;
    QByteArray written() const;

    bool readByte(char *byte, int timeoutMs) override;
    int readData(unsigned char *data, int maxLen, int timeoutMs) override;
    bool isReadTimeout() override;
    // The reply bytes at the head of the script have arrived; a time-out, an action or an abort has not.
    int readWaiting(unsigned char *data, int maxLen) override;
    int writeData(const char *data, int len) override;
    // Writes are taken at once.
    bool waitWritten(int) override { return true; }
    // Plays the wake-up as a time-out at the head of the script.
    void wakeReader() override;
    void setReceiveEnabled(bool) override { }
    void quit() override;
    void open(const QString &, int) override { }
    void close() override { }
    QStringList availablePorts() override { return {}; }
    QString lineError() override;
    // Plays a port that has failed for good from now on.
    void setLineError(const QString &text);

private:
    struct Event
    {
        enum Kind { Bytes, Timeout, Abort, Action } kind;
        QByteArray bytes;
        std::function<void()> action;
    };
    enum class ReadResult { Data, TimedOut, Aborted };

    void push(Event event);
    ReadResult nextRead(unsigned char *data, int maxLen, int timeoutMs, int *got);
    // Called with the lock held, the script's head being bytes.
    int takeBytes(unsigned char *data, int maxLen);

    mutable QMutex m_mutex;
    QWaitCondition m_changed;
    std::deque<Event> m_script;
    bool m_aborted = false;
    bool m_readTimedOut = false;
    QString m_lineError;
    WriteHook m_writeHook;
    QList<QByteArray> m_writes;
};
