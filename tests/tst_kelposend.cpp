// kelpo-send run as a user runs it: against the real rb, against a pseudo-terminal played by hand, and with
// the settings file beside a copy of the binary.
#include "handlethread.h"
#include "ptypair.h"
#include "randombytes.h"
#include "rbreceiver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int RUN_TIMEOUT_MS = 120000;
const char USAGE_LINE[] = "Usage: kelpo-send [--baud RATE] PORT FILE";
const char PREPARE_LINE[] = "[info]Prepare to establish a connection.";
const char COMPLETED_LINE[] = "[info]Update process completed.";

QString sendBinary()
{
    return QStringLiteral(KELPO_BINARY_DIR "/kelpo-send");
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QStringList infoLines(const QByteArray &output)
{
    QStringList lines;
    for (const QString &line : QString::fromLocal8Bit(output).split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("[info]")))
            lines << line;
    return lines;
}

} // namespace

// One run of kelpo-send; its output is gathered while the event loop turns, so a test can wait for a line.
class SendRun : public QObject
{
    Q_OBJECT

public:
    explicit SendRun(const QString &program = sendBinary()) : m_program(program)
    {
        connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] {
            out += m_process.readAllStandardOutput();
            emit sigOutput();
        });
        connect(&m_process, &QProcess::readyReadStandardError, this, [this] {
            err += m_process.readAllStandardError();
            emit sigOutput();
        });
        connect(&m_process, &QProcess::stateChanged, this, &SendRun::sigOutput);
    }

    ~SendRun() override
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    void setWorkingDirectory(const QString &dir) { m_process.setWorkingDirectory(dir); }

    // Sends the standard output to a terminal, as when a user watches it.
    void setTerminal(PtyPair *terminal)
    {
        m_terminal = terminal;
        m_process.setStandardOutputFile(terminal->slavePath());
    }

    // Sends the standard output into another program's input, as a shell pipe does.
    void pipeOutputTo(QProcess *reader) { m_process.setStandardOutputProcess(reader); }

    void start(const QStringList &arguments)
    {
        m_process.start(m_program, arguments);
        if (m_terminal)
            watchTerminal();
    }

    template<typename Condition> bool waitUntil(Condition condition, int timeoutMs = RUN_TIMEOUT_MS)
    {
        QSignalSpy output(this, &SendRun::sigOutput);
        QDeadlineTimer deadline(timeoutMs);
        while (!condition()) {
            if (deadline.hasExpired() || !output.wait(int(deadline.remainingTime())))
                return condition();
        }
        return true;
    }

    bool waitForOutput(const char *text)
    {
        return waitUntil([&] { return out.contains(text) || m_process.state() == QProcess::NotRunning; })
            && out.contains(text);
    }
    bool waitForError(const char *text)
    {
        return waitUntil([&] { return err.contains(text) || m_process.state() == QProcess::NotRunning; })
            && err.contains(text);
    }

    // The exit status, or -1 when the program did not end by itself in time.
    int waitForExit(int timeoutMs = RUN_TIMEOUT_MS)
    {
        if (!waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs))
            return -1;
        out += m_process.readAllStandardOutput();
        err += m_process.readAllStandardError();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    bool signal(int signalNumber) { return ::kill(pid_t(m_process.processId()), signalNumber) == 0; }

    QString diagnostics() const { return QString::fromLocal8Bit(out + "\n--- stderr:\n" + err); }

    QByteArray out;
    QByteArray err;

signals:
    void sigOutput();

