// kelpo-send with several ports at once, each with its own rb behind socat; ports that appear late; and the
// JSON Lines a station script reads.
#include "testdata.h"
#include "rbreceiver.h"
#include "sendrun.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {
const char PREPARE_TEXT[] = "[info]Prepare to establish a connection.";

bool receivedWhole(const RbReceiver &rb, const QString &name, const QByteArray &content)
{
    QFile arrived(QDir(rb.receiveDir()).filePath(name));
    return arrived.open(QIODevice::ReadOnly) && arrived.readAll() == content;
}

// The summary line of a port in text mode, or an empty match.
QRegularExpressionMatch summaryOf(const SendRun &run, const QString &port)
{
    return QRegularExpression(
        QStringLiteral("^Summary %1: ([a-z-]+), (\\d+) bytes, ").arg(QRegularExpression::escape(port)),
        QRegularExpression::MultilineOption)
        .match(QString::fromLocal8Bit(run.out));
}

bool isJsonMessage(const QJsonObject &event, const QString &port, const char *text)
{
    return event.value(QLatin1String("event")) == QLatin1String("message")
        && event.value(QLatin1String("port")) == port
        && event.value(QLatin1String("text")) == QLatin1String(text);
}
} // namespace

class TestKelpoSendPorts : public QObject
{
    Q_OBJECT

private slots:
    void sendsToSeveralPorts_data();
    void sendsToSeveralPorts();
    void stopCancelsEveryPort();
    void prefixesDeviceLines();
    void drawsOneStatusLineOnTerminal();
    void waitsForPort_data();
    void waitsForPort();
    void reportsJsonLines();

private:
    QString makeFile(const QString &name, const QByteArray &content);

    QTemporaryDir m_files;
};

QString TestKelpoSendPorts::makeFile(const QString &name, const QByteArray &content)
{
    const QString path = m_files.filePath(name);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() ? path : QString();
}

void TestKelpoSendPorts::sendsToSeveralPorts_data()
{
    QTest::addColumn<int>("ports");
    // The receiver interrupted halfway, or -1.
    QTest::addColumn<int>("cancelling");
    QTest::newRow("two ports") << 2 << -1;
    QTest::newRow("two ports, one cancelling") << 2 << 0;
    QTest::newRow("four ports, one cancelling") << 4 << 2;
}

// Every port has its own engine: one receiver cancelling leaves the others to complete, and the exit status
// and the summary tell which did.
void TestKelpoSendPorts::sendsToSeveralPorts()
{
    QFETCH(int, ports);
    QFETCH(int, cancelling);
    const QByteArray content = randomBytes(400 * 1024, quint32(70 + ports));
    const QString path = makeFile(QStringLiteral("station.bin"), content);
    QVERIFY(!path.isEmpty());
    std::vector<std::unique_ptr<RbReceiver>> receivers;
    QStringList arguments;
    for (int i = 0; i < ports; ++i) {
        receivers.push_back(std::make_unique<RbReceiver>());
        QVERIFY2(receivers.back()->start(), qPrintable(receivers.back()->errorString()));
        arguments << receivers.back()->portPath();
    }

    SendRun run;
    run.start(arguments + QStringList { path });
    for (const auto &rb : receivers) {
        QVERIFY2(run.waitForOutput(rb->portPath().toLocal8Bit() + ": " + PREPARE_TEXT),
            qPrintable(run.diagnostics()));
        rb->release();
    }
    if (cancelling >= 0) {
        const QString port = receivers.at(size_t(cancelling))->portPath();
        QVERIFY2(run.waitForOutput(port.toLocal8Bit() + ": Progress: 5%"), qPrintable(run.diagnostics()));
        QVERIFY(receivers.at(size_t(cancelling))->interrupt());
    }
    QCOMPARE(run.waitForExit(), cancelling >= 0 ? 1 : 0);

    for (int i = 0; i < ports; ++i) {
        RbReceiver &rb = *receivers.at(size_t(i));
        const QRegularExpressionMatch summary = summaryOf(run, rb.portPath());
        QVERIFY2(summary.hasMatch(), qPrintable(run.diagnostics()));
        if (i == cancelling) {
            QCOMPARE(summary.captured(1), QStringLiteral("device-cancelled"));
            QVERIFY(summary.captured(2).toInt() < content.size());
            QVERIFY2(run.errorLines(rb.portPath()).last().contains(QLatin1String("was sent only in part")),
                qPrintable(run.diagnostics()));
            continue;
        }
        QCOMPARE(summary.captured(1), QStringLiteral("completed"));
        QCOMPARE(summary.captured(2).toInt(), content.size());
        QVERIFY(rb.waitForFinished());
        QVERIFY2(receivedWhole(rb, QStringLiteral("station.bin"), content), rb.diagnostics().constData());
        // Engine lines carry their port.
        QVERIFY(run.out.contains(rb.portPath().toLocal8Bit() + ": [info]Update process completed."));
    }
    QVERIFY(!run.out.contains("\nProgress:"));
}

