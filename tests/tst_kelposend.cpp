// kelpo-send run as users and station scripts run it: into lrzsz's rb and rx behind socat, against devices
// played by hand on pseudo-terminals, and against U-Boot under QEMU.
#include "peers.h"
#include "ptypair.h"
#include "rbreceiver.h"
#include "sendrun.h"
#include "testdata.h"
#include "ubootboard.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <termios.h>

namespace {
const QByteArray PREPARE("[info]Prepare to establish a connection.");
const QByteArray CANCEL(5, '\x18');

QStringList split(const QString &arguments)
{
    return arguments.split(QLatin1Char('|'), Qt::SkipEmptyParts);
}

// "OUTCOME, BYTES" from the port's summary line; empty when there is none.
QString summaryOf(const SendRun &run, const QString &port)
{
    const QRegularExpression line(
        QStringLiteral("^Summary %1: ([a-z-]+, \\d+) bytes").arg(QRegularExpression::escape(port)),
        QRegularExpression::MultilineOption);
    return line.match(QString::fromLocal8Bit(run.out)).captured(1);
}

} // namespace

class TestKelpoSend : public QObject
{
    Q_OBJECT

private slots:
    void rejectsBadUsage_data();
    void rejectsBadUsage();
    void sendsFile_data();
    void sendsFile();
    void runsStepsOnEveryPort();
    void endsPortEarly_data();
    void endsPortEarly();
    void reportsJsonLines();
    void flashesUBoot();

private:
    QTemporaryDir m_files;
};

void TestKelpoSend::rejectsBadUsage_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("complaint");
    const auto row = [](const char *name, const char *arguments, const char *complaint) {
        QTest::newRow(name) << QString::fromUtf8(arguments) << QString::fromUtf8(complaint);
    };
    row("nothing", "", "at least one PORT");
    row("port given twice", "ttyUSB0|ttyUSB0:USB serial|fw.bin", "the port ttyUSB0 is given twice");
    row("baud not a number", "--baud|fast|ttyUSB0|fw.bin", "must be a positive number, not \"fast\"");
    row("expect time-out zero", "--expect-timeout=0|ttyUSB0|fw.bin", "--expect-timeout \"0\"");
    row("unknown protocol", "--protocol=zmodem|ttyUSB0|fw.bin", "--protocol \"zmodem\" is not accepted");
    row("step without a kind", "--before|hello|ttyUSB0|fw.bin", "--before \"hello\" has no kind");
    row("unknown escape", "--before|send:reset\\q|ttyUSB0|fw.bin", "unknown escape \"\\q\"");
    row("line twice", "--before|lines:dtr=1,dtr=0|ttyUSB0|fw.bin", "sets \"dtr=0\"");
    row("negative wait", "--before|wait:-5|ttyUSB0|fw.bin", "waits \"-5\"");
}

void TestKelpoSend::rejectsBadUsage()
{
    QFETCH(QString, arguments);
    QFETCH(QString, complaint);
    SendRun run;
    run.start(split(arguments));
    QCOMPARE(run.waitForExit(), 2);
    QVERIFY2(
        run.out.isEmpty() && run.err.contains("Usage: kelpo-send") && run.err.contains(complaint.toUtf8()),
        qPrintable(run.diagnostics()));
}

void TestKelpoSend::sendsFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("options");
    const auto row = [](const char *name, const char *file, const QByteArray &content, const char *options) {
        QTest::newRow(name) << QString::fromUtf8(file) << content << QString::fromUtf8(options);
    };
    for (int size : { 1, 128, 1024, 1025, 3000 })
        row(qPrintable(QStringLiteral("%1 bytes").arg(size)), "fw.bin", randomBytes(size, quint32(size)), "");
    row("300 KiB, block numbers past 255", "image.bin", randomBytes(300 << 10, 7), "");
    row("1K packets throughout", "fw.bin", randomBytes(5000, 8), "--packets=1k");
    row("XMODEM into rx", "fw.bin", randomBytes(3000, 9), "--protocol=xmodem");
    row("XMODEM-1K into rx", "fw.bin", randomBytes(3000, 10), "--protocol=xmodem-1k");
    // The last packet is padded with 0x1A too: only block 0's size tells rb where the file ends.
    row("tail of 0x1A", "eof.bin", randomBytes(1000, 3) + QByteArray(40, '\x1a'), "");
    row("spaces and accents in the name", "Prüf Datei für Gerät é.bin", randomBytes(2000, 11), "");
}

