// Fixed-size thread-safe byte queue with blocking, time-limited, all-or-nothing stores.
#pragma once

#include <QMutex>
#include <QWaitCondition>
#include <atomic>

class RingBuffer
{
public:
    enum { Capacity = 10000 };

    RingBuffer();
    RingBuffer(const RingBuffer &) = delete;
    RingBuffer &operator=(const RingBuffer &) = delete;

    // The results are false when the buffer is aborted at the end of the call, true otherwise (also on
    // time-out). A time-out of 0 or less waits without limit.
    bool put(const char *data, int len, int timeoutMs);
    bool putByte(char c, int timeoutMs);
    // Stores as much of data as there is room for, waiting up to timeoutMs for any room at all: the bytes
    // stored, 0 when no room came in time, -1 once the buffer is aborted.
    int putSome(const char *data, int len, int timeoutMs);
    bool get(unsigned char *data, int maxLen, int *got, int timeoutMs);
    bool getByte(char *byte, int timeoutMs);
    // Takes what is stored, at most maxLen bytes, without waiting; leaves the time-out flag alone.
    int getWaiting(unsigned char *data, int maxLen);

    // Waits until everything stored has been taken, or the buffer is aborted; false on time-out.
    bool waitEmpty(int timeoutMs);

    bool isReadTimeout() const;
    bool isWriteTimeout() const;
    // Momentary values, read without the lock.
    int freeSpace() const { return m_capacity - m_count.load(std::memory_order_relaxed); }
    int count() const { return m_count.load(std::memory_order_relaxed); }

    void reset();
    // Discards what is stored and a wake-up nobody has taken yet; an aborted buffer stays aborted.
    void clear();
    void abort();
    // Ends the wait of the take blocked now, or else of the next take that would wait, as a time-out, so
    // that its caller looks at the state of the line at once instead of at the end of its wait.
    void interrupt();

private:
    // Called with the lock held; false when a wait ran out (the read time-out flag is then set).
    bool waitForData(int timeoutMs);
    // Called with the lock held: nothing stored, no wake-up pending.
    void emptyLocked();
    // Called with the lock held and room for all len bytes: stores them and wakes a waiting take.
    void storeLocked(const char *data, int len);
    // Called with the lock held: moves up to maxLen stored bytes out and wakes a waiting store.
    int takeLocked(unsigned char *data, int maxLen);

    char m_storage[Capacity] = {};
    int m_writeIndex = 0;
    int m_readIndex = 0;
    std::atomic<int> m_count { 0 };
    const int m_capacity = Capacity;
    bool m_aborted = false;
    bool m_interrupted = false;
    bool m_readTimedOut = false;
    bool m_writeTimedOut = false;
    mutable QMutex m_mutex;
    QWaitCondition m_condition;
};
