// kelpo-send against scripted receivers with the habits of real bootloaders, on a pseudo-terminal.
#include "peers.h"
#include "ptyreceiver.h"
#include "sendrun.h"
#include "testdata.h"

#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

Q_DECLARE_METATYPE(ReceiverHabits)

namespace {
const char PREPARE[] = "[info]Prepare to establish a connection.";
} // namespace

class TestReceivers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void receiverGetsTheFile_data();
    void receiverGetsTheFile();
    void endings_data();
    void endings();
    void stopCancelsOnTheLine_data();
    void stopCancelsOnTheLine();

private:
    // Starts kelpo-send on port with quick reply waits; true once its session (or its steps) wait for the
    // device.
    bool start(SendRun &run, const QString &port, const QStringList &options = {});

    QTemporaryDir m_dir;
    const QByteArray m_content = randomBytes(6 * 1024 + 300, 11);
    QString m_path;
};

void TestReceivers::initTestCase()
{
    PtyPair probe;
    SKIP_UNLESS_VALID_PTY(probe);
    m_path = writeFile(m_dir.filePath(QStringLiteral("fw.bin")), m_content);
}

bool TestReceivers::start(SendRun &run, const QString &port, const QStringList &options)
{
    run.start(options + QStringList { QStringLiteral("--reply-timeout"), QStringLiteral("1"), port, m_path });
    return run.waitUntil(
        [&] { return run.out.contains(PREPARE) || run.err.contains("running the steps"); }, 30000);
}

void TestReceivers::receiverGetsTheFile_data()
{
    QTest::addColumn<ReceiverHabits>("habits");
    QTest::addColumn<QStringList>("options");

    ReceiverHabits textbook;
    textbook.eotNaks = 1;
    QTest::newRow("textbook") << textbook << QStringList();

    ReceiverHabits uboot;
    uboot.askIntervalMs = 600;
    uboot.charTimeoutMs = 2000;
    uboot.cAfterBlockZero = false;
    uboot.badPacketReply = 'C';
    uboot.eotReply = "\x06\x06C";
    uboot.damagePacket = 3;
    QTest::newRow("U-Boot loady, one damaged packet") << uboot << QStringList();

    // The banner ends before the first request: the session must wait for it, not answer the text.
    ReceiverHabits st;
    st.banner = "\r\n=  (C) COPYRIGHT 2010 STMicroelectronics  =\r\nWaiting for the file to be sent ... "
                "(press 'a' to abort)\r\n";
    st.askIntervalMs = 1000;
    st.eraseMs = 1500;
    st.badPacketReply = 'C';
    st.nakRepeat = true;
    st.endAskDelayMs = 300;
    st.maxErrors = 5;
    st.damagePacket = 2;
    st.charTimeoutMs = 400;
    QTest::newRow("ST IAP, erasing longer than a reply wait, one damaged packet")
        << st << QStringList { QStringLiteral("--before"), QStringLiteral("expect:to abort") };

    ReceiverHabits barebox;
    barebox.askIntervalMs = 500;
    barebox.flushBadPacket = true;
    barebox.damagePacket = 4;
    QTest::newRow("barebox loady, one damaged packet") << barebox << QStringList();

    ReceiverHabits checksum;
    checksum.checksum = true;
    QTest::newRow("checksum only") << checksum << QStringList();

    ReceiverHabits pairs;
    pairs.cAfterEveryAck = true;
    pairs.nakRepeat = true;
    QTest::newRow("ACK and C after every packet, together") << pairs << QStringList();
    pairs.pairGapMs = 3;
    QTest::newRow("ACK and C after every packet, apart") << pairs << QStringList();

    ReceiverHabits twoCs;
    twoCs.requestsPerAsk = 2;
    twoCs.nakRepeat = true;
    QTest::newRow("two Cs, together") << twoCs << QStringList();
    twoCs.requestGapMs = 30;
    QTest::newRow("two Cs, apart") << twoCs << QStringList();

    ReceiverHabits refusing;
    refusing.refusePacket = 2;
    refusing.refuseTimes = 10;
    QTest::newRow("ten NAKs for one packet") << refusing << QStringList();

    ReceiverHabits noisy;
    noisy.noise = QByteArray("\x18\x07", 2);
    QTest::newRow("noise and a lone CAN") << noisy << QStringList();
}

