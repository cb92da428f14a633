// kelpo-send's steps before and after the transfer: how they are read from the command line, the file's
// figures they use, and how they run against a device played by hand on a pseudo-terminal and against a
// real U-Boot under QEMU.
#include "testdata.h"
#include "filefacts.h"
#include "ptypair.h"
#include "testdata.h"
#include "sendrun.h"
#include "step.h"
#include "ubootboard.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {
const char PREPARE_LINE[] = "[info]Prepare to establish a connection.";
} // namespace

class TestKelpoSendSteps : public QObject
{
    Q_OBJECT

private slots:
    void readsStep_data();
    void readsStep();
    void measuresFile_data();
    void measuresFile();
    void putsFileValuesInSteps();
    void runsStepsInOrderBeforeTransfer();
    void failedStepEndsPort_data();
    void failedStepEndsPort();
    void flashesUBoot_data();
    void flashesUBoot();

private:
    QString makeFile(const QString &name, const QByteArray &content);

    QTemporaryDir m_files;
};

QString TestKelpoSendSteps::makeFile(const QString &name, const QByteArray &content)
{
    const QString path = m_files.filePath(name);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() ? path : QString();
}

void TestKelpoSendSteps::readsStep_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<int>("dtr");
    QTest::addColumn<int>("rts");
    QTest::addColumn<int>("milliseconds");
    QTest::newRow("send with escapes") << QStringLiteral("send:loady\\t0x40\\\\\\r\\n") << int(Step::Send)
                                       << QByteArray("loady\t0x40\\\r\n") << QString() << -1 << -1 << 0;
    QTest::newRow("send hex bytes") << QStringLiteral("send:\\x03\\xFFa\\x7e") << int(Step::Send)
                                    << QByteArray("\x03\xff"
                                                  "a~")
                                    << QString() << -1 << -1 << 0;
    QTest::newRow("send keeps colons")
        << QStringLiteral("send:a:b") << int(Step::Send) << QByteArray("a:b") << QString() << -1 << -1 << 0;
    QTest::newRow("send nothing") << QStringLiteral("send:") << int(Step::Send) << QByteArray() << QString()
                                  << -1 << -1 << 0;
    QTest::newRow("expect as given") << QStringLiteral("expect:=> \\d+") << int(Step::Expect) << QByteArray()
                                     << QStringLiteral("=> \\d+") << -1 << -1 << 0;
    QTest::newRow("both lines") << QStringLiteral("lines:dtr=0,rts=1") << int(Step::Lines) << QByteArray()
                                << QString() << 0 << 1 << 0;
    QTest::newRow("rts only") << QStringLiteral("lines:rts=0") << int(Step::Lines) << QByteArray()
                              << QString() << -1 << 0 << 0;
    QTest::newRow("dtr only") << QStringLiteral("lines:dtr=1") << int(Step::Lines) << QByteArray()
                              << QString() << 1 << -1 << 0;
    QTest::newRow("wait") << QStringLiteral("wait:250") << int(Step::Wait) << QByteArray() << QString() << -1
                          << -1 << 250;
}

void TestKelpoSendSteps::readsStep()
{
    QFETCH(QString, text);
    QFETCH(int, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, pattern);
    QFETCH(int, dtr);
    QFETCH(int, rts);
    QFETCH(int, milliseconds);
    Step step;
    QString error;
    QVERIFY2(Step::parse(text, &step, &error), qPrintable(error));
    QCOMPARE(int(step.kind()), kind);
    QCOMPARE(step.text(), text);
    QCOMPARE(step.bytes(), bytes);
    QCOMPARE(step.pattern(), pattern);
    QCOMPARE(step.dtr(), dtr);
    QCOMPARE(step.rts(), rts);
    QCOMPARE(step.milliseconds(), milliseconds);
}

void TestKelpoSendSteps::measuresFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("crc32");
    // Values of zlib's crc32().
    QTest::newRow("check string") << QByteArray("123456789") << QStringLiteral("cbf43926");
    QTest::newRow("pangram") << QByteArray("The quick brown fox jumps over the lazy dog")
                             << QStringLiteral("414fa339");
    QTest::newRow("several read chunks") << QByteArray(200000, 'a') << QStringLiteral("e069539b");
    QTest::newRow("one zero byte") << QByteArray(1, '\0') << QStringLiteral("d202ef8d");
}

void TestKelpoSendSteps::measuresFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, crc32);
    const QString path = makeFile(QStringLiteral("measured.bin"), content);
    QVERIFY(!path.isEmpty());
    const FileFacts facts = FileFacts::read(path);
    QVERIFY(facts.readable);
    QCOMPARE(facts.name, QStringLiteral("measured.bin"));
    QCOMPARE(facts.size, qint64(content.size()));
    QCOMPARE(facts.crc32Text(), crc32);
    QVERIFY(!FileFacts::read(m_files.filePath(QStringLiteral("absent.bin"))).readable);
    QVERIFY(!FileFacts::read(m_files.path()).readable);
}

