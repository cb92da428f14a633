// kelpo-send with one port, run as a user runs it: against the real rb, against a pseudo-terminal played by
// hand, and with the settings file beside a copy of the binary.
#include "handlethread.h"
#include "ptypair.h"
#include "testdata.h"
#include "rbreceiver.h"
#include "sendrun.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <termios.h>
#include <unistd.h>

namespace {

const char USAGE_LINE[] = "Usage: kelpo-send [OPTIONS] PORT [PORT...] FILE";
const char PREPARE_LINE[] = "[info]Prepare to establish a connection.";
const char COMPLETED_LINE[] = "[info]Update process completed.";

QStringList infoLines(const QByteArray &output)
{
    QStringList lines;
    for (const QString &line : QString::fromLocal8Bit(output).split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("[info]")))
            lines << line;
    return lines;
}

} // namespace

// What both sides said, for a failure message.
QString transcript(const SendRun &run, const RbReceiver &rb)
{
    return run.diagnostics() + QStringLiteral("\n--- rb:\n") + QString::fromLocal8Bit(rb.diagnostics());
}

class TestKelpoSend : public QObject
{
    Q_OBJECT

private slots:
    void rejectsBadUsage_data();
    void rejectsBadUsage();
    void printsHelp();
    void helpOptionsWork_data();
    void helpOptionsWork();
    void listsPorts();
    void reportsPortThatCannotOpen_data();
    void reportsPortThatCannotOpen();
    void opensAtBaudRate_data();
    void opensAtBaudRate();
    void refusesFile_data();
    void refusesFile();
    void sendsFileThroughRb_data();
    void sendsFileThroughRb();
    void drawsBarOnTerminal();
    void survivesClosedOutput();
    void receiverCancelFails();
    void stopSignalSendsCancel_data();
    void stopSignalSendsCancel();
    void deviceGoneEndsRun();
    void followsSettingsBesideBinary_data();
    void followsSettingsBesideBinary();

private:
    QString makeFile(const QString &name, const QByteArray &content);
    void sendThroughRb(SendRun &run, RbReceiver &rb, const QString &path);

    QTemporaryDir m_files;
};

QString TestKelpoSend::makeFile(const QString &name, const QByteArray &content)
{
    const QString path = m_files.filePath(name);
    return writeFile(path, content);
}

// Starts kelpo-send on rb's port and lets rb in once the session waits for its C.
void TestKelpoSend::sendThroughRb(SendRun &run, RbReceiver &rb, const QString &path)
{
    QVERIFY(!path.isEmpty());
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    run.start({ rb.portPath(), path });
    QVERIFY2(run.waitForOutput(PREPARE_LINE), qPrintable(run.diagnostics()));
    rb.release();
}

