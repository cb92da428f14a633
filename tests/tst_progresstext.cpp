#include "progresstext.h"

#include <QtTest>

class TestProgressText : public QObject
{
    Q_OBJECT

private slots:
    void duringTransfer_data();
    void duringTransfer();
    void atTheEnd_data();
    void atTheEnd();
};

void TestProgressText::duringTransfer_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("text");

    QTest::newRow("before the first figures") << 0 << qint64(0) << qint64(1000) << 0.0 << "0 %";
    QTest::newRow("no time measured yet") << 1 << qint64(1024) << qint64(100000) << 0.0 << "1 %";
    // 11.2 KiB/s: 11468.8 bytes a second; 194960 bytes left take just under 17 s.
    QTest::newRow("KiB/s and seconds left") << 42 << qint64(114688) << qint64(309648) << 10.0
                                            << QStringLiteral("42 % \u00b7 11.2 KiB/s \u00b7 0:17 left");
    QTest::newRow("a part of a second left rounds up")
        << 99 << qint64(9990) << qint64(10000) << 10.0
        << QStringLiteral("99 % \u00b7 999 B/s \u00b7 0:01 left");
    QTest::newRow("MiB/s") << 50 << qint64(4194304) << qint64(8388608) << 2.0
                           << QStringLiteral("50 % \u00b7 2.0 MiB/s \u00b7 0:02 left");
    QTest::newRow("minutes") << 10 << qint64(12000) << qint64(12000 + 1200 * 160) << 10.0
                             << QStringLiteral("10 % \u00b7 1.2 KiB/s \u00b7 2:40 left");
    QTest::newRow("hours") << 1 << qint64(100) << qint64(100 + 3725 * 100) << 10.0
                           << QStringLiteral("1 % \u00b7 10 B/s \u00b7 10:20:50 left");
    QTest::newRow("all sent") << 100 << qint64(2048) << qint64(2048) << 1.0
                              << QStringLiteral("100 % \u00b7 2.0 KiB/s \u00b7 0:00 left");
}

void TestProgressText::duringTransfer()
{
    QFETCH(int, percent);
    QFETCH(qint64, bytes);
    QFETCH(qint64, total);
    QFETCH(double, seconds);
    QFETCH(QString, text);

    TransferProgress progress;
    progress.percent = percent;
    progress.bytes = bytes;
    progress.total = total;
    progress.seconds = seconds;
    QCOMPARE(progressText(progress), text);
}

void TestProgressText::atTheEnd_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("text");

    QTest::newRow("completed") << int(TransferOutcome::Completed) << ""
                               << "Done";
    QTest::newRow("device cancelled") << int(TransferOutcome::DeviceCancelled) << "the device cancelled"
                                      << "Failed: the device cancelled";
    QTest::newRow("port lost") << int(TransferOutcome::PortLost) << "port lost"
                               << "Failed: port lost";
    QTest::newRow("cancelled") << int(TransferOutcome::Cancelled) << "cancelled"
                               << "Failed: cancelled";
}

void TestProgressText::atTheEnd()
{
    QFETCH(int, result);
    QFETCH(QString, reason);
    QFETCH(QString, text);

    TransferOutcome outcome;
    outcome.result = TransferOutcome::Result(result);
    outcome.reason = reason;
    QCOMPARE(outcomeText(outcome), text);
}

QTEST_GUILESS_MAIN(TestProgressText)
#include "tst_progresstext.moc"