// In a pattern the values match only themselves: the dot and parentheses of a name are not operators.
void TestKelpoSendSteps::putsFileValuesInSteps()
{
    FileFacts facts;
    facts.name = QStringLiteral("fw(1).bin");
    facts.size = 4096;
    facts.crc32 = 0x0badf00d;
    Step send;
    Step expect;
    QString error;
    QVERIFY(
        Step::parse(QStringLiteral("send:crc32 {size} {size_hex} {crc32} {name} {other}\\r"), &send, &error));
    QVERIFY(Step::parse(QStringLiteral("expect:^{name} ==> {crc32}$"), &expect, &error));
    QCOMPARE(send.resolved(facts).bytes(), QByteArray("crc32 4096 1000 0badf00d fw(1).bin {other}\r"));
    const QRegularExpression pattern(expect.resolved(facts).pattern());
    QVERIFY(pattern.match(QStringLiteral("fw(1).bin ==> 0badf00d")).hasMatch());
    QVERIFY(!pattern.match(QStringLiteral("fw1xbin ==> 0badf00d")).hasMatch());
}

// The device answers each step by hand: the second send goes out only once the expect in between matched,
// and the transfer begins after the last step.
void TestKelpoSendSteps::runsStepsInOrderBeforeTransfer()
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    const QString path = makeFile(QStringLiteral("steps.bin"), randomBytes(5000, 61));
    QVERIFY(!path.isEmpty());

    SendRun run;
    run.start(
        { QStringLiteral("--before"), QStringLiteral("send:hello {size}\\r"), QStringLiteral("--before"),
            QStringLiteral("expect:ready (\\d+)"), QStringLiteral("--before"), QStringLiteral("wait:0"),
            QStringLiteral("--before"), QStringLiteral("send:go\\x21"), device.slavePath(), path });
    // The master cannot be read before the program holds the terminal.
    QVERIFY2(run.waitForError("running the steps"), qPrintable(run.diagnostics()));
    QCOMPARE(device.read(11), QByteArray("hello 5000\r"));
    QCOMPARE(device.read(1, 0), QByteArray());
    QVERIFY(device.write("boot noise\r\nready 7\r\n"));
    QCOMPARE(device.read(3), QByteArray("go!"));
    QVERIFY2(run.waitForOutput(PREPARE_LINE), qPrintable(run.diagnostics()));
    // Device text during the steps is shown as it comes.
    QVERIFY(run.out.contains("boot noise\r\nready 7\r\n"));
    const QStringList steps = run.errorLines().filter(QRegularExpression(QStringLiteral("before step \\d")));
    QCOMPARE(steps.size(), 4);
    for (int i = 0; i < steps.size(); ++i)
        QVERIFY2(steps.at(i).contains(QStringLiteral("before step %1 ").arg(i + 1))
                && steps.at(i).contains(": done"),
            qPrintable(steps.at(i)));

    QVERIFY(run.signal(SIGINT));
    QCOMPARE(run.waitForExit(), 1);
    QVERIFY(run.out.contains("Summary " + device.slavePath().toLocal8Bit() + ": cancelled, 0 bytes"));
}

void TestKelpoSendSteps::failedStepEndsPort_data()
{
    QTest::addColumn<QStringList>("steps");
    // What the device reads first and then answers, if anything.
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("failure");
    QTest::newRow("expect runs out of time")
        << QStringList { QStringLiteral("--before"), QStringLiteral("send:version\\r"),
               QStringLiteral("--before"), QStringLiteral("expect:booting"), QStringLiteral("--before"),
               QStringLiteral("expect:never") }
        << QByteArray("version\r") << QByteArray("U-Boot booting\r\n")
        << QStringLiteral("step 3 of --before, \"expect:never\", failed: nothing matched within 1 s; the "
                          "device's last words: \"U-Boot booting\\r\\n\"; nothing was sent.");
    QTest::newRow("lines a pseudo-terminal cannot set")
        << QStringList { QStringLiteral("--before"), QStringLiteral("lines:dtr=0,rts=1") } << QByteArray()
        << QByteArray()
        << QStringLiteral("step 1 of --before, \"lines:dtr=0,rts=1\", failed: the port cannot set its modem "
                          "lines (");
}

