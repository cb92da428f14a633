#include "ringbuffer.h"
#include "testdata.h"

#include <QtTest>
#include <thread>

namespace {

// Long enough never to run out on a loaded machine: a wake-up that never comes shows as a time-out.
const int LongWaitMs = 10000;
const int ShortWaitMs = 20;

// Takes everything stored, in pieces of at most maxLen; 0 takes it byte by byte.
QByteArray takeAll(RingBuffer &buffer, int maxLen)
{
    QByteArray taken;
    unsigned char piece[RingBuffer::Capacity];
    for (int got = 0; buffer.count() > 0; taken.append(reinterpret_cast<char *>(piece), got)) {
        if (maxLen == 0)
            got = buffer.getByte(reinterpret_cast<char *>(piece), ShortWaitMs) ? 1 : 0;
        else
            buffer.get(piece, maxLen, &got, ShortWaitMs);
    }
    return taken;
}

} // namespace

class TestRingBuffer : public QObject
{
    Q_OBJECT

private slots:
    void keepsOrderAcrossTheWrap_data();
    void keepsOrderAcrossTheWrap();
    void storeThatDoesNotFitStoresNothing();
    void blockedCallIsReleased_data();
    void blockedCallIsReleased();
};

void TestRingBuffer::keepsOrderAcrossTheWrap_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("pieceSize");
    QTest::newRow("ends exactly at the end") << 9400 << 600 << 1400;
    QTest::newRow("whole ring from the middle") << 5000 << 10000 << 1400;
    QTest::newRow("small pieces across the end") << 9990 << 50 << 7;
    QTest::newRow("single bytes across the end") << 9700 << 600 << 0;
}

void TestRingBuffer::keepsOrderAcrossTheWrap()
{
    QFETCH(int, offset);
    QFETCH(int, length);
    QFETCH(int, pieceSize);
    RingBuffer buffer;
    QVERIFY(buffer.put(randomBytes(offset, 1).constData(), offset, ShortWaitMs));
    QCOMPARE(takeAll(buffer, RingBuffer::Capacity).size(), offset);
    const QByteArray bytes = randomBytes(length, 2);
    for (int i = 0, step = qMax(pieceSize, 1); i < length; i += step)
        QVERIFY(buffer.put(bytes.constData() + i, qMin(step, length - i), ShortWaitMs));
    QCOMPARE(buffer.freeSpace(), RingBuffer::Capacity - length);
    QCOMPARE(takeAll(buffer, pieceSize), bytes);
}

// A block goes in whole or not at all, so that no half packet reaches the line.
void TestRingBuffer::storeThatDoesNotFitStoresNothing()
{
    RingBuffer buffer;
    const QByteArray first = randomBytes(9500, 3);
    QVERIFY(buffer.put(first.constData(), first.size(), ShortWaitMs));
    QVERIFY(buffer.put(randomBytes(600, 4).constData(), 600, ShortWaitMs));
    QVERIFY(buffer.isWriteTimeout());
    QVERIFY(buffer.put("last", 4, ShortWaitMs));
    QVERIFY(!buffer.isWriteTimeout());
    QCOMPARE(takeAll(buffer, 4096), first + "last");
}

void TestRingBuffer::blockedCallIsReleased_data()
{
    QTest::addColumn<bool>("store");
    QTest::addColumn<QString>("release");
    QTest::addColumn<bool>("result");
    QTest::addColumn<bool>("timedOut");
    QTest::newRow("take woken by a store") << false << "move" << true << false;
    QTest::newRow("store woken by a take") << true << "move" << true << false;
    QTest::newRow("abort releases a take") << false << "abort" << false << false;
    QTest::newRow("abort releases a store") << true << "abort" << false << false;
    QTest::newRow("interrupt ends a take as a time-out") << false << "interrupt" << true << true;
}

// A store into a full buffer or a take from an empty one waits in another thread until released.
void TestRingBuffer::blockedCallIsReleased()
{
    QFETCH(bool, store);
    QFETCH(QString, release);
    QFETCH(bool, result);
    QFETCH(bool, timedOut);
    RingBuffer buffer;
    const QByteArray full(RingBuffer::Capacity, 'f');
    QVERIFY(!store || buffer.put(full.constData(), full.size(), ShortWaitMs));
    char c = 0;
    // Sets the flag; the blocked call clears it under the lock, which it lets go of only inside its wait.
    QVERIFY(store ? buffer.putByte('x', ShortWaitMs) : buffer.getByte(&c, ShortWaitMs));
    const auto flag = [&] { return store ? buffer.isWriteTimeout() : buffer.isReadTimeout(); };
    bool returned = !result;
    bool flagged = !timedOut;
    std::thread call([&] {
        char byte = 0;
        returned = store ? buffer.putByte('x', LongWaitMs) : buffer.getByte(&byte, LongWaitMs);
        flagged = flag();
    });
    const bool blocked = QTest::qWaitFor([&] { return !flag(); }, LongWaitMs);
    if (release == "move")
        store ? buffer.getByte(&c, ShortWaitMs) : buffer.putByte('w', ShortWaitMs);
    else
        release == "abort" ? buffer.abort() : buffer.interrupt();
    call.join();
    QVERIFY(blocked);
    QCOMPARE(returned, result);
    QCOMPARE(flagged, timedOut);
}

QTEST_GUILESS_MAIN(TestRingBuffer)
#include "tst_ringbuffer.moc"