void TestKelpoSend::sendsFile()
{
    SKIP_UNLESS_INSTALLED("rb", "rx", "socat");
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, options);
    const QString path = writeFile(m_files.filePath(name), content);
    // rx cannot know the length: it keeps the padding of the last packet.
    const bool xmodem = options.contains(QLatin1String("xmodem"));
    RbReceiver rb(xmodem ? QStringLiteral("rx -b -c ") + name : QString::fromLatin1(RbReceiver::RB));
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    SendRun run;
    run.start(split(options) << rb.portPath() << path);
    QVERIFY2(run.waitForOutput(PREPARE), qPrintable(run.diagnostics()));
    rb.release();
    QVERIFY2(
        run.waitForExit() == 0 && rb.waitForFinished(), qPrintable(run.diagnostics() + rb.diagnostics()));

    // The figures to compare with the device's first; off a terminal, progress comes in whole lines.
    const QString text = QString::fromLocal8Bit(run.out);
    const QString crc = QString::number(crc32Ieee(content), 16).rightJustified(8, QLatin1Char('0'));
    QVERIFY2(
        text.startsWith(
            QStringLiteral("File %1: %2 bytes, CRC-32 %3\n").arg(path, QString::number(content.size()), crc)),
        qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Progress: 100%\n")) && !text.contains(QLatin1Char('\r')),
        qPrintable(text));
    QCOMPARE(summaryOf(run, rb.portPath()), QStringLiteral("completed, %1").arg(content.size()));
    const int padding = xmodem ? (128 - content.size() % 128) % 128 : 0;
    QVERIFY(readFile(QDir(rb.receiveDir()).filePath(name)) == content + QByteArray(padding, '\x1a'));
}

// Two devices played by hand: each runs the steps by its own answers, every device line shows its port (a
// line cut by the other device's too), and one Ctrl-C cancels both.
void TestKelpoSend::runsStepsOnEveryPort()
{
    PtyPair first;
    PtyPair second;
    SKIP_UNLESS_VALID_PTY(first);
    SKIP_UNLESS_VALID_PTY(second);
    const QString path = writeFile(m_files.filePath(QStringLiteral("fw(1).bin")), randomBytes(5000, 61));
    SendRun run;
    run.start(split(QStringLiteral("--baud=57600|--before|send:hello {size} {size_hex} {name}\\t\\\\\\x21\\r|"
                                   "--before|expect:{name}|--before|expect:ready|--before|send:go\\n"))
        << first.slavePath() << second.slavePath() << path);
    const QByteArray one = first.slavePath().toLocal8Bit() + ": ";
    const QByteArray two = second.slavePath().toLocal8Bit() + ": ";
    // The masters can be read only once the program holds the terminals.
    QVERIFY2(run.waitUntil([&] { return run.err.count("running the steps") == 2; }),
        qPrintable(run.diagnostics()));
    const QByteArray hello("hello 5000 1388 fw(1).bin\t\\!\r");
    QCOMPARE(first.read(hello.size()), hello);
    QCOMPARE(second.read(hello.size()), hello);
    QVERIFY(first.write("U-Boot "));
    QVERIFY2(run.waitForOutput(one + "U-Boot "), qPrintable(run.diagnostics()));
    QVERIFY(second.write("SPL booting\r\nfw(1).bin ready\r\n"));
    QCOMPARE(second.read(3), QByteArray("go\n"));
    QCOMPARE(first.read(1, 0), QByteArray());
    QVERIFY(first.write("2023.01\r\nfw(1).bin ready\r\n"));
    QCOMPARE(first.read(3), QByteArray("go\n"));
    QVERIFY2(
        run.waitForOutput(one + PREPARE) && run.waitForOutput(two + PREPARE), qPrintable(run.diagnostics()));
    termios line {};
    QVERIFY(::tcgetattr(first.masterFd(), &line) == 0 && cfgetospeed(&line) == B57600);

    QVERIFY(run.signal(SIGINT));
    QCOMPARE(first.read(5), CANCEL);
    QCOMPARE(second.read(5), CANCEL);
    QCOMPARE(run.waitForExit(), 1);
    QCOMPARE(run.err.count("stopping: sending the cancel sequence."), 2);
    QCOMPARE(run.out.count(": cancelled, 0 bytes, "), 2);
    for (const QByteArray &shown : { one + "U-Boot \n", two + "SPL booting\r\n", two + "fw(1).bin ready\r\n",
             one + "2023.01\r\n", one + "fw(1).bin ready\r\n" })
        QVERIFY2(run.out.contains(shown), qPrintable(run.diagnostics()));
}

