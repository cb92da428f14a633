#include "handlethread.h"
#include "log.h"
#include "testdata.h"
#include "scriptedchannel.h"
#include "scriptedreceiver.h"
#include "ymodem.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using Frame = ScriptedReceiver::Frame;
using Arrival = ScriptedReceiver::Arrival;

namespace {
const char ACK = 0x06, NAK = 0x15, CAN = 0x18, C = 'C';

const QStringList NORMAL_LINES {
    QStringLiteral("[info]Prepare to establish a connection."),
    QStringLiteral("[info]During the process of establishing a connection..."),
    QStringLiteral("[info]Handshake successful! Start transmitting data."),
    QStringLiteral("[info]Data transmission completed."),
    QStringLiteral("[info]Update process completed."),
};

QStringList linesWithSecondEot()
{
    QStringList lines = NORMAL_LINES;
    lines.insert(4, QStringLiteral("[info]Sending data completed EOT."));
    return lines;
}

QStringList texts(const QSignalSpy &spy)
{
    QStringList lines;
    for (const QList<QVariant> &args : spy)
        lines << args.at(0).toString();
    return lines;
}

// One upload session run to its end in the calling thread, with everything it reported.
struct Run
{
    explicit Run(const QString &path)
        : receiver(channel)
        , handle(&channel)
        , messages(&handle, &HandleThread::sigMessage)
        , progress(&handle, &HandleThread::sigProgress)
        , ends(&handle, &HandleThread::sigUpdateEnd)
        , m_path(path)
    { }

    void exec() { handle.slotStartUpload({ m_path, TransferOptions() }); }

    QList<int> progressValues() const
    {
        QList<int> values;
        for (const QList<QVariant> &args : progress)
            values << args.at(0).value<TransferProgress>().percent;
        return values;
    }

    TransferOutcome::Result result() const
    {
        return ends.isEmpty() ? TransferOutcome::Cancelled
                              : ends.last().at(0).value<TransferOutcome>().result;
    }

    ScriptedChannel channel;
    ScriptedReceiver receiver;
    HandleThread handle;
    QSignalSpy messages;
    QSignalSpy progress;
    QSignalSpy ends;
    QString m_path;
};
} // namespace

class TestHandleThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void normalSession_data();
    void normalSession();
    void abortedChannelEndsSilently();
    void lostPortEndsAtOnce();
    void staleInputIsDrained();
    void repeatedEotAcknowledgementIsIgnored();
    void repliesWaitingBeforeAPacketAreNoAnswer_data();
    void repliesWaitingBeforeAPacketAreNoAnswer();
    void unsendableFileIsRefused_data();
    void unsendableFileIsRefused();
    void fileShrinkingDuringTransferCancels();
    void monitorBatchesDeviceOutput();
    void monitorStopShowsPendingBytes();
    void monitorLeavesAbortedChannel();

private:
    QString writeFile(const QString &name, const QByteArray &content);
    QString logText() const;

    QTemporaryDir m_dir;
};

void TestHandleThread::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir::setCurrent(m_dir.path()));
    Log::instance()->init(2, "session");
}

