// kelpo-send against scripted receivers with the habits of real bootloaders, on a pseudo-terminal.
#include "peers.h"
#include "ptyreceiver.h"
#include "sendrun.h"
#include "testdata.h"

#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

Q_DECLARE_METATYPE(ReceiverHabits)

class TestReceivers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void receiverGetsTheFile_data();
    void receiverGetsTheFile();
    void endings_data();
    void endings();
    void stopCancelsOnTheLine();

private:
    // Quick reply waits; true once the session (or the steps before it) waits for the device.
    bool start(SendRun &run, const QString &port, const QStringList &options = {});

    QTemporaryDir m_dir;
    const QByteArray m_content = randomBytes(6 * 1024 + 300, 11);
};

void TestReceivers::initTestCase()
{
    PtyPair probe;
    SKIP_UNLESS_VALID_PTY(probe);
    writeFile(m_dir.filePath(QStringLiteral("fw.bin")), m_content);
}

bool TestReceivers::start(SendRun &run, const QString &port, const QStringList &options)
{
    run.start(QStringList(options) << QStringLiteral("--reply-timeout") << QStringLiteral("1") << port
                                   << m_dir.filePath(QStringLiteral("fw.bin")));
    return run.waitUntil([&] { return run.isWaitingForDevice(); }, 30000);
}

void TestReceivers::receiverGetsTheFile_data()
{
    QTest::addColumn<ReceiverHabits>("habits");
    QTest::addColumn<QStringList>("options");
    const auto row = [](const char *name, const ReceiverHabits &habits, const QStringList &options = {}) {
        QTest::newRow(name) << habits << options;
    };
    // Replies as they go on the line: \6 ACK, \25 NAK, \30 CAN.
    row("textbook", { .eotNaks = 1 });
    row("U-Boot loady, one damaged packet",
        { .askIntervalMs = 600,
            .blockZeroReply = "\6",
            .badReply = "C",
            .eotReply = "\6\6C",
            .damagePacket = 3,
            .charTimeoutMs = 2000 });
    // Its banner ends before its first request: the text before the session must not start it.
    row("ST IAP, erasing longer than a reply wait, one damaged packet",
        { .banner = "\r\n=  (C) COPYRIGHT 2010 STMicroelectronics  =\r\nWaiting for the file to be sent ... "
                    "(press 'a' to abort)\r\n",
            .askIntervalMs = 1000,
            .eraseMs = 1500,
            .repeatReply = "\25",
            .badReply = "C",
            .endAskDelayMs = 300,
            .maxErrors = 5,
            .damagePacket = 2,
            .charTimeoutMs = 400 },
        { QStringLiteral("--before"), QStringLiteral("expect:to abort") });
    row("barebox loady, one damaged packet", { .askIntervalMs = 500, .flush = true, .damagePacket = 4 });
    row("checksum only", { .request = "\25" });
    row("ST SBSFU, a dot in place of each request", { .request = "C\b." });
    row("ACK and C after every packet, together", { .ackReply = "\6C", .repeatReply = "\25" });
    row("ACK and C after every packet, apart", { .gapMs = 3, .ackReply = "\6C", .repeatReply = "\25" });
    row("two Cs, together", { .request = "CC", .repeatReply = "\25" });
    row("two Cs, apart", { .request = "CC", .gapMs = 30, .repeatReply = "\25" });
    row("ten NAKs for one packet", { .refusePacket = 2, .refuseTimes = 10 });
    row("noise and a lone CAN", { .noise = "\30\7" });
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
    QVERIFY2(run.waitForExit(30000) == 0, qPrintable(run.diagnostics() + receiver.log));
    QCOMPARE(receiver.fileName, QStringLiteral("fw.bin"));
    QVERIFY(receiver.completed && receiver.file == m_content);
    QCOMPARE(receiver.duplicates, 0);
    QCOMPARE(receiver.cancelBytes, 0);
    QVERIFY(run.summaryStartsWith(
        receiver.portPath(), QStringLiteral("completed, %1 bytes").arg(m_content.size())));
}

void TestReceivers::endings_data()
{
    QTest::addColumn<ReceiverHabits>("habits");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("cancelSent");
    const auto row = [](const char *name, const ReceiverHabits &habits, const QString &outcome,
                         const QString &line, bool cancelSent, const QStringList &options = {}) {
        QTest::newRow(name) << habits << options << outcome << line << cancelSent;
    };
    const char *resends = "[info]Resend more than 10 times, Cancel update";
    row("device cancels", { .refusePacket = 3, .refuseTimes = 1, .refuseReply = "\30\30" },
        "device-cancelled", "[info]The device cancelled the update.", false);
    row("file too large for the device", { .maxSize = 1000 }, "device-cancelled",
        "[info]The device refused the file", false);
    row("eleven NAKs for one packet", { .refusePacket = 2, .refuseTimes = 11 }, "gave-up", resends, true);
    row("EOT never taken", { .eotNaks = 100 }, "gave-up", resends, true);
    row("XMODEM receiver printing text after EOT",
        { .textAfterEot = "\r\n## Total Size      = 0x00001b00 = 6912 Bytes\r\n=> " }, "gave-up",
        "it may be an XMODEM receiver", false);
    row("never asks within the start time-out", { .asks = 0 }, "gave-up",
        "[info]The device never asked for the file within 0.3 s", false,
        { QStringLiteral("--start-timeout"), QStringLiteral("0.3") });
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
    QVERIFY2(run.waitForExit(30000) == 1, qPrintable(run.diagnostics() + receiver.log));
    QVERIFY2(run.out.contains(line.toUtf8())
            && run.summaryStartsWith(receiver.portPath(), outcome + QLatin1String(", ")),
        qPrintable(run.diagnostics()));
    QCOMPARE(receiver.cancelBytes > 0, cancelSent);
}

// An interrupt while the device erases reaches it as the cancel sequence at once, behind block 0 (before the
// first request, kelpo-send's own tests cover it).
void TestReceivers::stopCancelsOnTheLine()
{
    PtyPair device;
    SendRun run;
    QVERIFY2(start(run, device.slavePath()), qPrintable(run.diagnostics()));
    QVERIFY(device.write("C") && device.read(133).size() == 133 && run.signal(SIGINT));
    QCOMPARE(device.read(5, 2000), QByteArray(5, '\x18'));
    QCOMPARE(run.waitForExit(30000), 1);
    QVERIFY2(run.out.contains("[info]Cancel the update."), qPrintable(run.diagnostics()));
}

QTEST_GUILESS_MAIN(TestReceivers)
#include "tst_receivers.moc"
