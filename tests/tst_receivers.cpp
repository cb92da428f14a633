// The engine against scripted receivers with the habits of real bootloaders, over a pseudo-terminal.
#include "enginerun.h"
#include "ptypair.h"
#include "ptyreceiver.h"
#include "testdata.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(ReceiverHabits)
Q_DECLARE_METATYPE(TransferOutcome::Result)

namespace {
const QByteArray ST_BANNER = "\r\n======================================================\r\n"
                             "=  (C) COPYRIGHT 2010 STMicroelectronics             =\r\n"
                             "=  In-Application Programming Application (Version 3.3.0) =\r\n"
                             "======================================================\r\n\r\n"
                             "Waiting for the file to be sent ... (press 'a' to abort)\r\n";
const QByteArray CANCEL_SEQUENCE(5, '\x18');

// Reply waits short enough for a test, so that a forced time-out costs little.
TransferOptions quickOptions()
{
    TransferOptions options;
    options.replyTimeoutMs = 1000;
    return options;
}
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
    void waitingReceiverIsAnsweredAtOnce();
    void cancelReachesTheDeviceAtOnce_data();
    void cancelReachesTheDeviceAtOnce();

private:
    QString writeFile(const QByteArray &content);

    QTemporaryDir m_dir;
};

void TestReceivers::initTestCase()
{
    QVERIFY(m_dir.isValid());
    PtyPair probe;
    if (!probe.isValid())
        QSKIP(qPrintable(QStringLiteral("no pseudo-terminals here: ") + probe.errorString()));
}