QString TestHandleThread::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QString TestHandleThread::logText() const
{
    QString text;
    const QDir logDir(m_dir.filePath(QStringLiteral("log")));
    for (const QString &name : logDir.entryList(QDir::Files)) {
        QFile file(logDir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

void TestHandleThread::normalSession_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("nakFirstEot");
    QTest::addColumn<int>("dataPackets");

    QTest::newRow("1") << 1 << false << 1;
    QTest::newRow("127") << 127 << true << 1;
    QTest::newRow("128") << 128 << false << 1;
    QTest::newRow("129") << 129 << true << 2;
    QTest::newRow("1023") << 1023 << false << 8;
    QTest::newRow("1024") << 1024 << true << 8;
    QTest::newRow("1025") << 1025 << false << 2;
    QTest::newRow("3000") << 3000 << true << 10;
    // 400 packets: the block number wraps past 255 twice over.
    QTest::newRow("wrapping") << 393 * 1024 + 7 * 128 << false << 393 + 7;
}

void TestHandleThread::normalSession()
{
    QFETCH(int, size);
    QFETCH(bool, nakFirstEot);
    QFETCH(int, dataPackets);

    const QByteArray content = randomBytes(size, quint32(size));
    Run run(writeFile(QStringLiteral("fw.bin"), content));
    run.receiver.setNakFirstEot(nakFirstEot);
    run.receiver.start();
    run.exec();

    QCOMPARE(texts(run.messages), nakFirstEot ? linesWithSecondEot() : NORMAL_LINES);
    QCOMPARE(run.ends.count(), 1);
    QVERIFY(run.receiver.completed());
    QCOMPARE(run.receiver.badBlocks(), 0);
    QCOMPARE(run.receiver.cancelBytes(), 0);
    QCOMPARE(run.receiver.fileName(), QStringLiteral("fw.bin"));
    QCOMPARE(run.receiver.fileSize(), qint64(size));
    QVERIFY(run.receiver.file() == content);

    const QList<int> values = run.progressValues();
    QCOMPARE(values.size(), dataPackets);
    QVERIFY(std::is_sorted(values.begin(), values.end()));
    QCOMPARE(values.last(), 100);
}

void TestHandleThread::abortedChannelEndsSilently()
{
    Run run(writeFile(QStringLiteral("fw.bin"), randomBytes(5000, 1)));
    run.receiver.setAnswerHook([](const Arrival &arrival, ScriptedChannel &channel) {
        if (arrival.frame != Frame::Data || arrival.ordinal != 3)
            return false;
        channel.pushAbort();
        return true;
    });
    run.receiver.start();
    run.exec();

    QCOMPARE(texts(run.messages), NORMAL_LINES.mid(0, 3));
    QCOMPARE(run.receiver.cancelBytes(), 0);
    QCOMPARE(run.ends.count(), 1);
}

void TestHandleThread::lostPortEndsAtOnce()
{
    const QString lost = QStringLiteral("Serial port /dev/ttyUSB0 lost: Input/output error");
    Run run(writeFile(QStringLiteral("fw.bin"), randomBytes(5000, 1)));
    run.receiver.setAnswerHook([&](const Arrival &arrival, ScriptedChannel &channel) {
        if (arrival.frame != Frame::Data || arrival.ordinal != 2)
            return false;
        channel.setLineError(lost);
        channel.pushTimeout();
        return true;
    });
    run.receiver.start();
    run.exec();

    QCOMPARE(texts(run.messages),
        NORMAL_LINES.mid(0, 3) << QStringLiteral("[info]") + lost + QStringLiteral(", Cancel update"));
    QCOMPARE(run.receiver.cancelBytes(), 0);
    QCOMPARE(run.ends.count(), 1);

    // A port already lost when the download is asked for refuses it before anything is sent.
    Run again(writeFile(QStringLiteral("fw.bin"), randomBytes(5000, 1)));
    again.channel.setLineError(lost);
    again.receiver.start();
    again.exec();
    QCOMPARE(texts(again.messages),
        QStringList { QStringLiteral("[info]") + lost + QStringLiteral(", Cancel update") });
    QVERIFY(again.channel.writes().isEmpty());
}

void TestHandleThread::staleInputIsDrained()
{
    const QByteArray content = randomBytes(2000, 1);
    Run run(writeFile(QStringLiteral("fw.bin"), content));
    // The tail of a boot log, holding every byte the session would react to.
    run.channel.pushBytes(QByteArray("U-Boot ready\r\nC") + ACK + NAK + C + QByteArray(3000, 'x'));
    run.receiver.start();
    run.exec();

    QCOMPARE(texts(run.messages), NORMAL_LINES);
    QVERIFY(run.receiver.file() == content);
}

void TestHandleThread::repeatedEotAcknowledgementIsIgnored()
{
    const QByteArray content = randomBytes(1500, 1);
    Run run(writeFile(QStringLiteral("fw.bin"), content));
    run.receiver.setAnswerHook([](const Arrival &arrival, ScriptedChannel &channel) {
        if (arrival.frame != Frame::Eot)
            return false;
        channel.pushBytes(QByteArray(2, ACK) + C);
        return true;
    });
    run.receiver.start();
    run.exec();

    QCOMPARE(texts(run.messages), NORMAL_LINES);
    QVERIFY(run.receiver.completed());
    QCOMPARE(run.receiver.cancelBytes(), 0);
}

// A reply doubled on the line is still there when the next packet leaves. Taken as that packet's answer it
// would put the session a packet ahead of the receiver; a cancel among such bytes must still end it.
void TestHandleThread::repliesWaitingBeforeAPacketAreNoAnswer_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("completes");
    QTest::addColumn<QStringList>("lines");

    QStringList resentOnce = NORMAL_LINES;
    resentOnce.insert(
        3, QStringLiteral("[info]Resend data packet, packet number is:2，Total number of packages:10"));
    QTest::newRow("doubled ACK") << QByteArray(2, ACK) << true << NORMAL_LINES;
    QTest::newRow("doubled NAK") << QByteArray(2, NAK) << true << resentOnce;
    QTest::newRow("cancel behind the ACK")
        << QByteArray(1, ACK) + QByteArray(2, CAN) << false
        << QStringList({ NORMAL_LINES.at(0), NORMAL_LINES.at(1), NORMAL_LINES.at(2),
               QStringLiteral("[info]The device cancelled the update. Start its receiver again, then send "
                              "the file again.") });
}

void TestHandleThread::repliesWaitingBeforeAPacketAreNoAnswer()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, completes);
    QFETCH(QStringList, lines);

    const QByteArray content = randomBytes(3000, 1);
    Run run(writeFile(QStringLiteral("fw.bin"), content));
    run.receiver.setAnswerHook([&](const Arrival &arrival, ScriptedChannel &channel) {
        if (arrival.frame != Frame::Data || arrival.ordinal != 2)
            return false;
        channel.pushBytes(reply);
        // Nothing more comes until the session acts on the cancel.
        if (!completes)
            channel.pushTimeout();
        return true;
    });
    run.receiver.start();
    run.exec();

    QCOMPARE(texts(run.messages), lines);
    QCOMPARE(run.receiver.completed(), completes);
    QCOMPARE(run.receiver.badBlocks(), 0);
    if (completes)
        QVERIFY(run.receiver.file() == content);
    else
        QCOMPARE(run.receiver.cancelBytes(), 0);
}

