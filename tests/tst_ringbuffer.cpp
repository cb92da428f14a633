#include "ringbuffer.h"

#include <QRandomGenerator>
#include <QSemaphore>
#include <QtTest>
#include <atomic>
#include <thread>

namespace {

// Long enough never to run out on a loaded machine; a wake-up that never comes shows as a time-out flag.
const int LongWaitMs = 10000;
const int ShortWaitMs = 20;

QByteArray pattern(int len, int seed)
{
    QByteArray bytes(len, Qt::Uninitialized);
    for (int i = 0; i < len; ++i)
        bytes[i] = char((i * 31 + seed) & 0xff);
    return bytes;
}

bool store(RingBuffer &buffer, const QByteArray &bytes, int timeoutMs = ShortWaitMs)
{
    return buffer.put(bytes.constData(), bytes.size(), timeoutMs);
}

// Takes everything stored, in pieces of at most maxLen.
QByteArray takeAll(RingBuffer &buffer, int maxLen = RingBuffer::Capacity)
{
    QByteArray taken;
    QByteArray piece(maxLen, Qt::Uninitialized);
    while (buffer.count() > 0) {
        int got = 0;
        buffer.get(reinterpret_cast<unsigned char *>(piece.data()), maxLen, &got, ShortWaitMs);
        taken.append(piece.constData(), got);
    }
    return taken;
}

// Runs body in a thread of its own. If body does not return in time, the buffer is aborted on the way out so
// that a failing test still ends.
class BlockedCall
{
public:
    template<typename Body>
    BlockedCall(RingBuffer &buffer, Body body)
        : m_buffer(buffer), m_thread([this, body] {
            body();
            m_done.release();
        })
    { }
    ~BlockedCall()
    {
        if (!m_thread.joinable())
            return;
        m_buffer.abort();
        m_thread.join();
    }
    // True once body has returned.
    bool finish()
    {
        if (!m_done.tryAcquire(1, LongWaitMs))
            return false;
        m_thread.join();
        return true;
    }

private:
    RingBuffer &m_buffer;
    QSemaphore m_done;
    std::thread m_thread;
};

// A store or take clears its time-out flag under the lock and lets go of the lock only inside its wait, so
// once the flag set beforehand reads clear, the call in the other thread is waiting.
template<typename FlagSet> bool waitUntilBlocked(FlagSet flagSet)
{
    return QTest::qWaitFor([&] { return !flagSet(); }, LongWaitMs);
}

} // namespace

class TestRingBuffer : public QObject
{
    Q_OBJECT

private slots:
    void keepsOrderAcrossTheWrap_data();
    void keepsOrderAcrossTheWrap();
    void storeThatDoesNotFitStoresNothing_data();
    void storeThatDoesNotFitStoresNothing();
    void emptyTakeTimesOutUntilData();
    void takeDoesNotWaitToFill();
    void nonPositiveLengthsMoveNothing();
    void storeWokenWhenTakeFreesRoom();
    void unlimitedTakeWokenByStore();
    void abortReleasesBlockedTake();
    void abortReleasesBlockedStore();
    void interruptEndsOneWaitAsTimeout();
    void abortedBufferStillMovesWhatFits();
    void resetEmptiesButKeepsTimeoutFlags();
    void producerConsumerMovesEveryByteOnce();
};

void TestRingBuffer::keepsOrderAcrossTheWrap_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("pieceSize");

    QTest::newRow("ends exactly at the end") << 9400 << 600 << 1400;
    QTest::newRow("300 short of the end") << 9700 << 600 << 1400;
    QTest::newRow("whole ring from the middle") << 5000 << 10000 << 1400;
    QTest::newRow("small pieces across the end") << 9990 << 50 << 7;
    // A piece size of 0 moves the bytes one at a time with putByte and getByte.
    QTest::newRow("single bytes across the end") << 9700 << 600 << 0;
}