// One Ctrl-C cancels every port at once, whatever each is doing.
void TestKelpoSendPorts::stopCancelsEveryPort()
{
    PtyPair first;
    PtyPair second;
    QVERIFY(first.isValid() && second.isValid());
    const QString path = makeFile(QStringLiteral("stopped.bin"), randomBytes(3000, 79));
    QVERIFY(!path.isEmpty());

    SendRun run;
    run.start({ first.slavePath(), second.slavePath(), path });
    for (const PtyPair *device : { &first, &second })
        QVERIFY2(run.waitForOutput(device->slavePath().toLocal8Bit() + ": " + PREPARE_TEXT),
            qPrintable(run.diagnostics()));
    QVERIFY(run.signal(SIGINT));
    QCOMPARE(first.read(5), QByteArray(5, '\x18'));
    QCOMPARE(second.read(5), QByteArray(5, '\x18'));
    QCOMPARE(run.waitForExit(), 1);
    for (const PtyPair *device : { &first, &second }) {
        QCOMPARE(summaryOf(run, device->slavePath()).captured(1), QStringLiteral("cancelled"));
        QCOMPARE(run.errorLines(device->slavePath()).last(),
            QStringLiteral("kelpo-send: %1: %2 was not sent at all: cancelled.")
                .arg(device->slavePath(), path));
    }
}

// With several ports every line the devices print starts with its port, also when a device's line arrives
// in pieces between another's.
void TestKelpoSendPorts::prefixesDeviceLines()
{
    PtyPair first;
    PtyPair second;
    QVERIFY(first.isValid() && second.isValid());
    const QString path = makeFile(QStringLiteral("prefixed.bin"), randomBytes(3000, 81));
    QVERIFY(!path.isEmpty());

    SendRun run;
    run.start({ QStringLiteral("--before"), QStringLiteral("send:?"), QStringLiteral("--before"),
        QStringLiteral("expect:ready"), first.slavePath(), second.slavePath(), path });
    // The masters cannot be read before the program holds the terminals.
    for (const PtyPair *device : { &first, &second })
        QVERIFY2(run.waitForError(device->slavePath().toLocal8Bit() + " is open; running the steps"),
            qPrintable(run.diagnostics()));
    QCOMPARE(first.read(1), QByteArray("?"));
    QCOMPARE(second.read(1), QByteArray("?"));
    QVERIFY(first.write("U-Boot "));
    QVERIFY(run.waitForOutput(first.slavePath().toLocal8Bit() + ": U-Boot "));
    QVERIFY(second.write("SPL booting\r\nready\r\n"));
    QVERIFY(run.waitForOutput(second.slavePath().toLocal8Bit() + ": " + PREPARE_TEXT));
    QVERIFY(first.write("2023.01\r\nready\r\n"));
    QVERIFY(run.waitForOutput(first.slavePath().toLocal8Bit() + ": " + PREPARE_TEXT));
    QVERIFY(run.signal(SIGINT));
    QCOMPARE(run.waitForExit(), 1);

    const QByteArray one = first.slavePath().toLocal8Bit() + ": ";
    const QByteArray two = second.slavePath().toLocal8Bit() + ": ";
    // The first device's line was cut by the second's and goes on under its port again.
    for (const QByteArray &line : { one + "U-Boot \n", two + "SPL booting\r\n", two + "ready\r\n",
             one + "2023.01\r\n", one + "ready\r\n" })
        QVERIFY2(run.out.contains(line), qPrintable(run.diagnostics()));
}

