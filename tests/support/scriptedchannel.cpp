#include "scriptedchannel.h"

#include <QDeadlineTimer>
#include <cstring>

void ScriptedChannel::pushBytes(const QByteArray &bytes)
{
    push({ Event::Bytes, bytes, {} });
}

void ScriptedChannel::pushTimeout(int count)
{
    for (int i = 0; i < count; ++i)
        push({ Event::Timeout, {}, {} });
}

void ScriptedChannel::wakeReader()
{
    QMutexLocker locker(&m_mutex);
    m_script.push_front({ Event::Timeout, {}, {} });
    m_changed.wakeAll();
}

void ScriptedChannel::pushAbort()
{
    push({ Event::Abort, {}, {} });
}

void ScriptedChannel::pushAction(std::function<void()> fn)
{
    push({ Event::Action, {}, std::move(fn) });
}

void ScriptedChannel::clearScript()
{
    QMutexLocker locker(&m_mutex);
    m_script.clear();
}

void ScriptedChannel::push(Event event)
{
    QMutexLocker locker(&m_mutex);
    m_script.push_back(std::move(event));
    m_changed.wakeAll();
}

void ScriptedChannel::setWriteHook(WriteHook hook)
{
    QMutexLocker locker(&m_mutex);
    m_writeHook = std::move(hook);
}

QList<QByteArray> ScriptedChannel::writes() const
{
    QMutexLocker locker(&m_mutex);
    return m_writes;
}

QByteArray ScriptedChannel::written() const
{
    QMutexLocker locker(&m_mutex);
    QByteArray all;
    for (const QByteArray &block : m_writes)
        all += block;
    return all;
}

bool ScriptedChannel::readByte(char *byte, int timeoutMs)
{
    unsigned char c = 0;
    int got = 0;
    const ReadResult result = nextRead(&c, 1, timeoutMs, &got);
    if (got == 1)
        *byte = static_cast<char>(c);
    return result != ReadResult::Aborted;
}

int ScriptedChannel::readData(unsigned char *data, int maxLen, int timeoutMs)
{
    int got = 0;
    nextRead(data, maxLen, timeoutMs, &got);
    return got;
}

int ScriptedChannel::readWaiting(unsigned char *data, int maxLen)
{
    QMutexLocker locker(&m_mutex);
    int got = 0;
    while (got < maxLen && !m_script.empty() && m_script.front().kind == Event::Bytes)
        got += takeBytes(data + got, maxLen - got);
    return got;
}

int ScriptedChannel::takeBytes(unsigned char *data, int maxLen)
{
    Event &event = m_script.front();
    const int n = qMin(maxLen, int(event.bytes.size()));
    std::memcpy(data, event.bytes.constData(), size_t(n));
    event.bytes.remove(0, n);
    if (event.bytes.isEmpty())
        m_script.pop_front();
    return n;
}

ScriptedChannel::ReadResult ScriptedChannel::nextRead(
    unsigned char *data, int maxLen, int timeoutMs, int *got)
{
    QDeadlineTimer deadline(timeoutMs > 0 ? qint64(timeoutMs) : qint64(QDeadlineTimer::Forever));
    QMutexLocker locker(&m_mutex);
    for (;;) {
        if (m_script.empty()) {
            if (m_aborted) {
                m_readTimedOut = false;
                return ReadResult::Aborted;
            }
            if (!m_changed.wait(&m_mutex, deadline)) {
                m_readTimedOut = true;
                return ReadResult::TimedOut;
            }
            continue;
        }
        Event &event = m_script.front();
        switch (event.kind) {
        case Event::Bytes:
            *got = takeBytes(data, maxLen);
            m_readTimedOut = false;
            return m_aborted ? ReadResult::Aborted : ReadResult::Data;
        case Event::Timeout:
            m_script.pop_front();
            m_readTimedOut = true;
            return ReadResult::TimedOut;
        case Event::Abort:
            m_script.pop_front();
            m_aborted = true;
            break;
        case Event::Action: {
            const std::function<void()> action = std::move(event.action);
            m_script.pop_front();
            locker.unlock();
            action();
            locker.relock();
            break;
        }
        }
    }
}

bool ScriptedChannel::isReadTimeout()
{
    QMutexLocker locker(&m_mutex);
    return m_readTimedOut;
}

int ScriptedChannel::writeData(const char *data, int len)
{
    const QByteArray block(data, len);
    WriteHook hook;
    {
        QMutexLocker locker(&m_mutex);
        m_writes.append(block);
        hook = m_writeHook;
    }
    if (hook)
        hook(block);
    return 1;
}

void ScriptedChannel::quit()
{
    QMutexLocker locker(&m_mutex);
    m_aborted = true;
    m_changed.wakeAll();
}

QString ScriptedChannel::lineError()
{
    QMutexLocker locker(&m_mutex);
    return m_lineError;
}

void ScriptedChannel::setLineError(const QString &text)
{
    QMutexLocker locker(&m_mutex);
    m_lineError = text;
}