void TestRingBuffer::keepsOrderAcrossTheWrap()
{
    QFETCH(int, offset);
    QFETCH(int, length);
    QFETCH(int, pieceSize);

    RingBuffer buffer;
    QVERIFY(store(buffer, pattern(offset, 1)));
    QCOMPARE(takeAll(buffer).size(), offset);

    const QByteArray bytes = pattern(length, 7);
    QByteArray taken;
    if (pieceSize > 0) {
        QVERIFY(store(buffer, bytes));
        QCOMPARE(buffer.freeSpace(), RingBuffer::Capacity - length);
        taken = takeAll(buffer, pieceSize);
    } else {
        for (char c : bytes)
            QVERIFY(buffer.putByte(c, ShortWaitMs));
        char c = 0;
        while (buffer.count() > 0 && buffer.getByte(&c, ShortWaitMs))
            taken.append(c);
    }
    QCOMPARE(taken, bytes);
    QCOMPARE(buffer.count(), 0);
}

void TestRingBuffer::storeThatDoesNotFitStoresNothing_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("length");

    QTest::newRow("one byte into a full buffer") << 10000 << 1;
    QTest::newRow("600 bytes into room for 500") << 9500 << 600;
    QTest::newRow("more than the capacity into an empty buffer") << 0 << 10001;
}

void TestRingBuffer::storeThatDoesNotFitStoresNothing()
{
    QFETCH(int, stored);
    QFETCH(int, length);

    RingBuffer buffer;
    const QByteArray first = pattern(stored, 2);
    QVERIFY(store(buffer, first));
    QVERIFY(!buffer.isWriteTimeout());

    QVERIFY(store(buffer, pattern(length, 3)));
    QVERIFY(buffer.isWriteTimeout());
    QCOMPARE(buffer.count(), stored);

    // The next store that fits succeeds and clears the flag.
    char c = 0;
    if (stored > 0)
        QVERIFY(buffer.getByte(&c, ShortWaitMs));
    QVERIFY(buffer.putByte('z', ShortWaitMs));
    QVERIFY(!buffer.isWriteTimeout());
    QCOMPARE(takeAll(buffer), first.mid(1) + 'z');
}

void TestRingBuffer::emptyTakeTimesOutUntilData()
{
    RingBuffer buffer;
    char c = 'u';
    QVERIFY(buffer.getByte(&c, ShortWaitMs));
    QVERIFY(buffer.isReadTimeout());
    QCOMPARE(c, 'u');
    QVERIFY(buffer.putByte('k', ShortWaitMs));
    QVERIFY(buffer.getByte(&c, ShortWaitMs));
    QVERIFY(!buffer.isReadTimeout());
    QCOMPARE(c, 'k');

    unsigned char data[8] = {};
    int got = -1;
    QVERIFY(buffer.get(data, sizeof data, &got, ShortWaitMs));
    QVERIFY(buffer.isReadTimeout());
    QCOMPARE(got, -1);
    QVERIFY(store(buffer, "xy"));
    QVERIFY(buffer.get(data, sizeof data, &got, ShortWaitMs));
    QVERIFY(!buffer.isReadTimeout());
    QCOMPARE(got, 2);
}

void TestRingBuffer::takeDoesNotWaitToFill()
{
    RingBuffer buffer;
    QVERIFY(store(buffer, "abc"));
    unsigned char data[1029] = {};
    int got = 0;
    QVERIFY(buffer.get(data, sizeof data, &got, LongWaitMs));
    QVERIFY(!buffer.isReadTimeout());
    QCOMPARE(QByteArray(reinterpret_cast<char *>(data), got), QByteArray("abc"));
}

void TestRingBuffer::nonPositiveLengthsMoveNothing()
{
    RingBuffer buffer;
    QVERIFY(store(buffer, "abc"));
    QVERIFY(buffer.put("zz", -2, ShortWaitMs));
    QVERIFY(buffer.put("zz", 0, ShortWaitMs));
    QCOMPARE(buffer.count(), 3);

    unsigned char data[4] = {};
    int got = -1;
    QVERIFY(buffer.get(data, 0, &got, LongWaitMs));
    QCOMPARE(got, 0);
    QVERIFY(buffer.get(data, -5, &got, LongWaitMs));
    QCOMPARE(got, 0);
    QCOMPARE(takeAll(buffer), QByteArray("abc"));
}