void TestKelpoSend::endsPortEarly_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("options");
    // Once the port is open: a signal to the program, or -1 to unplug the device.
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("lastError");
    const auto row = [](const char *name, const char *file, const char *options, int action,
                         const char *outcome, const char *lastError) {
        QTest::newRow(name) << QString::fromUtf8(file) << QString::fromUtf8(options) << action
                            << QString::fromUtf8(outcome) << QString::fromUtf8(lastError);
    };
    row("empty file", "empty.bin", "", 0, "refused, 0", "refused: ");
    row("SIGTERM", "fw.bin", "", SIGTERM, "cancelled, 0", "was not sent at all: cancelled.");
    row("lines a pseudo-terminal cannot set", "fw.bin", "--before|lines:dtr=0,rts=1", 0, "step-failed, 0",
        "step 1 of --before, \"lines:dtr=0,rts=1\", failed: the port cannot set its modem lines");
    row("unplugged during the steps", "fw.bin", "--before|expect:never", -1, "port-lost, 0",
        "was not sent at all: ");
    row("unplugged before the first request", "fw.bin", "", -1, "port-lost, 0",
        "was not sent at all: port lost.");
}

// A port that cannot go on ends: its outcome in the summary, why as the last error line, nothing of the
// file on the line.
void TestKelpoSend::endsPortEarly()
{
    QFETCH(QString, file);
    QFETCH(QString, options);
    QFETCH(int, action);
    QFETCH(QString, outcome);
    QFETCH(QString, lastError);
    PtyPair device;
    SKIP_UNLESS_VALID_PTY(device);
    const QString path = m_files.filePath(file);
    writeFile(path, file == QLatin1String("empty.bin") ? QByteArray() : randomBytes(5000, 31));
    SendRun run;
    run.start(split(options) << device.slavePath() << path);
    if (action != 0)
        QVERIFY2(
            run.waitUntil([&] { return run.out.contains(PREPARE) || run.err.contains("running the steps"); }),
            qPrintable(run.diagnostics()));
    if (action < 0)
        device.hangUp();
    else if (action > 0 && run.signal(action))
        QCOMPARE(device.read(5), CANCEL);
    QCOMPARE(run.waitForExit(), 1);
    QCOMPARE(summaryOf(run, device.slavePath()), outcome);
    QVERIFY2(
        run.err.trimmed().split('\n').last().contains(lastError.toUtf8()), qPrintable(run.diagnostics()));
    if (action == 0)
        QCOMPARE(device.read(1, 0), QByteArray());
}