void TestKelpoSend::rejectsBadUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    // What the complaint must name: the option and what was wrong.
    QTest::addColumn<QString>("complaint");
    const QString port = QStringLiteral("/dev/ttyUSB0");
    const QString file = QStringLiteral("fw.bin");
    QTest::newRow("nothing") << QStringList() << QStringLiteral("at least one PORT");
    QTest::newRow("port only") << QStringList { port } << QStringLiteral("at least one PORT");
    QTest::newRow("same port twice") << QStringList { port, QStringLiteral("ttyUSB0:USB serial"), port, file }
                                     << QStringLiteral("/dev/ttyUSB0 is given twice");
    QTest::newRow("baud not a number") << QStringList { QStringLiteral("--baud"), QStringLiteral("fast"),
        port, file } << QStringLiteral("baud rate must be a positive number, not \"fast\"");
    QTest::newRow("baud zero") << QStringList { QStringLiteral("--baud=0"), port, file }
                               << QStringLiteral("not \"0\"");
    QTest::newRow("baud without value") << QStringList { QStringLiteral("--baud") } << QStringLiteral("baud");
    QTest::newRow("unknown option") << QStringList { QStringLiteral("--fast"), port, file }
                                    << QStringLiteral("fast");
    QTest::newRow("list with a port")
        << QStringList { QStringLiteral("--list"), port } << QStringLiteral("--list takes no PORT");
    QTest::newRow("expect time-out zero") << QStringList { QStringLiteral("--expect-timeout=0"), port, file }
                                          << QStringLiteral("--expect-timeout \"0\"");
    QTest::newRow("wait-port not a number") << QStringList { QStringLiteral("--wait-port=soon"), port, file }
                                            << QStringLiteral("--wait-port \"soon\"");
    const struct
    {
        const char *name;
        const char *option;
        const char *step;
        const char *complaint;
    } steps[] = {
        { "step without a kind", "--before", "hello",
            "--before \"hello\" has no kind before a colon; accepted: send:TEXT" },
        { "unknown step kind", "--after", "type:reset",
            "--after \"type:reset\" has the unknown kind \"type\"; accepted:" },
        { "unknown escape", "--before", "send:reset\\q", "unknown escape \"\\q\"" },
        { "short hex escape", "--before", "send:\\x4", "unknown escape \"\\x4\"" },
        { "bad pattern", "--after", "expect:(crc", "is not a valid regular expression" },
        { "empty pattern", "--before", "expect:", "has an empty pattern" },
        { "unknown line", "--before", "lines:cts=1", "sets \"cts=1\"; accepted: dtr=0|1, rts=0|1" },
        { "line level 2", "--before", "lines:dtr=2", "sets \"dtr=2\"" },
        { "line twice", "--before", "lines:dtr=1,dtr=0", "sets \"dtr=0\"" },
        { "no lines", "--before", "lines:", "sets \"\"" },
        { "wait not a number", "--after", "wait:1s", "waits \"1s\"; give whole milliseconds" },
        { "negative wait", "--before", "wait:-5", "waits \"-5\"" },
    };
    for (const auto &row : steps)
        QTest::newRow(row.name) << QStringList { QLatin1String(row.option), QLatin1String(row.step), port,
            file } << QString::fromLatin1(row.complaint);
}

void TestKelpoSend::rejectsBadUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, complaint);
    SendRun run;
    run.start(arguments);
    QCOMPARE(run.waitForExit(), 2);
    QVERIFY2(run.err.contains(USAGE_LINE), run.err.constData());
    QVERIFY2(run.err.contains(complaint.toLocal8Bit()), run.err.constData());
    QVERIFY2(run.out.isEmpty(), run.out.constData());
}

void TestKelpoSend::printsHelp()
{
    SendRun run;
    run.start({ QStringLiteral("--help") });
    QCOMPARE(run.waitForExit(), 0);
    QVERIFY2(run.out.startsWith(USAGE_LINE), run.out.constData());
    for (const char *option :
        { "--baud <RATE>", "--before <STEP>", "--after <STEP>", "--expect-timeout <SECONDS>",
            "--wait-port <SECONDS>", "--json", "--list", "--version", "--help", "PORT", "FILE" })
        QVERIFY2(run.out.contains(option), option);
    // Every option offered works: the parser's --help-all does not apply to a program without a window.
    QVERIFY2(!run.out.contains("--help-all"), run.out.constData());
}

void TestKelpoSend::helpOptionsWork_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("-h") << QStringLiteral("-h");
    QTest::newRow("--help") << QStringLiteral("--help");
    QTest::newRow("--version") << QStringLiteral("--version");
    QTest::newRow("-v") << QStringLiteral("-v");
}

void TestKelpoSend::helpOptionsWork()
{
    QFETCH(QString, option);
    SendRun run;
    run.start({ option });
    QCOMPARE(run.waitForExit(), 0);
    QVERIFY2(run.out.startsWith(USAGE_LINE) || run.out.startsWith("kelpo-send "), run.out.constData());
    QVERIFY(run.err.isEmpty());
}