void TestRingBuffer::storeWokenWhenTakeFreesRoom()
{
    RingBuffer buffer;
    const QByteArray first = pattern(9000, 10);
    const QByteArray second = pattern(2000, 11);
    QVERIFY(store(buffer, first));
    QVERIFY(store(buffer, second));
    QVERIFY(buffer.isWriteTimeout());

    bool stored = false;
    bool timedOut = true;
    BlockedCall storer(buffer, [&] {
        stored = store(buffer, second, LongWaitMs);
        timedOut = buffer.isWriteTimeout();
    });
    QVERIFY(waitUntilBlocked([&] { return buffer.isWriteTimeout(); }));
    unsigned char data[1000];
    int got = 0;
    QVERIFY(buffer.get(data, sizeof data, &got, LongWaitMs));
    QCOMPARE(got, 1000);
    QVERIFY(storer.finish());

    QVERIFY(stored);
    QVERIFY(!timedOut);
    QCOMPARE(takeAll(buffer), first.mid(1000) + second);
}

void TestRingBuffer::unlimitedTakeWokenByStore()
{
    RingBuffer buffer;
    char c = 0;
    QVERIFY(buffer.getByte(&c, ShortWaitMs));

    bool timedOut = true;
    BlockedCall taker(buffer, [&] {
        buffer.getByte(&c, 0);
        timedOut = buffer.isReadTimeout();
    });
    QVERIFY(waitUntilBlocked([&] { return buffer.isReadTimeout(); }));
    QVERIFY(buffer.putByte('w', ShortWaitMs));
    QVERIFY(taker.finish());

    QVERIFY(!timedOut);
    QCOMPARE(c, 'w');
}

void TestRingBuffer::abortReleasesBlockedTake()
{
    RingBuffer buffer;
    char c = 'u';
    QVERIFY(buffer.getByte(&c, ShortWaitMs));

    bool result = true;
    bool timedOut = true;
    BlockedCall taker(buffer, [&] {
        result = buffer.getByte(&c, LongWaitMs);
        timedOut = buffer.isReadTimeout();
    });
    QVERIFY(waitUntilBlocked([&] { return buffer.isReadTimeout(); }));
    buffer.abort();
    QVERIFY(taker.finish());

    QVERIFY(!result);
    QVERIFY(!timedOut);
    QCOMPARE(c, 'u');
}

void TestRingBuffer::interruptEndsOneWaitAsTimeout()
{
    RingBuffer buffer;
    char c = 'u';
    QVERIFY(buffer.getByte(&c, ShortWaitMs));

    bool result = false;
    bool timedOut = false;
    BlockedCall taker(buffer, [&] {
        result = buffer.getByte(&c, LongWaitMs);
        timedOut = buffer.isReadTimeout();
    });
    QVERIFY(waitUntilBlocked([&] { return buffer.isReadTimeout(); }));
    buffer.interrupt();
    QVERIFY(taker.finish());
    QVERIFY(result);
    QVERIFY(timedOut);
    QCOMPARE(c, 'u');

    // Consumed by that wait: the buffer works as before, and an interrupt with nobody waiting ends the next
    // wait instead.
    QVERIFY(store(buffer, "x"));
    QVERIFY(buffer.getByte(&c, ShortWaitMs));
    QCOMPARE(c, 'x');
    buffer.interrupt();
    int got = 0;
    unsigned char data[4];
    QVERIFY(buffer.get(data, sizeof data, &got, 0));
    QVERIFY(buffer.isReadTimeout());
    QCOMPARE(got, 0);
}

