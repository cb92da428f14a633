// The engine the way the window drives it (CommSerial, Controller, an observer) against the real rb on a
// pseudo-terminal.
#include "enginerun.h"
#include "testdata.h"
#include "rbreceiver.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void sendsFileWhole_data();
    void sendsFileWhole();
    void receiverCancelEndsSession();

private:
    void startUpload(Engine &engine, RbReceiver &rb, const QString &path,
        const TransferOptions &options = TransferOptions());

    QTemporaryDir m_files;
};

// Opens rb's port, starts the upload and lets rb in once the session waits for its C.
void TestEndToEnd::startUpload(
    Engine &engine, RbReceiver &rb, const QString &path, const TransferOptions &options)
{
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    QString error;
    QVERIFY2(engine.open(rb.portPath(), &error), qPrintable(error));
    SessionRecorder &recorder = engine.recorder;
    engine.controller->startUpload({ path, options });
    QVERIFY(recorder.waitUntil([&] {
        return recorder.messages.contains(QLatin1String("[info]Prepare to establish a connection."));
    }));
    rb.release();
}

void TestEndToEnd::sendsFileWhole_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("packets");

    const int ymodem = TransferOptions::YModem, mixed = TransferOptions::Mixed;
    for (int size : { 1, 128, 1024, 1025, 3000 })
        QTest::addRow("%d bytes", size)
            << QStringLiteral("fw.bin") << randomBytes(size, quint32(size)) << ymodem << mixed;
    QTest::newRow("3 MiB of random data")
        << QStringLiteral("image.bin") << randomBytes(3 * 1024 * 1024, 7) << ymodem << mixed;
    QTest::newRow("1K packets throughout")
        << QStringLiteral("fw.bin") << randomBytes(5000, 8) << ymodem << int(TransferOptions::OneK);
    // rx cannot know the length: it keeps the padding of the last packet.
    QTest::newRow("XMODEM into rx") << QStringLiteral("fw.bin") << randomBytes(3000, 9)
                                    << int(TransferOptions::XModem) << mixed;
    QTest::newRow("XMODEM-1K into rx")
        << QStringLiteral("fw.bin") << randomBytes(3000, 10) << int(TransferOptions::XModem1K) << mixed;
    // The last block is padded with 0x1A too: only the size in block 0 tells the receiver where the file
    // ends.
    QTest::newRow("tail of 0x1A") << QStringLiteral("eof.bin")
                                  << randomBytes(1000, 3) + QByteArray(40, '\x1a') << ymodem << mixed;
    QTest::newRow("spaces and accents in the name")
        << QStringLiteral("Prüf Datei für Gerät é.bin") << randomBytes(2000, 11) << ymodem << mixed;
}

void TestEndToEnd::sendsFileWhole()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(int, protocol);
    QFETCH(int, packets);
    QVERIFY(m_files.isValid());
    const QString path = m_files.filePath(name);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();

    TransferOptions options;
    options.protocol = TransferOptions::Protocol(protocol);
    options.packets = TransferOptions::Packets(packets);
    const bool xmodem = options.protocol != TransferOptions::YModem;
    RbReceiver rb(xmodem ? QStringLiteral("rx -b -c ") + name : QLatin1String(RbReceiver::RB));
    Engine engine;
    SessionRecorder &recorder = engine.recorder;
    startUpload(engine, rb, path, options);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(
        recorder.waitUntil([&] { return recorder.ends == 1; }), qPrintable(recorder.messages.join('\n')));
    QVERIFY2(rb.waitForFinished(), rb.diagnostics().constData());

    // rb acknowledges the first EOT, so the second one is never needed; XMODEM has no block 0.
    QStringList expected {
        QStringLiteral("[info]Prepare to establish a connection."),
        QStringLiteral("[info]During the process of establishing a connection..."),
        QStringLiteral("[info]Handshake successful! Start transmitting data."),
        QStringLiteral("[info]Data transmission completed."),
        QStringLiteral("[info]Update process completed."),
    };
    if (xmodem)
        expected.removeAt(1);
    QVERIFY2(recorder.messages == expected, qPrintable(recorder.messages.join('\n')));
    QVERIFY(!recorder.progress.isEmpty());
    QCOMPARE(recorder.progress.last(), 100);
    QVERIFY(std::is_sorted(recorder.progress.cbegin(), recorder.progress.cend()));
    QVERIFY(recorder.progress.first() >= 0);

    const QDir received(rb.receiveDir());
    QCOMPARE(received.entryList(QDir::Files), QStringList { name });
    QFile arrived(received.filePath(name));
    QVERIFY(arrived.open(QIODevice::ReadOnly));
    const QByteArray stored = arrived.readAll();
    const int padding = xmodem ? (128 - content.size() % 128) % 128 : 0;
    QVERIFY(stored == content + QByteArray(padding, '\x1a'));
}

// rb interrupted with SIGINT answers with its cancel bytes; the first is an unexpected reply and the next
// wake-up, the second, finishes the cancel at once instead of after a reply time-out.
void TestEndToEnd::receiverCancelEndsSession()
{
    QVERIFY(m_files.isValid());
    const QString path = m_files.filePath(QStringLiteral("cancelled.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(randomBytes(3 * 1024 * 1024, 5));
    file.close();

    RbReceiver rb;
    Engine engine;
    SessionRecorder &recorder = engine.recorder;
    startUpload(engine, rb, path);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(
        recorder.waitUntil([&] { return !recorder.progress.isEmpty() && recorder.progress.last() >= 5; }));
    QVERIFY(rb.interrupt());
    QVERIFY2(
        recorder.waitUntil([&] { return recorder.ends == 1; }), qPrintable(recorder.messages.join('\n')));

    QVERIFY(recorder.progress.last() < 100);
    QVERIFY(!recorder.messages.contains(QLatin1String("[info]Update process completed.")));
    // rb leaves as it cancels: the port may hang up before its cancel has been read, which ends the session
    // just as well.
    const QList<TransferOutcome::Result> endings { TransferOutcome::DeviceCancelled,
        TransferOutcome::PortLost };
    QVERIFY2(endings.contains(recorder.outcome.result), qPrintable(recorder.messages.join('\n')));
    for (const QString &message : qAsConst(recorder.messages))
        QVERIFY2(!message.contains(QLatin1String("retransmission")), qPrintable(message));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