// A failing step ends its port at once: a line naming the step and the device's last words, no transfer.
// The time-out is short, yet long enough for the device's answer to the step before.
void TestKelpoSendSteps::failedStepEndsPort()
{
    QFETCH(QStringList, steps);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(QString, failure);
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    const QString path = makeFile(QStringLiteral("failing.bin"), randomBytes(500, 67));
    QVERIFY(!path.isEmpty());

    SendRun run;
    run.start(QStringList { QStringLiteral("--expect-timeout"), QStringLiteral("1") } + steps
        + QStringList { device.slavePath(), path });
    if (!request.isEmpty()) {
        QVERIFY2(run.waitForError("running the steps"), qPrintable(run.diagnostics()));
        QCOMPARE(device.read(request.size()), request);
        QVERIFY(device.write(reply));
    }
    QCOMPARE(run.waitForExit(), 1);

    const QString last = run.errorLines().value(run.errorLines().size() - 1);
    QVERIFY2(last.startsWith(QStringLiteral("kelpo-send: ") + failure), qPrintable(run.diagnostics()));
    const QStringList stepLines = run.errorLines().filter(QStringLiteral(" failed ("));
    QCOMPARE(stepLines.size(), 1);
    QVERIFY2(
        stepLines.first().startsWith(QStringLiteral("kelpo-send: before step %1 ").arg(steps.size() / 2)),
        qPrintable(stepLines.first()));
    QVERIFY(!run.out.contains(PREPARE_LINE));
    QVERIFY(run.out.contains("Summary " + device.slavePath().toLocal8Bit() + ": step-failed, 0 bytes"));
    // Nothing of the file reached the device.
    QCOMPARE(device.read(1, 0), QByteArray());
}

void TestKelpoSendSteps::flashesUBoot_data()
{
    QTest::addColumn<bool>("rightCrc");
    QTest::newRow("the board holds the file") << true;
    QTest::newRow("the check expects another CRC") << false;
}

// The README's command, from U-Boot's prompt: the steps start loady, the file goes, and the board's own
// crc32 of what it received must be the file's. Expecting another CRC fails the after step.
void TestKelpoSendSteps::flashesUBoot()
{
    QFETCH(bool, rightCrc);
    const QString why = UBootBoard::unavailableReason();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    const QByteArray firmware = randomBytes(6000, 97);
    const QString path = makeFile(QStringLiteral("fw.bin"), firmware);
    QVERIFY(!path.isEmpty());
    const QString crc = QStringLiteral("%1").arg(crc32Ieee(firmware), 8, 16, QLatin1Char('0'));
    const QString wrongCrc = QStringLiteral("%1").arg(~crc32Ieee(firmware), 8, 16, QLatin1Char('0'));

    UBootBoard board;
    QVERIFY2(board.start() && board.waitForPrompt(), qPrintable(board.errorString()));
    board.releasePort();
    SendRun run;
    // The board takes what is typed only once QEMU has noticed the new reader, within about a second.
    run.start({ QStringLiteral("--expect-timeout"), QStringLiteral("5"), QStringLiteral("--before"),
        QStringLiteral("send:\\r"), QStringLiteral("--before"), QStringLiteral("expect:=> "),
        QStringLiteral("--before"), QStringLiteral("send:loady 0x40200000\\r"), QStringLiteral("--before"),
        QStringLiteral("expect:Ready for binary"), QStringLiteral("--after"), QStringLiteral("expect:=> "),
        QStringLiteral("--after"), QStringLiteral("send:crc32 0x40200000 {size_hex}\\r"),
        QStringLiteral("--after"),
        QStringLiteral("expect:==> ") + (rightCrc ? QStringLiteral("{crc32}") : wrongCrc), board.portPath(),
        path });
    QCOMPARE(run.waitForExit(), rightCrc ? 0 : 1);

    const QString diagnostics
        = run.diagnostics() + QStringLiteral("\n--- board:\n") + QString::fromLocal8Bit(board.diagnostics());
    // The board's answer was on the console either way.
    QVERIFY2(
        run.out.contains("crc32 for 40200000 ... 4020176f ==> " + crc.toLatin1()), qPrintable(diagnostics));
    QVERIFY2(run.out.contains("Summary " + board.portPath().toLocal8Bit()
                 + (rightCrc ? ": completed, " : ": step-failed, ") + QByteArray::number(firmware.size())
                 + " bytes"),
        qPrintable(diagnostics));
    if (rightCrc) {
        QVERIFY2(run.errorLines().filter(QStringLiteral(" step ")).size() == 7, qPrintable(diagnostics));
        return;
    }
    const QString last = run.errorLines().last();
    QVERIFY2(
        last.startsWith(QStringLiteral("kelpo-send: step 3 of --after, \"expect:==> %1\", failed: nothing "
                                       "matched within 5 s; the device's last words: \"")
                            .arg(wrongCrc)),
        qPrintable(diagnostics));
    QVERIFY2(last.contains(QStringLiteral("==> %1\\r\\n=> \"").arg(crc)), qPrintable(last));
    QVERIFY2(
        last.endsWith(QStringLiteral("; %1 was sent, but its check failed.").arg(path)), qPrintable(last));
}

QTEST_GUILESS_MAIN(TestKelpoSendSteps)
#include "tst_kelposendsteps.moc"
