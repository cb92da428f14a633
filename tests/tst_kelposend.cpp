// kelpo-send as users and station scripts run it: into rb and rx behind socat, and into pseudo-terminals.
#include "peers.h"
#include "ptyreceiver.h"
#include "rbreceiver.h"
#include "sendrun.h"
#include "testdata.h"

#include <QSerialPortInfo>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {
const QByteArray PREPARE("[info]Prepare to establish a connection.");
const QByteArray CANCEL(5, '\x18');

const auto split = [](const QString &text) { return text.split(QLatin1Char('|'), Qt::SkipEmptyParts); };
#define VERIFY_RUN(run, condition) QVERIFY2(condition, qPrintable((run).diagnostics()))

// A data row whose columns are all QString.
const auto row = [](const char *name, auto... cells) { (QTest::newRow(name) << ... << QString(cells)); };
} // namespace

class TestKelpoSend : public QObject
{
    Q_OBJECT

private slots:
    void rejectsBadUsage_data();
    void rejectsBadUsage();
    void listsPorts();
    void sendsFile_data();
    void sendsFile();
    void runsStepsOnEveryPort();
    void stepsMeetABusyLine();
    void unreadOutputHoldsNothing();
    void drawsProgressOnTerminal();
    void endsPortEarly_data();
    void endsPortEarly();
    void reportsJsonLines();

private:
    QTemporaryDir m_files;
};

void TestKelpoSend::rejectsBadUsage_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("complaint");
    row("nothing", "", "at least one PORT");
    row("port given twice", "ttyUSB0|ttyUSB0:USB serial|fw.bin", "the port ttyUSB0 is given twice");
    row("baud not a number", "--baud|fast|ttyUSB0|fw.bin", "--baud \"fast\" is not a baud rate");
    row("baud out of range", "--baud=20000000|ttyUSB0|fw.bin", "from 50 to 12000000");
    row("expect time-out zero", "--expect-timeout=0|ttyUSB0|fw.bin", "--expect-timeout \"0\"");
    row("expect time-out not a number", "--expect-timeout=nan|ttyUSB0|fw.bin", "--expect-timeout \"nan\"");
    row("endless port wait", "--wait-port=inf|ttyUSB0|fw.bin", "--wait-port \"inf\"");
    row("reply time-out not a number", "--reply-timeout=nan|ttyUSB0|fw.bin", "--reply-timeout \"nan\"");
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
    VERIFY_RUN(run,
        run.waitForExit() == 2 && run.out.isEmpty() && run.err.contains("Usage: kelpo-send")
            && run.err.contains(complaint.toUtf8()));
}

// --list prints the system's serial ports, name and description as the window lists them, and nothing else.
void TestKelpoSend::listsPorts()
{
    QByteArray ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports += (info.portName() + QLatin1Char(':') + info.description() + QLatin1Char('\n')).toUtf8();
    SendRun run;
    run.start({ QStringLiteral("--list") });
    VERIFY_RUN(run, run.waitForExit() == 0 && run.out == ports && run.err.isEmpty());
}

void TestKelpoSend::sendsFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("options");
    const auto fileRow = [](const QByteArray &name, QString file, QByteArray content, QString options) {
        QTest::newRow(name.constData()) << file << content << options;
    };
    for (int size : { 1, 128, 1024, 1025, 3000 })
        fileRow(QByteArray::number(size) + " bytes", "fw.bin", randomBytes(size, quint32(size)), "");
    fileRow("300 KiB, block numbers past 255", "image.bin", randomBytes(300 << 10, 7), "");
    fileRow("1K packets throughout", "fw.bin", randomBytes(5000, 8), "--packets=1k");
    fileRow("XMODEM into rx", "fw.bin", randomBytes(3000, 9), "--protocol=xmodem");
    fileRow("XMODEM-1K into rx", "fw.bin", randomBytes(3000, 10), "--protocol=xmodem-1k");
    // The last packet is padded with 0x1A too: only block 0's size tells rb where the file ends.
    fileRow("tail of 0x1A", "eof.bin", randomBytes(1000, 3) + QByteArray(40, '\x1a'), "");
    fileRow("spaces and accents in the name", "Prüf Datei für Gerät é.bin", randomBytes(2000, 11), "");
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
    VERIFY_RUN(run, run.waitForOutput(PREPARE));
    rb.release();
    QVERIFY2(
        run.waitForExit() == 0 && rb.waitForFinished(), qPrintable(run.diagnostics() + rb.diagnostics()));
    // The figures to compare with the device's first; off a terminal, progress comes in whole lines.
    const QString file = QStringLiteral("File %1: %2 bytes, CRC-32 %3\n").arg(path).arg(content.size());
    VERIFY_RUN(run,
        run.out.startsWith(file.arg(crc32Ieee(content), 8, 16, QLatin1Char('0')).toLocal8Bit())
            && run.out.contains("Progress: 100%\n") && !run.out.contains('\r')
            && run.summaryStartsWith(
                rb.portPath(), QStringLiteral("completed, %1 bytes").arg(content.size())));
    const int padding = xmodem ? (128 - content.size() % 128) % 128 : 0;
    QVERIFY(readFile(QDir(rb.receiveDir()).filePath(name)) == content + QByteArray(padding, '\x1a'));
}