private:
    // Watched only once the program holds the terminal's slave: before that the master reads as hung up.
    void watchTerminal()
    {
        m_terminalNotifier.reset(new QSocketNotifier(m_terminal->masterFd(), QSocketNotifier::Read));
        connect(m_terminalNotifier.data(), &QSocketNotifier::activated, this, [this] {
            const QByteArray bytes = m_terminal->read(4096, 0);
            if (bytes.isEmpty() && m_terminal->isSlaveClosed())
                m_terminalNotifier->setEnabled(false);
            out += bytes;
            emit sigOutput();
        });
    }

    QString m_program;
    QProcess m_process;
    PtyPair *m_terminal = nullptr;
    QScopedPointer<QSocketNotifier> m_terminalNotifier;
};

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
    void secondStopEndsAtOnce();
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
    return m_files.isValid() && writeFile(path, content) ? path : QString();
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
    QTest::newRow("nothing") << QStringList();
    QTest::newRow("port only") << QStringList { QStringLiteral("/dev/ttyUSB0") };
    QTest::newRow("three arguments") << QStringList { QStringLiteral("a"), QStringLiteral("b"),
        QStringLiteral("c") };
    QTest::newRow("baud not a number") << QStringList { QStringLiteral("--baud"), QStringLiteral("fast"),
        QStringLiteral("/dev/ttyUSB0"), QStringLiteral("fw.bin") };
    QTest::newRow("baud zero") << QStringList { QStringLiteral("--baud=0"), QStringLiteral("/dev/ttyUSB0"),
        QStringLiteral("fw.bin") };
    QTest::newRow("baud without value") << QStringList { QStringLiteral("--baud") };
    QTest::newRow("unknown option") << QStringList { QStringLiteral("--fast"), QStringLiteral("/dev/ttyUSB0"),
        QStringLiteral("fw.bin") };
    QTest::newRow("list with a port")
        << QStringList { QStringLiteral("--list"), QStringLiteral("/dev/ttyUSB0") };
}

void TestKelpoSend::rejectsBadUsage()
{
    QFETCH(QStringList, arguments);
    SendRun run;
    run.start(arguments);
    QCOMPARE(run.waitForExit(), 2);
    QVERIFY2(run.err.contains(USAGE_LINE), run.err.constData());
    QVERIFY2(run.out.isEmpty(), run.out.constData());
}

void TestKelpoSend::printsHelp()
{
    SendRun run;
    run.start({ QStringLiteral("--help") });
    QCOMPARE(run.waitForExit(), 0);
    QVERIFY2(run.out.startsWith(USAGE_LINE), run.out.constData());
    QVERIFY(run.out.contains("--baud <RATE>"));
    QVERIFY(run.out.contains("--list"));
    QVERIFY(run.out.contains("PORT"));
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
    const QByteArray expected
        = "cannot open " + port.toLocal8Bit() + ": " + probe.errorString().toLocal8Bit();
    QVERIFY2(run.err.contains(expected), run.err.constData());
    QVERIFY(infoLines(run.out).isEmpty());
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
    QVERIFY(run.waitForError("stopping"));
    QVERIFY(run.signal(SIGTERM));
    QCOMPARE(run.waitForExit(), 1);
}

void TestKelpoSend::refusesFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("exists");
    QTest::newRow("empty file") << QStringLiteral("empty.bin") << true;
    QTest::newRow("missing file") << QStringLiteral("missing.bin") << false;
}

void TestKelpoSend::refusesFile()
{
    QFETCH(QString, name);
    QFETCH(bool, exists);
    const QString path = exists ? makeFile(name, QByteArray()) : m_files.filePath(name);
    QVERIFY(!path.isEmpty());
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));

    SendRun run;
    run.start({ device.slavePath(), path });
    QCOMPARE(run.waitForExit(), 1);
    const QStringList lines = infoLines(run.out);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(name), qPrintable(lines.first()));
    QVERIFY(!run.out.contains(PREPARE_LINE));
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
    QCOMPARE(infoLines(run.out), expected);

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
    QVERIFY2(run.out.endsWith("] 100%\n"), run.out.right(200).constData());
    QVERIFY(run.out.count('\r') > 100);
    QVERIFY(rb.waitForFinished());
    QFile arrived(QDir(rb.receiveDir()).filePath(QStringLiteral("bar.bin")));
    QVERIFY(arrived.open(QIODevice::ReadOnly));
    QVERIFY(arrived.readAll() == content);
}

