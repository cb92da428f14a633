#include "ringbuffer.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <cstring>

namespace {

// A time-out of 0 or less waits without limit.
QDeadlineTimer deadlineFor(int timeoutMs)
{
    return timeoutMs > 0 ? QDeadlineTimer(timeoutMs) : QDeadlineTimer(QDeadlineTimer::Forever);
}

} // namespace

RingBuffer::RingBuffer() = default;

bool RingBuffer::put(const char *data, int len, int timeoutMs)
{
    QMutexLocker locker(&m_mutex);
    m_writeTimedOut = false;
    // Every wait starts with the full time-out again: being woken without enough room is not progress.
    while (!m_aborted && m_capacity - m_count.load() < len) {
        if (!m_condition.wait(&m_mutex, deadlineFor(timeoutMs))) {
            m_writeTimedOut = true;
            m_condition.wakeAll();
            return true;
        }
    }
    // A negative length would otherwise shrink the count; it stores nothing, like a block that does not fit.
    if (len > 0 && m_capacity - m_count.load() >= len)
        storeLocked(data, len);
    m_condition.wakeAll();
    return !m_aborted;
}

void RingBuffer::storeLocked(const char *data, int len)
{
    if (len <= 0)
        return;
    // At most two pieces: up to the end of the storage, then from its start.
    const int first = qMin(len, m_capacity - m_writeIndex);
    memcpy(m_storage + m_writeIndex, data, size_t(first));
    memcpy(m_storage, data + first, size_t(len - first));
    m_writeIndex = (m_writeIndex + len) % m_capacity;
    m_count.fetch_add(len);
    m_condition.wakeAll();
}

int RingBuffer::putSome(const char *data, int len, int timeoutMs)
{
    QMutexLocker locker(&m_mutex);
    m_writeTimedOut = false;
    const QDeadlineTimer deadline = deadlineFor(timeoutMs);
    while (!m_aborted && len > 0 && m_count.load() == m_capacity) {
        if (!m_condition.wait(&m_mutex, deadline)) {
            m_writeTimedOut = true;
            return 0;
        }
    }
    if (m_aborted)
        return -1;
    const int stored = qMin(len, m_capacity - m_count.load());
    storeLocked(data, stored);
    return stored;
}

bool RingBuffer::putByte(char c, int timeoutMs)
{
    return put(&c, 1, timeoutMs);
}

bool RingBuffer::waitForData(int timeoutMs)
{
    while (!m_aborted && m_count.load() == 0) {
        if (m_interrupted) {
            m_interrupted = false;
            m_readTimedOut = true;
            return false;
        }
        if (!m_condition.wait(&m_mutex, deadlineFor(timeoutMs))) {
            m_readTimedOut = true;
            m_condition.wakeAll();
            return false;
        }
    }
    return true;
}

bool RingBuffer::get(unsigned char *data, int maxLen, int *got, int timeoutMs)
{
    QMutexLocker locker(&m_mutex);
    m_readTimedOut = false;
    // Nothing can be taken into no room; waiting first would only stall the caller.
    if (maxLen <= 0) {
        *got = 0;
        return !m_aborted;
    }
    if (!waitForData(timeoutMs))
        return true;
    *got = takeLocked(data, maxLen);
    return !m_aborted;
}

int RingBuffer::getWaiting(unsigned char *data, int maxLen)
{
    QMutexLocker locker(&m_mutex);
    return maxLen > 0 ? takeLocked(data, maxLen) : 0;
}

int RingBuffer::takeLocked(unsigned char *data, int maxLen)
{
    const int n = qMin(maxLen, m_count.load());
    const int first = qMin(n, m_capacity - m_readIndex);
    memcpy(data, m_storage + m_readIndex, size_t(first));
    memcpy(data + first, m_storage, size_t(n - first));
    m_readIndex = (m_readIndex + n) % m_capacity;
    m_count.fetch_sub(n);
    m_condition.wakeAll();
    return n;
}

bool RingBuffer::getByte(char *byte, int timeoutMs)
{
    QMutexLocker locker(&m_mutex);
    m_readTimedOut = false;
    if (!waitForData(timeoutMs))
        return true;
    if (m_count.load() > 0) {
        *byte = m_storage[m_readIndex];
        m_readIndex = (m_readIndex + 1) % m_capacity;
        m_count.fetch_sub(1);
    }
    m_condition.wakeAll();
    return !m_aborted;
}

bool RingBuffer::waitEmpty(int timeoutMs)
{
    QMutexLocker locker(&m_mutex);
    const QDeadlineTimer deadline = deadlineFor(timeoutMs);
    while (!m_aborted && m_count.load() > 0) {
        if (!m_condition.wait(&m_mutex, deadline))
            return m_count.load() == 0;
    }
    return m_count.load() == 0;
}

bool RingBuffer::isReadTimeout() const
{
    QMutexLocker locker(&m_mutex);
    return m_readTimedOut;
}

bool RingBuffer::isWriteTimeout() const
{
    QMutexLocker locker(&m_mutex);
    return m_writeTimedOut;
}

void RingBuffer::reset()
{
    QMutexLocker locker(&m_mutex);
    m_aborted = false;
    emptyLocked();
}

void RingBuffer::clear()
{
    QMutexLocker locker(&m_mutex);
    emptyLocked();
    m_condition.wakeAll();
}

void RingBuffer::emptyLocked()
{
    m_count.store(0);
    m_writeIndex = 0;
    m_readIndex = 0;
    m_interrupted = false;
}

void RingBuffer::abort()
{
    QMutexLocker locker(&m_mutex);
    m_aborted = true;
    m_condition.wakeAll();
}

void RingBuffer::interrupt()
{
    QMutexLocker locker(&m_mutex);
    m_interrupted = true;
    m_condition.wakeAll();
}