// Two devices played by hand: each runs the steps by its own answers, every device line shows its port (a
// line cut by the other device's too), and one Ctrl-C cancels both.
void TestKelpoSend::runsStepsOnEveryPort()
{
    PtyPair first, second;
    SKIP_UNLESS_VALID_PTY(second);
    const QString path = writeFile(m_files.filePath(QStringLiteral("fw(1).bin")), randomBytes(5000, 61));
    SendRun run;
    run.start(split(QStringLiteral("--baud=57600|--before|send:hello {size} {size_hex} {name}\\t\\\\\\x21\\r|"
                                   "--before|expect:{name}|--before|expect:ready|--before|send:go\\n"))
        << first.slavePath() << second.slavePath() << path);
    const QByteArray one = first.slavePath().toLocal8Bit() + ": ";
    const QByteArray two = second.slavePath().toLocal8Bit() + ": ";
    // The masters can be read only once the program holds the terminals.
    VERIFY_RUN(run, run.waitUntil([&] { return run.err.count("running the steps") == 2; }));
    const QByteArray hello("hello 5000 1388 fw(1).bin\t\\!\r");
    QCOMPARE(first.read(hello.size()) + second.read(hello.size()), hello + hello);
    QVERIFY(first.write("U-Boot "));
    VERIFY_RUN(run, run.waitForOutput(one + "U-Boot "));
    QVERIFY(second.write("SPL booting\r\nfw(1).bin ready\r\n"));
    QCOMPARE(second.read(3), QByteArray("go\n"));
    QCOMPARE(first.read(1, 0), QByteArray());
    QVERIFY(first.write("2023.01\r\nfw(1).bin ready\r\n"));
    QCOMPARE(first.read(3), QByteArray("go\n"));
    VERIFY_RUN(run, run.waitForOutput(one + PREPARE) && run.waitForOutput(two + PREPARE));
    termios line {};
    QVERIFY(::tcgetattr(first.masterFd(), &line) == 0 && cfgetospeed(&line) == B57600);

    QVERIFY(run.signal(SIGINT));
    QCOMPARE(first.read(5) + second.read(5), CANCEL + CANCEL);
    VERIFY_RUN(run,
        run.waitForExit() == 1 && run.err.count("stopping: sending the cancel sequence.") == 2
            && run.out.count(": cancelled, 0 bytes, ") == 2);
    for (const QByteArray &shown : { one + "U-Boot \n", two + "SPL booting\r\n", two + "fw(1).bin ready\r\n",
             one + "2023.01\r\n", one + "fw(1).bin ready\r\n" })
        VERIFY_RUN(run, run.out.contains(shown));
}

// A device that never goes quiet still meets an expect: at once; long send: steps leave whole and before
// block 0; the device's text in JSON is whole characters, joined, however the bytes came.
void TestKelpoSend::stepsMeetABusyLine()
{
    PtyPair device;
    SKIP_UNLESS_VALID_PTY(device);
    QByteArray small, large;
    for (int i = 0; large.size() < 100000; ++i)
        (small.size() < 2000 ? small : large) += QByteArray::number(i) + ' ';
    SendRun run;
    run.start(QStringList { "--json", "--before", "expect:ready", "--before", "send:" + small, "--before",
        "send:" + large, device.slavePath(), writeFile(m_files.filePath("fw.bin"), randomBytes(3000, 4)) });
    VERIFY_RUN(run, run.waitForOutput("running the steps") && device.write("U-Boot\r\nready"));
    int dots = 0;
    while (++dots < 200 && device.write(".")
        && !run.waitUntil([&] { return run.out.contains("\"number\":1,\"ok\":true"); }, 100)) { }
    VERIFY_RUN(run, dots < 200);
    QCOMPARE(device.read(small.size() + large.size(), 10000), small + large);
    VERIFY_RUN(run, run.waitForOutput(PREPARE));
    const QByteArray text = "h\xc3\xa9llo w\xc3\xb6rld\r\n";
    for (const char byte : text)
        QVERIFY(device.write(QByteArray(1, byte)));
    VERIFY_RUN(run, run.waitForOutput("rld\\r\\n") && device.write("C"));
    QCOMPARE(device.read(3), QByteArray("\x01\x00\xff", 3));
    QStringList pieces;
    for (const QByteArray &line : run.out.mid(run.out.indexOf(PREPARE)).split('\n')) {
        if (line.contains("\"event\":\"device\""))
            pieces << QJsonDocument::fromJson(line)["text"].toString();
    }
    QVERIFY2(pieces.size() <= 2 && pieces.join(QString()) == QString::fromUtf8(text),
        qPrintable(pieces.join('|')));
    VERIFY_RUN(run, run.signal(SIGTERM) && run.waitForExit() == 1);
}