// Writing to a pipe nobody reads any more (a pager the user quit) must not kill the process in the middle
// of a flash: "head -n 1" leaves after the first line.
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
    head.start(QStringLiteral("head"), { QStringLiteral("-n"), QStringLiteral("1") });
    QVERIFY(head.waitForFinished());
    QCOMPARE(head.readAllStandardOutput(), QByteArray(PREPARE_LINE) + '\n');
    rb.release();

    QVERIFY2(run.waitForExit() == 0, qPrintable(transcript(run, rb)));
    QVERIFY(rb.waitForFinished());
    QFile arrived(QDir(rb.receiveDir()).filePath(QStringLiteral("piped.bin")));
    QVERIFY(arrived.open(QIODevice::ReadOnly));
    QVERIFY(arrived.readAll() == content);
}

// rb interrupted mid-transfer sends its cancel bytes: the session stops on the first and exits non-zero.
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

    const QStringList lines = infoLines(run.out);
    QVERIFY2(lines.contains(QLatin1String("[info]Received incorrect instruction(0x18), stop updating. ")),
        qPrintable(run.diagnostics()));
    // rb leaves as it cancels: the session's second cancel may find its port already hung up.
    QVERIFY2(lines.last() == QLatin1String("[info]Cancel the update.")
            || (lines.last().startsWith(QLatin1String("[info]Serial port "))
                && lines.last().contains(" lost: ")),
        qPrintable(run.diagnostics()));
    QVERIFY(!run.out.contains(COMPLETED_LINE));
    QVERIFY(!run.out.contains("Progress: 100%"));
    QVERIFY(run.err.contains("not sent completely"));
}

void TestKelpoSend::stopSignalSendsCancel_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

// The far end is played by hand: boot text, the C, block 0 read back; then the signal, and the next reply
// byte finds the session stopped.
void TestKelpoSend::stopSignalSendsCancel()
{
    QFETCH(int, signalNumber);
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    const QString path = makeFile(QStringLiteral("stopped.bin"), randomBytes(5000, 31));
    QVERIFY(!path.isEmpty());

    SendRun run;
    run.start({ device.slavePath(), path });
    QVERIFY2(run.waitForOutput(PREPARE_LINE), qPrintable(run.diagnostics()));
    QVERIFY(device.write("U-Boot 2024.01\r\nC"));
    const QByteArray blockZero = device.read(133);
    QCOMPARE(blockZero.size(), 133);
    QVERIFY(blockZero.startsWith(QByteArray("\x01\x00\xff", 3) + "stopped.bin" + '\0' + "5000" + '\0'));

    QVERIFY(run.signal(signalNumber));
    QVERIFY2(run.waitForError("stopping"), qPrintable(run.diagnostics()));
    QVERIFY(device.write("\x06"));
    QCOMPARE(device.read(5), QByteArray(5, '\x18'));
    QCOMPARE(run.waitForExit(), 1);
    QCOMPARE(infoLines(run.out).last(), QStringLiteral("[info]Cancel the update."));
    QCOMPARE(device.read(1, 0), QByteArray());
}

// Without a reply the session would wake up only after its reply time-out; a second stop aborts the channel.
void TestKelpoSend::secondStopEndsAtOnce()
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    const QString path = makeFile(QStringLiteral("silent.bin"), randomBytes(500, 37));
    QVERIFY(!path.isEmpty());

    SendRun run;
    run.start({ device.slavePath(), path });
    QVERIFY2(run.waitForOutput(PREPARE_LINE), qPrintable(run.diagnostics()));
    QVERIFY(run.signal(SIGINT));
    QVERIFY2(run.waitForError("stopping"), qPrintable(run.diagnostics()));
    QVERIFY(run.signal(SIGINT));
    QCOMPARE(run.waitForExit(5000), 1);
    QCOMPARE(infoLines(run.out).last(), QStringLiteral("[info]Cancel the update."));
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
    device.reset();
    QCOMPARE(run.waitForExit(), 1);
    const QStringList lines = infoLines(run.out);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.last().contains(QLatin1String("lost")), qPrintable(lines.last()));
    QVERIFY(run.err.contains("not sent completely"));
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
    QVERIFY(QFile::copy(sendBinary(), program));
    const QString iniPath = installDir.filePath(QStringLiteral("config/config.ini"));
    if (!ini.isEmpty()) {
        QVERIFY(QDir(installDir.path()).mkdir(QStringLiteral("config")));
        QVERIFY(writeFile(iniPath, ini));
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