void TestKelpoSend::listsPorts()
{
    QStringList expected;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        expected << info.portName() + QLatin1Char(':') + info.description();

    SendRun run;
    run.start({ QStringLiteral("--list") });
    QCOMPARE(run.waitForExit(), 0);
    QCOMPARE(QString::fromLocal8Bit(run.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
}

void TestKelpoSend::reportsPortThatCannotOpen_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("port");
    QTest::newRow("device path") << QStringLiteral("/dev/kelpo-no-such-port")
                                 << QStringLiteral("/dev/kelpo-no-such-port");
    // A line as --list prints it stands for the name before its first colon.
    QTest::newRow("listed name") << QStringLiteral("kelpo-no-such-port:USB serial: FTDI")
                                 << QStringLiteral("kelpo-no-such-port");
}

void TestKelpoSend::reportsPortThatCannotOpen()
{
    QFETCH(QString, argument);
    QFETCH(QString, port);
    QSerialPort probe(port);
    QVERIFY(!probe.open(QIODevice::ReadWrite));
    const QString fileName = makeFile(QStringLiteral("fw.bin"), randomBytes(100, 1));

    SendRun run;
    run.start({ argument, fileName });
    QCOMPARE(run.waitForExit(), 1);
    // The reason is the last line, in the port's own words with the system's.
    const QString reason = run.errorLines().last();
    QVERIFY2(reason.startsWith(QStringLiteral("kelpo-send: cannot open %1: ").arg(port)), qPrintable(reason));
    QVERIFY2(reason.contains(probe.errorString()), qPrintable(reason));
    QVERIFY(infoLines(run.out).isEmpty());
    QVERIFY2(run.out.contains("Summary " + port.toLocal8Bit() + ": port-unavailable, 0 bytes"),
        run.out.constData());
}

void TestKelpoSend::opensAtBaudRate_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("speed");
    QTest::newRow("default") << QStringList() << int(B115200);
    QTest::newRow("--baud 57600") << QStringList { QStringLiteral("--baud"), QStringLiteral("57600") }
                                  << int(B57600);
    QTest::newRow("--baud=9600") << QStringList { QStringLiteral("--baud=9600") } << int(B9600);
}

// The pseudo-terminal shows the line settings the program made on its side.
void TestKelpoSend::opensAtBaudRate()
{
    QFETCH(QStringList, options);
    QFETCH(int, speed);
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    const QString path = makeFile(QStringLiteral("baud.bin"), randomBytes(100, 43));
    QVERIFY(!path.isEmpty());

    SendRun run;
    run.start(options + QStringList { device.slavePath(), path });
    QVERIFY2(run.waitForOutput(PREPARE_LINE), qPrintable(run.diagnostics()));
    termios line {};
    QCOMPARE(::tcgetattr(device.masterFd(), &line), 0);
    QCOMPARE(int(cfgetospeed(&line)), speed);
    QCOMPARE(int(cfgetispeed(&line)), speed);
    QVERIFY(run.signal(SIGTERM));
    QCOMPARE(run.waitForExit(), 1);
}

void TestKelpoSend::refusesFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::newRow("empty file") << QStringLiteral("empty.bin") << QStringLiteral("empty");
    QTest::newRow("missing file") << QStringLiteral("missing.bin") << QStringLiteral("missing");
    QTest::newRow("folder") << QStringLiteral("firmware.d") << QStringLiteral("folder");
}

void TestKelpoSend::refusesFile()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    const QString path
        = kind == QLatin1String("empty") ? makeFile(name, QByteArray()) : m_files.filePath(name);
    QVERIFY(!path.isEmpty());
    if (kind == QLatin1String("folder"))
        QVERIFY(QDir(m_files.path()).mkpath(name));
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));

    SendRun run;
    run.start({ device.slavePath(), path });
    QCOMPARE(run.waitForExit(), 1);
    const QStringList lines = infoLines(run.out);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(name), qPrintable(lines.first()));
    QVERIFY(!run.out.contains(PREPARE_LINE));
    // The reason is the last thing said on the error output, in the words of the refusal.
    const QString reason = run.errorLines().last();
    QVERIFY2(reason.startsWith(QLatin1String("kelpo-send: refused: ")) && reason.contains(name),
        qPrintable(reason));
    QVERIFY(run.out.contains("Summary " + device.slavePath().toLocal8Bit() + ": refused, 0 bytes"));
    // The program has closed the port, so whatever it wrote is waiting at the far end.
    QCOMPARE(device.read(1, 0), QByteArray());
}

void TestKelpoSend::sendsFileThroughRb_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");

    for (int size : { 1, 128, 1024, 1025, 3000 })
        QTest::addRow("%d bytes", size) << QStringLiteral("fw.bin") << randomBytes(size, quint32(size) + 100);
    QTest::newRow("3 MiB of random data") << QStringLiteral("image.bin") << randomBytes(3 * 1024 * 1024, 17);
    // The last block's padding is 0x1A as well, so only block 0's size keeps this tail.
    QTest::newRow("tail of 0x1A") << QStringLiteral("eof.bin")
                                  << randomBytes(2000, 13) + QByteArray(48, '\x1a');
    QTest::newRow("spaces and accents in the name")
        << QStringLiteral("Mise à jour Gerät ü.bin") << randomBytes(5000, 19);
}