// A station script that reads nothing: SIGTERM still cancels (an output that held the program would hold the
// cancel for good), and once it reads, nothing is lost.
void TestKelpoSend::unreadOutputHoldsNothing()
{
    PtyPair device;
    SKIP_UNLESS_VALID_PTY(device);
    const QString pipe = m_files.filePath("unread.fifo");
    const int reader
        = ::mkfifo(qPrintable(pipe), 0600) == 0 ? ::open(qPrintable(pipe), O_RDWR | O_NONBLOCK) : -1;
    QVERIFY(reader >= 0);
    SendRun run;
    run.sendOutputTo(pipe);
    run.start({ device.slavePath(), writeFile(m_files.filePath("fw.bin"), randomBytes(3000, 5)) });
    VERIFY_RUN(run, run.waitUntil([&] { return run.err.contains("waiting for the device"); }));
    QByteArray boot;
    for (int i = 0; boot.size() < 300000; ++i)
        boot += "boot line " + QByteArray::number(i) + "\r\n";
    QVERIFY(device.write(boot, 10000) && run.signal(SIGTERM));
    QCOMPARE(device.read(5), CANCEL);
    QByteArray out(1 << 16, '\0'), shown;
    const auto drain = [&] {
        for (ssize_t n; (n = ::read(reader, out.data(), size_t(out.size()))) > 0;)
            shown.append(out.constData(), int(n));
    };
    int status = -1;
    for (int polls = 0; polls < 600 && status < 0; ++polls) {
        drain();
        status = run.waitForExit(50);
    }
    drain();
    ::close(reader);
    // What was read before the cancel comes whole, more than a pipe holds, and the summary after it.
    const int from = shown.indexOf("boot line 0\r"), to = shown.indexOf("\n[info]Cancel the update.");
    VERIFY_RUN(run,
        status == 1 && from > 0 && to - from > 1 << 16 && boot.startsWith(shown.mid(from, to - from))
            && shown.contains("Summary " + device.slavePath().toLocal8Bit() + ": cancelled"));
}

// On a terminal the progress is one line drawn again in place, ending full, then the summary below it.
void TestKelpoSend::drawsProgressOnTerminal()
{
    PtyPair terminal;
    PtyReceiver receiver({ .damagePacket = -1 });
    SKIP_UNLESS_VALID_PTY(terminal);
    SendRun run;
    run.sendOutputTo(terminal.slavePath());
    run.start({ receiver.portPath(), writeFile(m_files.filePath("bar.bin"), randomBytes(9000, 12)) });
    VERIFY_RUN(run, run.waitUntil([&] { return run.err.contains("waiting for the device"); }));
    receiver.run();
    QCOMPARE(run.waitForExit(), 0);
    const QByteArray shown = terminal.read(1 << 16, 2000);
    QVERIFY2(shown.contains("]  11%\r[") && shown.contains("\r[" + QByteArray(40, '#') + "] 100%\nSummary ")
            && !shown.contains("Progress:"),
        shown.constData());
}

void TestKelpoSend::endsPortEarly_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("options");
    // Once the port is open: SIGTERM the program, unplug the device, or let a receiver take the file.
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("lastError");
    row("empty file", "empty.bin", "", "", "refused, 0",
        "refused: The firmware file \"…empty.bin\" is empty");
    row("SIGTERM", "fw.bin", "", "SIGTERM", "cancelled, 0", "was not sent at all: cancelled.");
    row("lines a pseudo-terminal cannot set", "fw.bin", "--before|lines:dtr=0,rts=1", "", "step-failed, 0",
        "step 1 of --before, \"lines:dtr=0,rts=1\", failed: the port cannot set its modem lines");
    row("unplugged during the steps", "fw.bin", "--before|expect:never", "unplug", "port-lost, 0",
        "was not sent at all: ");
    row("unplugged before the first request", "fw.bin", "", "unplug", "port-lost, 0",
        "was not sent at all: port lost.");
    row("after step never answered", "fw.bin", "--expect-timeout=1|--after|expect:never", "receive",
        "step-failed, 5000", "failed: nothing matched within 1 s; …fw.bin was sent, but its check failed.");
}