// Each port ends alone: one that appears while the program waits completes, rb cancels, a folder is no port.
// Every line is a JSON object; each port's end comes after its other events, the summary last.
void TestKelpoSend::reportsJsonLines()
{
    SKIP_UNLESS_INSTALLED("rb", "socat");
    const QByteArray content = randomBytes(400 * 1024, 89);
    const QString path = writeFile(m_files.filePath(QStringLiteral("json.bin")), content);
    RbReceiver late;
    RbReceiver cancelling;
    QVERIFY2(cancelling.start(), qPrintable(cancelling.errorString()));
    SendRun run;
    run.start(split(QStringLiteral("--json|--wait-port=60|--before|wait:0"))
        << late.portPath() << cancelling.portPath() << m_files.path() << path);
    QVERIFY2(run.waitForOutput(late.portPath().toLocal8Bit() + " to appear"), qPrintable(run.diagnostics()));
    QVERIFY2(late.start(), qPrintable(late.errorString()));
    QVERIFY2(run.waitUntil([&] { return run.out.count(PREPARE) == 2; }), qPrintable(run.diagnostics()));
    late.release();
    cancelling.release();
    QVERIFY2(run.waitForOutput("\"percent\":5,\"port\":\"" + cancelling.portPath().toLocal8Bit()),
        qPrintable(run.diagnostics()));
    QVERIFY(cancelling.interrupt());
    QCOMPARE(run.waitForExit(), 1);
    QVERIFY(late.waitForFinished());
    QVERIFY(readFile(QDir(late.receiveDir()).filePath(QStringLiteral("json.bin"))) == content);

    // Per port its last event, which must be its end; the run's own is the summary.
    QMap<QString, QJsonObject> last;
    for (const QByteArray &line : run.out.trimmed().split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        const QString port = event.value(QLatin1String("port")).toString();
        QVERIFY2(event.value(QLatin1String("event")).isString(), line.constData());
        last[port] = event;
    }
    const auto outcome
        = [&](const QString &port) { return last.value(port).value(QLatin1String("outcome")).toString(); };
    QCOMPARE(outcome(late.portPath()), QStringLiteral("completed"));
    QCOMPARE(outcome(cancelling.portPath()), QStringLiteral("device-cancelled"));
    QVERIFY(run.err.contains(
        cancelling.portPath().toLocal8Bit() + ": " + path.toLocal8Bit() + " was sent only in part ("));
    QCOMPARE(outcome(m_files.path()), QStringLiteral("port-unavailable"));
    QVERIFY(run.err.contains(m_files.path().toLocal8Bit() + ": cannot open " + m_files.path().toLocal8Bit()));
    QCOMPARE(last.value(QString()).value(QLatin1String("failed")).toInt(), 2);
}

// The README's command at U-Boot's prompt: the steps start loady, the file goes, the board prints its own
// crc32 of what it received, and the after step expecting another CRC fails.
void TestKelpoSend::flashesUBoot()
{
    const QString why = UBootBoard::unavailableReason();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    const QByteArray firmware = randomBytes(6000, 97);
    const QString path = writeFile(m_files.filePath(QStringLiteral("fw.bin")), firmware);
    UBootBoard board;
    QVERIFY2(board.start() && board.waitForPrompt(), qPrintable(board.errorString()));
    board.releasePort();
    SendRun run;
    // The first step wakes the board: it takes what is typed once QEMU has noticed the new reader.
    run.start(
        split(QStringLiteral("--expect-timeout=5|--before|send:\\r|--before|expect:=> |--before|send:loady "
                             "0x40200000\\r|--before|expect:Ready for binary|--after|expect:=> |--after|"
                             "send:crc32 0x40200000 {size_hex}\\r|--after|expect:==> 0x{crc32}"))
        << board.portPath() << path);
    const int status = run.waitForExit();
    const QString diagnostics
        = run.diagnostics() + "\n--- board:\n" + QString::fromLocal8Bit(board.diagnostics());
    QVERIFY2(status == 1 && summaryOf(run, board.portPath()) == QStringLiteral("step-failed, 6000"),
        qPrintable(diagnostics));
    QVERIFY2(run.out.contains(
                 QStringLiteral("==> %1").arg(crc32Ieee(firmware), 8, 16, QLatin1Char('0')).toLatin1()),
        qPrintable(diagnostics));
    const QByteArray reason = run.err.trimmed().split('\n').last();
    QVERIFY2(
        reason.contains("step 3 of --after, \"expect:==> 0x{crc32}\", failed: nothing matched within 5 s")
            && reason.endsWith(path.toLocal8Bit() + " was sent, but its check failed."),
        qPrintable(diagnostics));
}

QTEST_GUILESS_MAIN(TestKelpoSend)
#include "tst_kelposend.moc"