void TestKelpoSend::sendsFileThroughRb()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    RbReceiver rb;
    SendRun run;
    sendThroughRb(run, rb, makeFile(name, content));
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(run.waitForExit() == 0, qPrintable(transcript(run, rb)));
    QVERIFY2(rb.waitForFinished(), rb.diagnostics().constData());

    const QStringList expected {
        QString::fromLatin1(PREPARE_LINE),
        QStringLiteral("[info]During the process of establishing a connection..."),
        QStringLiteral("[info]Handshake successful! Start transmitting data."),
        QStringLiteral("[info]Data transmission completed."),
        QString::fromLatin1(COMPLETED_LINE),
    };
    QVERIFY2(infoLines(run.out) == expected, qPrintable(run.diagnostics()));

    // Not a terminal: one line per whole percent, rising, ending at 100.
    QList<int> percents;
    const QRegularExpression progressLine(
        QStringLiteral("^Progress: (\\d+)%$"), QRegularExpression::MultilineOption);
    for (auto match = progressLine.globalMatch(QString::fromLocal8Bit(run.out)); match.hasNext();)
        percents << match.next().captured(1).toInt();
    QVERIFY(!percents.isEmpty());
    QCOMPARE(percents.last(), 100);
    for (int i = 1; i < percents.size(); ++i)
        QVERIFY2(percents.at(i) > percents.at(i - 1), qPrintable(run.diagnostics()));
    QVERIFY(!run.out.contains('\r'));
    // The file's figures come first, the port's figures last.
    const QString text = QString::fromLocal8Bit(run.out);
    QVERIFY2(
        text.startsWith(
            QStringLiteral("File %1: %2 bytes, CRC-32 ").arg(m_files.filePath(name)).arg(content.size())),
        qPrintable(text));
    const QRegularExpression summary(
        QStringLiteral("\\nSummary (.+): completed, (\\d+) bytes, (\\d+\\.\\d\\d) s, (\\d+\\.\\d) KiB/s, "
                       "(\\d+) retransmissions\\n$"));
    const QRegularExpressionMatch figures = summary.match(text);
    QVERIFY2(figures.hasMatch(), qPrintable(text.right(300)));
    QCOMPARE(figures.captured(1), rb.portPath());
    QCOMPARE(figures.captured(2).toInt(), content.size());
    QCOMPARE(figures.captured(5).toInt(), 0);
    QVERIFY(run.errorLines().last().contains(QLatin1String("waiting for the device")));
    // The engine's developer traces stay out of the user's terminal.
    QVERIFY2(!run.err.contains("HandleThread::"), run.err.constData());

    const QDir received(rb.receiveDir());
    QCOMPARE(received.entryList(QDir::Files), QStringList { name });
    QFile arrived(received.filePath(name));
    QVERIFY(arrived.open(QIODevice::ReadOnly));
    QCOMPARE(arrived.size(), qint64(content.size()));
    QVERIFY(arrived.readAll() == content);
}

void TestKelpoSend::drawsBarOnTerminal()
{
    PtyPair terminal;
    QVERIFY2(terminal.isValid(), qPrintable(terminal.errorString()));
    const QByteArray content = randomBytes(300 * 1024, 23);
    RbReceiver rb;
    SendRun run;
    run.setTerminal(&terminal);
    sendThroughRb(run, rb, makeFile(QStringLiteral("bar.bin"), content));
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(run.waitForExit() == 0, qPrintable(transcript(run, rb)));
    QVERIFY(run.waitUntil([&] { return run.out.endsWith('\n'); }));

    QVERIFY2(!run.out.contains("Progress:"), run.out.constData());
    QVERIFY(run.out.contains("\r[" + QByteArray(40, '#') + "] 100%"));
    // Each console line first wipes the bar, then the bar comes back below it; the last one is closed.
    QVERIFY(run.out.contains("\r\033[K" + QByteArray(COMPLETED_LINE) + '\n'));
    QVERIFY2(run.out.contains("] 100%\nSummary "), run.out.right(300).constData());
    QVERIFY(run.out.count('\r') > 100);
    QVERIFY(rb.waitForFinished());
    QFile arrived(QDir(rb.receiveDir()).filePath(QStringLiteral("bar.bin")));
    QVERIFY(arrived.open(QIODevice::ReadOnly));
    QVERIFY(arrived.readAll() == content);
}

