#include "ringbuffer.h"

#include <QtTest>
#include <thread>

class TestRingBuffer : public QObject
{
    Q_OBJECT

    // Long enough never to run out on a loaded machine: a wake-up that never comes shows as a time-out.
    static constexpr int LongWaitMs = 10000;
    static constexpr int ShortWaitMs = 20;

private slots:
    void blockedCallIsReleased_data()
    {
        QTest::addColumn<bool>("store");
        QTest::addColumn<QString>("release");
        QTest::newRow("take woken by a store") << false << "move";
        QTest::newRow("store woken by a take") << true << "move";
        QTest::newRow("abort releases a take") << false << "abort";
        QTest::newRow("abort releases a store") << true << "abort";
        QTest::newRow("interrupt ends a take as a time-out") << false << "interrupt";
    }

    // A store into a full buffer or a take from an empty one waits until released; a late store adds nothing.
    void blockedCallIsReleased()
    {
        QFETCH(bool, store);
        QFETCH(QString, release);
        RingBuffer buffer;
        const QByteArray full(RingBuffer::Capacity, 'f');
        QVERIFY(!store || buffer.put(full.constData(), full.size(), ShortWaitMs));
        char c = 0;
        // Sets the flag; the blocked call clears it under the lock, which it lets go of only inside its wait.
        QVERIFY(store ? buffer.putByte('x', ShortWaitMs) : buffer.getByte(&c, ShortWaitMs));
        QCOMPARE(buffer.count(), store ? int(RingBuffer::Capacity) : 0);
        const auto flag = [&] { return store ? buffer.isWriteTimeout() : buffer.isReadTimeout(); };
        bool returned = false, flagged = true;
        std::thread call([&] {
            char byte = 'y';
            returned = store ? buffer.putByte(byte, LongWaitMs) : buffer.getByte(&byte, LongWaitMs);
            flagged = flag();
        });
        const bool blocked = QTest::qWaitFor([&] { return !flag(); }, LongWaitMs);
        if (release == "move")
            store ? buffer.getByte(&c, ShortWaitMs) : buffer.putByte('w', ShortWaitMs);
        else
            release == "abort" ? buffer.abort() : buffer.interrupt();
        call.join();
        QCOMPARE(QVector<bool>({ blocked, returned, flagged }),
            QVector<bool>({ true, release != "abort", release == "interrupt" }));
    }
};

QTEST_GUILESS_MAIN(TestRingBuffer)
#include "tst_ringbuffer.moc"