// On a terminal the ports' progress shares one line redrawn in place, each percent after its port.
void TestKelpoSendPorts::drawsOneStatusLineOnTerminal()
{
    PtyPair terminal;
    QVERIFY2(terminal.isValid(), qPrintable(terminal.errorString()));
    const QByteArray content = randomBytes(100 * 1024, 87);
    const QString path = makeFile(QStringLiteral("status.bin"), content);
    QVERIFY(!path.isEmpty());
    RbReceiver first;
    RbReceiver second;
    QVERIFY2(first.start() && second.start(), qPrintable(first.errorString() + second.errorString()));

    SendRun run;
    run.setTerminal(&terminal);
    run.start({ first.portPath(), second.portPath(), path });
    for (RbReceiver *rb : { &first, &second }) {
        QVERIFY2(run.waitForOutput(rb->portPath().toLocal8Bit() + ": " + PREPARE_TEXT),
            qPrintable(run.diagnostics()));
        rb->release();
    }
    QCOMPARE(run.waitForExit(), 0);
    QVERIFY(run.waitUntil([&] { return run.out.contains("Summary " + second.portPath().toLocal8Bit()); }));

    QVERIFY2(!run.out.contains("Progress:"), run.out.constData());
    for (const RbReceiver *rb : { &first, &second }) {
        QVERIFY2(run.out.contains("\r\033[K") && run.out.contains(rb->portPath().toLocal8Bit() + " 100%"),
            qPrintable(run.diagnostics()));
        QVERIFY(run.out.contains(
            "\r\033[K" + rb->portPath().toLocal8Bit() + ": [info]Update process completed.\n"));
    }
    // The status line is wiped before the summary, which starts on a line of its own.
    QVERIFY2(run.out.contains("\r\033[KSummary "), qPrintable(run.diagnostics()));
}

void TestKelpoSendPorts::waitsForPort_data()
{
    QTest::addColumn<bool>("appears");
    QTest::newRow("appears while waiting") << true;
    QTest::newRow("never appears") << false;
}

// rb's terminal is made only after kelpo-send started, as a board that re-enumerates after its reset.
void TestKelpoSendPorts::waitsForPort()
{
    QFETCH(bool, appears);
    const QByteArray content = randomBytes(20000, 83);
    const QString path = makeFile(QStringLiteral("late.bin"), content);
    QVERIFY(!path.isEmpty());
    RbReceiver rb;
    QVERIFY(!QFileInfo::exists(rb.portPath()));

    SendRun run;
    run.start({ QStringLiteral("--wait-port"), appears ? QStringLiteral("60") : QStringLiteral("0.3"),
        rb.portPath(), path });
    QVERIFY2(
        run.waitForError("for " + rb.portPath().toLocal8Bit() + " to appear"), qPrintable(run.diagnostics()));
    if (!appears) {
        QCOMPARE(run.waitForExit(), 1);
        QVERIFY2(run.errorLines().last().startsWith(
                     QStringLiteral("kelpo-send: cannot open %1: ").arg(rb.portPath())),
            qPrintable(run.diagnostics()));
        QCOMPARE(summaryOf(run, rb.portPath()).captured(1), QStringLiteral("port-unavailable"));
        return;
    }
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    QVERIFY2(run.waitForOutput(PREPARE_TEXT), qPrintable(run.diagnostics()));
    rb.release();
    QCOMPARE(run.waitForExit(), 0);
    QVERIFY(rb.waitForFinished());
    QVERIFY(receivedWhole(rb, QStringLiteral("late.bin"), content));
}