// Writing to a pipe nobody reads any more (a pager the user quit) must not kill the process in the middle
// of a flash: "head -n 2" leaves after the file's figures and the first line of the session.
void TestKelpoSend::survivesClosedOutput()
{
    const QByteArray content = randomBytes(200 * 1024, 53);
    const QString path = makeFile(QStringLiteral("piped.bin"), content);
    QVERIFY(!path.isEmpty());
    RbReceiver rb;
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    QProcess head;
    SendRun run;
    run.pipeOutputTo(&head);
    run.start({ rb.portPath(), path });
    head.start(QStringLiteral("head"), { QStringLiteral("-n"), QStringLiteral("2") });
    QVERIFY(head.waitForFinished());
    const QList<QByteArray> lines = head.readAllStandardOutput().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).startsWith("File " + path.toLocal8Bit()), lines.at(0).constData());
    QCOMPARE(lines.at(1), QByteArray(PREPARE_LINE));
    rb.release();

    QVERIFY2(run.waitForExit() == 0, qPrintable(transcript(run, rb)));
    QVERIFY(rb.waitForFinished());
    QFile arrived(QDir(rb.receiveDir()).filePath(QStringLiteral("piped.bin")));
    QVERIFY(arrived.open(QIODevice::ReadOnly));
    QVERIFY(arrived.readAll() == content);
}

// rb interrupted mid-transfer sends its cancel bytes: the session stops on them and exits non-zero.
void TestKelpoSend::receiverCancelFails()
{
    RbReceiver rb;
    SendRun run;
    sendThroughRb(run, rb, makeFile(QStringLiteral("large.bin"), randomBytes(3 * 1024 * 1024, 29)));
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(run.waitForOutput("Progress: 5%"), qPrintable(run.diagnostics()));
    QVERIFY(rb.interrupt());
    QCOMPARE(run.waitForExit(), 1);

    QVERIFY2(infoLines(run.out).last().startsWith(QLatin1String("[info]The device cancelled the update.")),
        qPrintable(run.diagnostics()));
    QVERIFY(!run.out.contains(COMPLETED_LINE));
    QVERIFY(!run.out.contains("Progress: 100%"));
    QVERIFY2(run.out.contains("Summary " + rb.portPath().toLocal8Bit() + ": device-cancelled, "),
        qPrintable(run.diagnostics()));
    const QString reason = run.errorLines().last();
    QVERIFY2(reason.contains(QLatin1String("was sent only in part ("))
            && reason.endsWith(QLatin1String("the device cancelled.")),
        qPrintable(reason));
}

void TestKelpoSend::stopSignalSendsCancel_data()
{
    QTest::addColumn<int>("signalNumber");
    // Whether the device has asked and taken block 0 before the signal.
    QTest::addColumn<bool>("started");
    QTest::newRow("SIGINT after block 0") << int(SIGINT) << true;
    QTest::newRow("SIGTERM after block 0") << int(SIGTERM) << true;
    QTest::newRow("SIGINT before the first request") << int(SIGINT) << false;
}

// The far end is played by hand: boot text, the C, block 0 read back, or nothing at all; one signal sends
// the cancel sequence at once, without waiting for the device's next byte, and ends the run.
void TestKelpoSend::stopSignalSendsCancel()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, started);
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    const QString path = makeFile(QStringLiteral("stopped.bin"), randomBytes(5000, 31));
    QVERIFY(!path.isEmpty());

    SendRun run;
    run.start({ device.slavePath(), path });
    QVERIFY2(run.waitForOutput(PREPARE_LINE), qPrintable(run.diagnostics()));
    if (started) {
        QVERIFY(device.write("U-Boot 2024.01\r\nC"));
        const QByteArray blockZero = device.read(133);
        QCOMPARE(blockZero.size(), 133);
        QVERIFY(blockZero.startsWith(QByteArray("\x01\x00\xff", 3) + "stopped.bin" + '\0' + "5000" + '\0'));
    }

    QVERIFY(run.signal(signalNumber));
    QCOMPARE(device.read(5), QByteArray(5, '\x18'));
    QCOMPARE(run.waitForExit(), 1);
    QVERIFY2(run.err.contains("stopping: sending the cancel sequence."), run.err.constData());
    QCOMPARE(infoLines(run.out).last(), QStringLiteral("[info]Cancel the update."));
    QCOMPARE(
        run.errorLines().last(), QStringLiteral("kelpo-send: %1 was not sent at all: cancelled.").arg(path));
    QVERIFY(run.out.contains("Summary " + device.slavePath().toLocal8Bit() + ": cancelled, 0 bytes"));
    QCOMPARE(device.read(1, 0), QByteArray());
}