void TestHandleThread::unsendableFileIsRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("reason");

    QTest::newRow("missing") << QStringLiteral("missing.bin") << qint64(-1) << QStringLiteral("Cannot open");
    QTest::newRow("FIFO") << QStringLiteral("fifo") << qint64(-2) << QStringLiteral("not a regular file");
    QTest::newRow("folder") << QStringLiteral("folder") << qint64(-3) << QStringLiteral("not a regular file");
    QTest::newRow("empty") << QStringLiteral("empty %s%n.bin") << qint64(0) << QStringLiteral("is empty");
    QTest::newRow("too large") << QStringLiteral("huge.bin") << qint64(1) << QStringLiteral("more than");
    QTest::newRow("name too long") << QString(120, QLatin1Char('n')) + QStringLiteral(".bin") << qint64(100)
                                   << QStringLiteral("too long");
}

void TestHandleThread::unsendableFileIsRefused()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(QString, reason);

    const QString path = m_dir.filePath(name);
    if (size >= 0) {
        writeFile(name, randomBytes(int(size), 1));
        // A sparse file costs no disk.
        if (name == QLatin1String("huge.bin"))
            QVERIFY(QFile::resize(path, qint64(1) << 31));
    } else if (size == -2) {
        // Opening it would wait for a writer for good.
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    } else if (size == -3) {
        QVERIFY(QDir(m_dir.path()).mkdir(name));
    }
    Run run(path);
    run.receiver.start();
    run.exec();

    const QStringList lines = texts(run.messages);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(QLatin1String("[info]")), qPrintable(lines.first()));
    QVERIFY2(lines.first().contains(reason), qPrintable(lines.first()));
    QVERIFY2(lines.first().contains(QDir::toNativeSeparators(path)), qPrintable(lines.first()));
    QVERIFY(run.channel.writes().isEmpty());
    QCOMPARE(run.ends.count(), 1);
    QCOMPARE(run.result(), TransferOutcome::Refused);
    // Logged as an error, with the name as it stands even where it holds conversions.
    const QString logged = lines.first().mid(6);
    QTRY_VERIFY(logText().contains(QLatin1String("[ERROR] ")) && logText().contains(logged));
}