void TestRingBuffer::abortReleasesBlockedStore()
{
    RingBuffer buffer;
    QVERIFY(store(buffer, pattern(RingBuffer::Capacity, 12)));
    QVERIFY(store(buffer, "late"));

    bool result = true;
    bool timedOut = true;
    BlockedCall storer(buffer, [&] {
        result = store(buffer, "late", LongWaitMs);
        timedOut = buffer.isWriteTimeout();
    });
    QVERIFY(waitUntilBlocked([&] { return buffer.isWriteTimeout(); }));
    buffer.abort();
    QVERIFY(storer.finish());

    QVERIFY(!result);
    QVERIFY(!timedOut);
    QCOMPARE(buffer.count(), int(RingBuffer::Capacity));
}

void TestRingBuffer::abortedBufferStillMovesWhatFits()
{
    RingBuffer buffer;
    buffer.abort();

    char c = 'u';
    QVERIFY(!buffer.getByte(&c, 0));
    QCOMPARE(c, 'u');
    unsigned char data[16] = {};
    int got = -1;
    QVERIFY(!buffer.get(data, sizeof data, &got, 0));
    QCOMPARE(got, 0);

    QVERIFY(!store(buffer, pattern(RingBuffer::Capacity + 1, 13), 0));
    QCOMPARE(buffer.count(), 0);
    QVERIFY(!store(buffer, "kept", 0));
    QCOMPARE(buffer.count(), 4);

    QVERIFY(!buffer.getByte(&c, 0));
    QCOMPARE(c, 'k');
    QVERIFY(!buffer.get(data, sizeof data, &got, 0));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(data), got), QByteArray("ept"));
}

void TestRingBuffer::resetEmptiesButKeepsTimeoutFlags()
{
    RingBuffer buffer;
    QVERIFY(store(buffer, pattern(RingBuffer::Capacity, 14)));
    QVERIFY(buffer.putByte('x', ShortWaitMs));
    QVERIFY(buffer.isWriteTimeout());
    buffer.abort();

    buffer.reset();
    QCOMPARE(buffer.count(), 0);
    QCOMPARE(buffer.freeSpace(), int(RingBuffer::Capacity));
    QVERIFY(buffer.isWriteTimeout());

    // Live again: an empty take waits and runs out instead of returning false at once.
    char c = 0;
    QVERIFY(buffer.getByte(&c, ShortWaitMs));
    QVERIFY(buffer.isReadTimeout());
}

void TestRingBuffer::producerConsumerMovesEveryByteOnce()
{
    const int total = 4 * 1024 * 1024;
    QByteArray source(total, Qt::Uninitialized);
    QRandomGenerator random(20240307);
    random.fillRange(reinterpret_cast<quint32 *>(source.data()), total / int(sizeof(quint32)));

    // Each side stops at its first time-out, so a lost wake-up fails within one long wait.
    RingBuffer buffer;
    std::atomic<bool> storeTimedOut { false };
    std::thread producer([&] {
        QRandomGenerator sizes(1);
        for (int pos = 0; pos < total && !storeTimedOut;) {
            const int len = qMin(total - pos, int(sizes.bounded(1, 4000)));
            buffer.put(source.constData() + pos, len, LongWaitMs);
            storeTimedOut = buffer.isWriteTimeout();
            pos += len;
        }
    });

    QByteArray received;
    received.reserve(total);
    QRandomGenerator sizes(2);
    unsigned char piece[3000];
    bool takeTimedOut = false;
    while (received.size() < total && !takeTimedOut) {
        int got = 0;
        buffer.get(piece, int(sizes.bounded(1, 3000)), &got, LongWaitMs);
        takeTimedOut = buffer.isReadTimeout();
        received.append(reinterpret_cast<char *>(piece), got);
    }
    producer.join();

    QVERIFY(!storeTimedOut);
    QVERIFY(!takeTimedOut);
    QCOMPARE(received.size(), total);
    QVERIFY(received == source);
    QCOMPARE(buffer.count(), 0);
}

QTEST_GUILESS_MAIN(TestRingBuffer)
#include "tst_ringbuffer.moc"