// A board unplugged while the session waits for its first C must not leave the run hanging.
void TestKelpoSend::deviceGoneEndsRun()
{
    auto device = std::make_unique<PtyPair>();
    QVERIFY2(device->isValid(), qPrintable(device->errorString()));
    const QString path = makeFile(QStringLiteral("unplugged.bin"), randomBytes(500, 47));
    QVERIFY(!path.isEmpty());

    SendRun run;
    run.start({ device->slavePath(), path });
    QVERIFY2(run.waitForOutput(PREPARE_LINE), qPrintable(run.diagnostics()));
    const QString port = device->slavePath();
    device.reset();
    QCOMPARE(run.waitForExit(), 1);
    const QStringList lines = infoLines(run.out);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.last().contains(QLatin1String("lost")), qPrintable(lines.last()));
    QVERIFY2(run.errorLines().last().contains(QLatin1String("was not sent at all: port lost.")),
        run.err.constData());
    QVERIFY(run.out.contains("Summary " + port.toLocal8Bit() + ": port-lost, 0 bytes"));
}

void TestKelpoSend::followsSettingsBesideBinary_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("logged");
    QTest::newRow("debug level with a label") << QByteArray("[LOG]\nlog_str=board\nlog_level=3\n") << true;
    QTest::newRow("first start") << QByteArray() << false;
    QTest::newRow("level not a number") << QByteArray("[LOG]\nlog_str=board\nlog_level=abc\n") << false;
}

// The settings live beside the binary, the log folder follows the working directory.
void TestKelpoSend::followsSettingsBesideBinary()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, logged);
    QTemporaryDir installDir;
    QTemporaryDir workDir;
    QVERIFY(installDir.isValid() && workDir.isValid());
    const QString program = installDir.filePath(QStringLiteral("kelpo-send"));
    QVERIFY(QFile::copy(SendRun::binary(), program));
    const QString iniPath = installDir.filePath(QStringLiteral("config/config.ini"));
    if (!ini.isEmpty()) {
        QVERIFY(QDir(installDir.path()).mkdir(QStringLiteral("config")));
        writeFile(iniPath, ini);
    }

    RbReceiver rb;
    SendRun run(program);
    run.setWorkingDirectory(workDir.path());
    sendThroughRb(run, rb, makeFile(QStringLiteral("logged.bin"), randomBytes(3000, 41)));
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(run.waitForExit() == 0, qPrintable(transcript(run, rb)));

    const QDir logDir(workDir.filePath(QStringLiteral("log")));
    QVERIFY(!QFileInfo::exists(installDir.filePath(QStringLiteral("log"))));
    if (!logged) {
        QVERIFY(!logDir.exists());
    } else {
        const QStringList logs = logDir.entryList({ QStringLiteral("log_board_*.log") }, QDir::Files);
        QCOMPARE(logs.size(), 1);
        QFile log(logDir.filePath(logs.first()));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY(text.contains("send hex:"));
        QVERIFY(text.contains("receive hex:"));
    }
    if (ini.isEmpty()) {
        QVERIFY(QFileInfo::exists(iniPath));
        QSettings settings(iniPath, QSettings::IniFormat);
        QVERIFY(settings.contains(QStringLiteral("LOG/log_level")));
        QCOMPARE(settings.value(QStringLiteral("LOG/log_level")).toInt(), 0);
        QCOMPARE(settings.value(QStringLiteral("LOG/log_str")).toString(), QString());
    }
}

QTEST_GUILESS_MAIN(TestKelpoSend)
#include "tst_kelposend.moc"