// A port that cannot go on ends: its outcome in the summary, why as the last error line.
void TestKelpoSend::endsPortEarly()
{
    QFETCH(QString, file);
    QFETCH(QString, options);
    QFETCH(QString, action);
    QFETCH(QString, outcome);
    QFETCH(QString, lastError);
    PtyPair device;
    PtyReceiver receiver({});
    SKIP_UNLESS_VALID_PTY(device);
    const QString path = writeFile(
        m_files.filePath(file), file == QLatin1String("empty.bin") ? QByteArray() : randomBytes(5000, 31));
    const QString port = action == QLatin1String("receive") ? receiver.portPath() : device.slavePath();
    SendRun run;
    run.start(split(options) << port << path);
    if (!action.isEmpty())
        VERIFY_RUN(run, run.waitUntil([&] { return run.isWaitingForDevice(); }));
    if (action == QLatin1String("unplug"))
        device.hangUp();
    else if (action == QLatin1String("SIGTERM") && run.signal(SIGTERM))
        QCOMPARE(device.read(5), CANCEL);
    else if (action == QLatin1String("receive"))
        receiver.run();
    VERIFY_RUN(run, run.waitForExit() == 1 && run.summaryStartsWith(port, outcome + QLatin1String(" bytes")));
    for (const QString &part : lastError.split(QStringLiteral("…")))
        VERIFY_RUN(run, run.err.trimmed().split('\n').last().contains(part.toUtf8()));
    // Nothing of the file on a line the program left by itself.
    if (action.isEmpty())
        QCOMPARE(device.read(1, 0), QByteArray());
}

// Each port ends alone: one that appears while the program waits completes, rb cancels, a folder is no port.
// Every line is a JSON object; each port's end comes after its other events, the summary last.
void TestKelpoSend::reportsJsonLines()
{
    SKIP_UNLESS_INSTALLED("rb", "socat");
    const QByteArray content = randomBytes(400 * 1024, 89);
    const QString path = writeFile(m_files.filePath(QStringLiteral("json.bin")), content);
    RbReceiver late, cancelling;
    QVERIFY2(cancelling.start(), qPrintable(cancelling.errorString()));
    SendRun run;
    run.start(split(QStringLiteral("--json|--wait-port=60|--before|wait:0"))
        << late.portPath() << cancelling.portPath() << m_files.path() << path);
    VERIFY_RUN(run, run.waitForOutput(late.portPath().toLocal8Bit() + " to appear"));
    QVERIFY2(late.start(), qPrintable(late.errorString()));
    VERIFY_RUN(run, run.waitUntil([&] { return run.out.count(PREPARE) == 2; }));
    late.release();
    cancelling.release();
    VERIFY_RUN(run, run.waitForOutput("\"percent\":5,\"port\":\"" + cancelling.portPath().toLocal8Bit()));
    QVERIFY(cancelling.interrupt());
    VERIFY_RUN(run, run.waitForExit() == 1 && late.waitForFinished());
    QVERIFY(readFile(QDir(late.receiveDir()).filePath(QStringLiteral("json.bin"))) == content);

    // Per port its last event, which must be its end; the run's own is the summary.
    QMap<QString, QJsonObject> last;
    for (const QByteArray &line : run.out.trimmed().split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        QVERIFY2(event["event"].isString(), line.constData());
        last[event["port"].toString()] = event;
    }
    QCOMPARE(last[late.portPath()]["outcome"].toString(), QStringLiteral("completed"));
    QCOMPARE(last[cancelling.portPath()]["outcome"].toString(), QStringLiteral("device-cancelled"));
    QVERIFY(run.err.contains(
        cancelling.portPath().toLocal8Bit() + ": " + path.toLocal8Bit() + " was sent only in part ("));
    QCOMPARE(last[m_files.path()]["outcome"].toString(), QStringLiteral("port-unavailable"));
    QVERIFY(run.err.contains(m_files.path().toLocal8Bit() + ": cannot open " + m_files.path().toLocal8Bit()));
    QCOMPARE(last[QString()]["failed"].toInt(), 2);
}

QTEST_GUILESS_MAIN(TestKelpoSend)
#include "tst_kelposend.moc"