// The file arrives byte for byte, no receiver is handed a packet it already has, and the summary says so.
void TestReceivers::receiverGetsTheFile()
{
    QFETCH(ReceiverHabits, habits);
    QFETCH(QStringList, options);

    PtyReceiver receiver(habits);
    SendRun run;
    QVERIFY2(start(run, receiver.portPath(), options), qPrintable(run.diagnostics()));
    receiver.run();
    QVERIFY2(run.waitForExit(30000) == 0, qPrintable(run.diagnostics() + receiver.log()));
    QVERIFY(receiver.completed());
    QCOMPARE(receiver.fileName(), QStringLiteral("fw.bin"));
    QVERIFY(receiver.file() == m_content);
    QCOMPARE(receiver.duplicates(), 0);
    QCOMPARE(receiver.cancelBytes(), 0);
    QVERIFY2(run.out.contains("Summary " + receiver.portPath().toLocal8Bit() + ": completed, "
                 + QByteArray::number(m_content.size()) + " bytes"),
        qPrintable(run.diagnostics()));
}

void TestReceivers::endings_data()
{
    QTest::addColumn<ReceiverHabits>("habits");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("cancelSent");

    ReceiverHabits cancelling;
    cancelling.refusePacket = 3;
    cancelling.refuseTimes = 1;
    cancelling.cancelAtRefused = true;
    QTest::newRow("device cancels") << cancelling << QStringList() << "device-cancelled"
                                    << "[info]The device cancelled the update." << false;
    ReceiverHabits small;
    small.maxSize = 1000;
    QTest::newRow("file too large for the device") << small << QStringList() << "device-cancelled"
                                                   << "[info]The device refused the file" << false;
    ReceiverHabits refusing;
    refusing.refusePacket = 2;
    refusing.refuseTimes = 11;
    QTest::newRow("eleven NAKs for one packet") << refusing << QStringList() << "gave-up"
                                                << "[info]Resend more than 10 times, Cancel update" << true;
    ReceiverHabits eotRefused;
    eotRefused.eotNaks = 100;
    QTest::newRow("EOT never taken") << eotRefused << QStringList() << "gave-up"
                                     << "[info]Resend more than 10 times, Cancel update" << true;
    ReceiverHabits xmodem;
    xmodem.textAfterEot = "\r\n## Total Size      = 0x00001b00 = 6912 Bytes\r\n=> ";
    QTest::newRow("XMODEM receiver printing text after EOT") << xmodem << QStringList() << "gave-up"
                                                             << "it may be an XMODEM receiver" << false;
    ReceiverHabits silent;
    silent.asks = 0;
    QTest::newRow("never asks within the start time-out")
        << silent << QStringList { QStringLiteral("--start-timeout"), QStringLiteral("0.3") } << "gave-up"
        << "[info]The device never asked for the file within 0.3 s" << false;
}

// Each way a session ends short of the file has its own outcome and line, and exits 1.
void TestReceivers::endings()
{
    QFETCH(ReceiverHabits, habits);
    QFETCH(QStringList, options);
    QFETCH(QString, outcome);
    QFETCH(QString, line);
    QFETCH(bool, cancelSent);

    PtyReceiver receiver(habits);
    SendRun run;
    QVERIFY2(start(run, receiver.portPath(), options), qPrintable(run.diagnostics()));
    receiver.run();
    QVERIFY2(run.waitForExit(30000) == 1, qPrintable(run.diagnostics() + receiver.log()));
    QVERIFY2(run.out.contains(line.toUtf8()), qPrintable(run.diagnostics()));
    QVERIFY2(run.out.contains(": " + outcome.toUtf8() + ", "), qPrintable(run.diagnostics()));
    QVERIFY(!run.out.contains("[info]Update process completed."));
    QCOMPARE(receiver.cancelBytes() > 0, cancelSent);
}

void TestReceivers::stopCancelsOnTheLine_data()
{
    QTest::addColumn<bool>("erasing");
    QTest::newRow("stopped before the first request") << false;
    QTest::newRow("stopped while the device erases") << true;
}

// An interrupt reaches the device as the cancel sequence at once, behind the packet on the line.
void TestReceivers::stopCancelsOnTheLine()
{
    QFETCH(bool, erasing);
    PtyPair device;
    SendRun run;
    QVERIFY2(start(run, device.slavePath()), qPrintable(run.diagnostics()));
    if (erasing) {
        QVERIFY(device.write("C"));
        QCOMPARE(device.read(133).size(), 133);
    }
    QVERIFY(run.signal(SIGINT));
    QCOMPARE(device.read(5, 2000), QByteArray(5, '\x18'));
    QCOMPARE(run.waitForExit(30000), 1);
    QVERIFY2(run.out.contains("[info]Cancel the update."), qPrintable(run.diagnostics()));
}

QTEST_GUILESS_MAIN(TestReceivers)
#include "tst_receivers.moc"