// Every line is a JSON object with its event and port; per port the events come in their order, and the
// summary is last. One port that does not exist fails alone.
void TestKelpoSendPorts::reportsJsonLines()
{
    const QByteArray content = randomBytes(50000, 89);
    const QString path = makeFile(QStringLiteral("json.bin"), content);
    QVERIFY(!path.isEmpty());
    RbReceiver rb;
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    const QString missing = m_files.filePath(QStringLiteral("no-such-port"));

    SendRun run;
    run.start({ QStringLiteral("--json"), QStringLiteral("--before"), QStringLiteral("wait:0"), rb.portPath(),
        missing, path });
    QVERIFY2(run.waitUntil([&] {
        const QList<QJsonObject> events = run.jsonEvents();
        return std::any_of(events.begin(), events.end(),
            [&](const QJsonObject &event) { return isJsonMessage(event, rb.portPath(), PREPARE_TEXT); });
    }),
        qPrintable(run.diagnostics()));
    rb.release();
    QCOMPARE(run.waitForExit(), 1);
    QVERIFY(rb.waitForFinished());
    QVERIFY(receivedWhole(rb, QStringLiteral("json.bin"), content));

    const QList<QJsonObject> events = run.jsonEvents();
    QCOMPARE(events.size(), run.out.count('\n'));
    QMap<QString, QStringList> order;
    QList<int> percents;
    for (const QJsonObject &event : events) {
        QVERIFY2(!event.isEmpty() && event.contains(QLatin1String("event"))
                && event.contains(QLatin1String("port")),
            qPrintable(run.diagnostics()));
        const QString name = event.value(QLatin1String("event")).toString();
        const QString port = event.value(QLatin1String("port")).toString();
        order[port] << (isJsonMessage(event, port, PREPARE_TEXT) ? QStringLiteral("prepare") : name);
        if (name == QLatin1String("start")) {
            QCOMPARE(event.value(QLatin1String("file")).toString(), path);
            QCOMPARE(event.value(QLatin1String("size")).toInt(), content.size());
            QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{8}$"))
                        .match(event.value(QLatin1String("crc32")).toString())
                        .hasMatch());
        } else if (name == QLatin1String("progress")) {
            percents << event.value(QLatin1String("percent")).toInt();
        } else if (name == QLatin1String("step")) {
            QCOMPARE(event.value(QLatin1String("phase")).toString(), QStringLiteral("before"));
            QCOMPARE(event.value(QLatin1String("step")).toString(), QStringLiteral("wait:0"));
            QVERIFY(event.value(QLatin1String("ok")).toBool());
        }
    }
    // Per port: its start first, its end last, the step before the session, the session before progress.
    const QStringList sent = order.value(rb.portPath());
    QVERIFY2(sent.first() == QLatin1String("start") && sent.last() == QLatin1String("end")
            && sent.count(QStringLiteral("end")) == 1,
        qPrintable(sent.join(QLatin1Char(' '))));
    QVERIFY2(sent.indexOf(QStringLiteral("step")) < sent.indexOf(QStringLiteral("prepare"))
            && sent.indexOf(QStringLiteral("prepare")) < sent.indexOf(QStringLiteral("progress")),
        qPrintable(sent.join(QLatin1Char(' '))));
    QCOMPARE(order.value(missing), (QStringList { "start", "end" }));
    QVERIFY(!percents.isEmpty() && percents.last() == 100);

    QMap<QString, QJsonObject> ends;
    for (const QJsonObject &event : events)
        if (event.value(QLatin1String("event")) == QLatin1String("end"))
            ends.insert(event.value(QLatin1String("port")).toString(), event);
    QCOMPARE(
        ends.value(rb.portPath()).value(QLatin1String("outcome")).toString(), QStringLiteral("completed"));
    QCOMPARE(ends.value(rb.portPath()).value(QLatin1String("bytes")).toInt(), content.size());
    QCOMPARE(ends.value(rb.portPath()).value(QLatin1String("retransmissions")).toInt(), 0);
    QVERIFY(ends.value(rb.portPath()).value(QLatin1String("seconds")).toDouble() > 0);
    QCOMPARE(
        ends.value(missing).value(QLatin1String("outcome")).toString(), QStringLiteral("port-unavailable"));

    const QJsonObject summary = events.last();
    QCOMPARE(summary.value(QLatin1String("event")).toString(), QStringLiteral("summary"));
    QVERIFY(summary.value(QLatin1String("port")).isNull());
    QCOMPARE(summary.value(QLatin1String("completed")).toInt(), 1);
    QCOMPARE(summary.value(QLatin1String("failed")).toInt(), 1);
    // The reason still reaches the error output, as the port's last line there.
    QVERIFY(run.errorLines(missing).last().contains(QLatin1String("cannot open")));
}

QTEST_GUILESS_MAIN(TestKelpoSendPorts)
#include "tst_kelposendports.moc"