void TestHandleThread::fileShrinkingDuringTransferCancels()
{
    const QString path = writeFile(QStringLiteral("shrinking.bin"), randomBytes(6000, 1));
    Run run(path);
    run.receiver.setAnswerHook([&](const Arrival &arrival, ScriptedChannel &) {
        if (arrival.frame == Frame::Data && arrival.ordinal == 2)
            QFile::resize(path, 1500);
        return false;
    });
    run.receiver.start();
    run.exec();

    const QStringList lines = texts(run.messages);
    QVERIFY2(lines.last().startsWith(QLatin1String("[info]Cannot read the firmware file")),
        qPrintable(lines.last()));
    QVERIFY(!lines.contains(QStringLiteral("[info]Data transmission completed.")));
    QCOMPARE(run.receiver.cancelBytes(), 5);
    QCOMPARE(run.ends.count(), 1);
    // Nothing but file bytes went out in data packets: no filler stood in for what could not be read.
    QVERIFY(run.receiver.file().size() <= 1500 + 1024);
}

void TestHandleThread::monitorBatchesDeviceOutput()
{
    ScriptedChannel channel;
    HandleThread handle(&channel);
    QSignalSpy messages(&handle, &HandleThread::sigDeviceText);

    channel.pushBytes("hello");
    channel.pushTimeout();
    const QByteArray burst = QByteArray(24000, 'a') + QByteArray(1000, 'b');
    for (int offset = 0; offset < burst.size(); offset += 1400)
        channel.pushBytes(burst.mid(offset, 1400));
    channel.pushTimeout(2);
    channel.pushAction([&] { handle.stop(); });
    channel.pushTimeout();
    handle.slotStartDataRecv();

    QCOMPARE(texts(messages),
        QStringList({ QStringLiteral("hello"), QString::fromLatin1(burst.left(20000)),
            QString::fromLatin1(burst.mid(20000)) }));
    QCOMPARE(messages.count(), 3);
}

void TestHandleThread::monitorStopShowsPendingBytes()
{
    ScriptedChannel channel;
    HandleThread handle(&channel);
    QSignalSpy texts(&handle, &HandleThread::sigDeviceText);

    channel.pushBytes("abc");
    channel.pushAction([&] { handle.stop(); });
    channel.pushBytes("def");
    channel.pushTimeout();
    handle.slotStartDataRecv();

    QCOMPARE(texts.count(), 1);
    QCOMPARE(texts.at(0).at(0).toByteArray(), QByteArray("abc"));
}

void TestHandleThread::monitorLeavesAbortedChannel()
{
    ScriptedChannel channel;
    HandleThread handle(&channel);
    QSignalSpy messages(&handle, &HandleThread::sigDeviceText);

    channel.pushBytes("bye");
    channel.pushTimeout();
    channel.pushAbort();
    // Returns although nobody clears the run flag.
    handle.slotStartDataRecv();

    QCOMPARE(texts(messages), QStringList { QStringLiteral("bye") });
}

QTEST_GUILESS_MAIN(TestHandleThread)
#include "tst_handlethread.moc"