QString TestReceivers::writeFile(const QByteArray &content)
{
    const QString path = m_dir.filePath(QStringLiteral("fw.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestReceivers::receiverGetsTheFile_data()
{
    QTest::addColumn<ReceiverHabits>("habits");

    ReceiverHabits textbook;
    textbook.eot = ReceiverHabits::NakFirstEot;
    QTest::newRow("textbook") << textbook;

    ReceiverHabits uboot;
    uboot.askIntervalMs = 600;
    uboot.charTimeoutMs = 2000;
    uboot.cAfterBlockZero = false;
    uboot.badPacket = ReceiverHabits::AskC;
    uboot.eot = ReceiverHabits::AckTwiceThenC;
    QTest::newRow("U-Boot loady") << uboot;
    uboot.charTimeoutMs = 400;
    uboot.damagePacket = 3;
    QTest::newRow("U-Boot loady, one damaged packet") << uboot;

    ReceiverHabits st;
    st.banner = ST_BANNER;
    st.eraseMs = 1500;
    st.badPacket = ReceiverHabits::AskC;
    st.nakRepeat = true;
    st.eot = ReceiverHabits::AckThenCLater;
    st.maxErrors = 5;
    st.damagePacket = 2;
    // It asks again well before the sender's reply wait runs out, as the real one does.
    st.charTimeoutMs = 400;
    QTest::newRow("ST IAP, erasing longer than a reply wait, one damaged packet") << st;

    ReceiverHabits barebox;
    barebox.askIntervalMs = 500;
    barebox.badPacket = ReceiverHabits::FlushThenNak;
    barebox.damagePacket = 4;
    QTest::newRow("barebox loady, one damaged packet") << barebox;

    ReceiverHabits checksum;
    checksum.checksum = true;
    QTest::newRow("checksum only") << checksum;

    ReceiverHabits pairs;
    pairs.cAfterEveryAck = true;
    pairs.nakRepeat = true;
    QTest::newRow("ACK and C after every packet, together") << pairs;
    pairs.pairGapMs = 3;
    QTest::newRow("ACK and C after every packet, apart") << pairs;

    ReceiverHabits twoCs;
    twoCs.requestsPerAsk = 2;
    twoCs.nakRepeat = true;
    QTest::newRow("two Cs, together") << twoCs;
    twoCs.requestGapMs = 30;
    QTest::newRow("two Cs, apart") << twoCs;

    ReceiverHabits refusing;
    refusing.refusePacket = 2;
    refusing.refuseTimes = 10;
    QTest::newRow("ten NAKs for one packet") << refusing;

    // More retries in all than one packet may take: the count starts again with every packet.
    ReceiverHabits noisy;
    noisy.nakEveryPacket = 2;
    noisy.noise = QByteArray("\x18\x07", 2);
    QTest::newRow("two NAKs for every packet, a lone CAN and noise") << noisy;
}

// kelpo-send gets the file into every receiver byte for byte, and hands none a packet it already has.
void TestReceivers::receiverGetsTheFile()
{
    QFETCH(ReceiverHabits, habits);

    const QByteArray content = randomBytes(6 * 1024 + 300, 11);
    const QString path = writeFile(content);
    PtyReceiver receiver(habits);
    QVERIFY2(receiver.isValid(), qPrintable(receiver.errorString()));
    QProcess sender;
    sender.start(QStringLiteral(KELPO_BINARY_DIR "/kelpo-send"),
        { QStringLiteral("--reply-timeout"), QString::number(quickOptions().replyTimeoutMs / 1000.0),
            receiver.portPath(), path });
    // The receiver asks once kelpo-send holds the port, as a board reset after the start would.
    QByteArray shown;
    while (!shown.contains("[info]Prepare to establish a connection.") && sender.waitForReadyRead(10000))
        shown += sender.readAllStandardOutput();
    receiver.start();
    const bool ended = sender.waitForFinished(20000);
    if (!ended) {
        sender.kill();
        sender.waitForFinished();
    }
    const QString transcript
        = QString::fromLocal8Bit(shown + sender.readAllStandardOutput() + sender.readAllStandardError());
    QVERIFY2(ended, qPrintable(transcript));
    QVERIFY2(receiver.wait(), qPrintable(receiver.log()));
    QVERIFY2(sender.exitStatus() == QProcess::NormalExit && sender.exitCode() == 0,
        qPrintable(transcript + receiver.log()));
    QVERIFY2(transcript.contains(QLatin1String("[info]Update process completed.")), qPrintable(transcript));
    QVERIFY(receiver.completed());
    QCOMPARE(receiver.fileName(), QStringLiteral("fw.bin"));
    QVERIFY(receiver.file() == content);
    QCOMPARE(receiver.duplicates(), 0);
    // Nobody waited for the other side: a receiver that does not ask for data gets it all the same.
    if (habits.damagePacket == 0)
        QCOMPARE(receiver.timeouts(), 0);
    QCOMPARE(receiver.cancelBytes(), 0);
}

void TestReceivers::endings_data()
{
    QTest::addColumn<ReceiverHabits>("habits");
    QTest::addColumn<int>("startTimeoutMs");
    QTest::addColumn<TransferOutcome::Result>("result");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("cancelSent");

    ReceiverHabits cancelling;
    cancelling.refusePacket = 3;
    cancelling.refuseTimes = 1;
    cancelling.cancelAtRefused = true;
    QTest::newRow("device cancels") << cancelling << 0 << TransferOutcome::DeviceCancelled
                                    << QStringLiteral("The device cancelled the update.") << false;

    ReceiverHabits small;
    small.maxSize = 1000;
    QTest::newRow("file too large for the device") << small << 0 << TransferOutcome::DeviceCancelled
                                                   << QStringLiteral("The device refused the file") << false;

    ReceiverHabits refusing;
    refusing.refusePacket = 2;
    refusing.refuseTimes = 11;
    QTest::newRow("eleven NAKs for one packet")
        << refusing << 0 << TransferOutcome::GaveUp
        << QStringLiteral("Resend more than 10 times, Cancel update") << true;

    ReceiverHabits xmodem;
    xmodem.textAfterEot = "\r\n## Total Size      = 0x00001b00 = 6912 Bytes\r\n=> ";
    QTest::newRow("XMODEM receiver") << xmodem << 0 << TransferOutcome::GaveUp
                                     << QStringLiteral("it may be an XMODEM receiver") << false;

    ReceiverHabits silent;
    silent.requestsPerAsk = 0;
    silent.maxAsks = 1;
    QTest::newRow("never asks") << silent << 300 << TransferOutcome::GaveUp
                                << QStringLiteral("The device never asked for the file within 0.3 s")
                                << false;
}

// Each way a session can end short of the file has its own outcome and its own line.
void TestReceivers::endings()
{
    QFETCH(ReceiverHabits, habits);
    QFETCH(int, startTimeoutMs);
    QFETCH(TransferOutcome::Result, result);
    QFETCH(QString, line);
    QFETCH(bool, cancelSent);

    const QString path = writeFile(randomBytes(6 * 1024 + 300, 12));
    PtyReceiver receiver(habits);
    QVERIFY2(receiver.isValid(), qPrintable(receiver.errorString()));
    Engine engine;
    QString error;
    QVERIFY2(engine.open(receiver.portPath(), &error), qPrintable(error));
    receiver.start();
    TransferOptions options = quickOptions();
    options.startTimeoutMs = startTimeoutMs;
    engine.controller->startUpload({ path, options });

    QVERIFY2(engine.recorder.waitForEnd(), qPrintable(engine.recorder.messages.join('\n')));
    QCOMPARE(engine.recorder.outcome.result, result);
    QVERIFY2(engine.recorder.messages.last().contains(line), qPrintable(engine.recorder.messages.last()));
    QVERIFY(!engine.recorder.messages.contains(QStringLiteral("[info]Update process completed.")));
    QVERIFY(receiver.wait());
    QCOMPARE(receiver.cancelBytes() > 0, cancelSent);
}

// A receiver that asked just before the download was started, and asks only every few seconds, is answered
// at once; what the device printed before is shown.
void TestReceivers::waitingReceiverIsAnsweredAtOnce()
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    Engine engine;
    QString error;
    QVERIFY2(engine.open(device.slavePath(), &error), qPrintable(error));
    QVERIFY(device.write("## Ready for binary (ymodem) download\r\nC"));
    engine.controller->startUpload({ writeFile(randomBytes(500, 13)), quickOptions() });

    const QByteArray blockZero = device.read(133, 2000);
    QCOMPARE(blockZero.size(), 133);
    QCOMPARE(blockZero.left(3), QByteArray("\x01\x00\xff", 3));
    QVERIFY(
        engine.recorder.waitUntil([&] { return engine.recorder.deviceText.contains("Ready for binary"); }));
    engine.controller->stopHandle();
    QVERIFY(engine.recorder.waitForEnd());
}

void TestReceivers::cancelReachesTheDeviceAtOnce_data()
{
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("closing");

    QTest::newRow("stop before the first request") << false << false;
    QTest::newRow("stop while the device erases") << true << false;
    QTest::newRow("closing while the device erases") << true << true;
}

// The operator's stop and closing the program wake the session at once; the cancel sequence follows the
// packet on the line and reaches the device well within a second.
void TestReceivers::cancelReachesTheDeviceAtOnce()
{
    QFETCH(bool, started);
    QFETCH(bool, closing);

    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    auto engine = std::make_unique<Engine>();
    QString error;
    QVERIFY2(engine->open(device.slavePath(), &error), qPrintable(error));
    engine->controller->startUpload({ writeFile(randomBytes(5000, 14)), quickOptions() });
    QVERIFY(engine->recorder.waitForLine(QStringLiteral("[info]Prepare to establish a connection.")));
    if (started) {
        QVERIFY(device.write("C"));
        QCOMPARE(device.read(133, 2000).size(), 133);
    }
    if (closing) {
        engine.reset();
    } else {
        engine->controller->stopHandle();
        QVERIFY(engine->recorder.waitForEnd());
        QCOMPARE(engine->recorder.outcome.result, TransferOutcome::Cancelled);
        QCOMPARE(engine->recorder.messages.last(), QStringLiteral("[info]Cancel the update."));
    }
    QCOMPARE(device.read(CANCEL_SEQUENCE.size(), 1000), CANCEL_SEQUENCE);
}

QTEST_GUILESS_MAIN(TestReceivers)
#include "tst_receivers.moc"
