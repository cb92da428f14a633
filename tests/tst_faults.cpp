// kelpo-send against the real rb over a line that misbehaves: bytes corrupted, lost, doubled or held back in
// either direction. Whatever happens, a run either delivers the file byte for byte and says so, or says it
// cancelled and exits non-zero; it never claims a transfer it did not make, never crashes and never waits
// longer than its own time-outs allow.
#include "faultyrelay.h"
#include "handlethread.h"
#include "testdata.h"
#include "rbreceiver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using Fault = FaultyRelay::Fault;
Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(QVector<Fault>)

namespace {

// Runs at once: they spend their time waiting on time-outs, not on the processor.
constexpr int PARALLEL_RUNS = 12;
constexpr int DEFAULT_SEEDS = 150;
constexpr int LARGEST_FILE = 6000;
// Start-up of rb, socat and kelpo-send (slow under the sanitizers) and the wake-up after a cancel.
constexpr int BASE_LIMIT_MS = 30000;
// Each fault may cost the sender a reply time-out and rb one of its own on top.
constexpr int PER_FAULT_LIMIT_MS = 2 * TransferOptions().replyTimeoutMs + 5000;
// Short enough that a run whose last reply is lost gives up soon, longer than the relay's longest delay.
const char REPLY_TIMEOUT[] = "3";
constexpr int RELAY_WAIT_MS = 5000;

const char PREPARE_LINE[] = "[info]Prepare to establish a connection.";
const char COMPLETED_LINE[] = "[info]Update process completed.";
// The lines that end a session short of the file, each in its own words.
const char *const CANCEL_LINES[] = { "[info]Resend more than", "[info]Cancel the update.",
    "[info]The device cancelled", "[info]The device refused", "[info]Serial port " };
const char *const SANITIZER_MARKS[]
    = { "AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:" };

// The bytes each way of a clean transfer: block 0, the data packets (1 KiB while more than 1 KiB is left,
// then 128 bytes), EOT and the end packet; the replies C, ACK, C, one ACK per packet, ACK, C, ACK.
FaultyRelay::Lengths cleanLengths(qint64 fileSize)
{
    qint64 packets = 0;
    qint64 dataBytes = 0;
    for (qint64 left = fileSize; left > 0; ++packets) {
        const int payload = left > 1024 ? 1024 : 128;
        dataBytes += payload + 5;
        left -= payload;
    }
    return { 133 + dataBytes + 1 + 133, packets + 6 };
}

int environmentNumber(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

Fault fault(FaultyRelay::Direction direction, qint64 offset, FaultyRelay::Kind kind, int value = 0)
{
    Fault made;
    made.direction = direction;
    made.offset = offset;
    made.kind = kind;
    made.value = value;
    return made;
}

bool isRetransmission(const QString &line)
{
    return line.startsWith(QLatin1String("[info]No feedback received after timeout"))
        || (line.startsWith(QLatin1String("[info]Resend "))
            && !line.startsWith(QLatin1String("[info]Resend more")));
}

} // namespace

// One transfer through the relay: rb behind socat, the relay in front of it, kelpo-send on the relay's
// terminal. It runs on the event loop, so that several can go at once; sigDone tells it is over.
class FaultRun : public QObject
{
    Q_OBJECT

public:
    FaultRun(quint32 seed, const QVector<Fault> &faults, const QString &path, const QByteArray &content)
        : m_seed(seed), m_faults(faults), m_path(path), m_content(content), m_relay(faults)
    {
        connect(&m_process, &QProcess::readyReadStandardOutput, this, &FaultRun::slotOutput);
        connect(&m_process, &QProcess::readyReadStandardError, this,
            [this] { m_err += m_process.readAllStandardError(); });
        connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &FaultRun::slotSenderEnded);
        connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                conclude(QStringLiteral("kelpo-send did not start: ") + m_process.errorString());
        });
        connect(&m_relay, &FaultyRelay::sigReceiverClosed, this, &FaultRun::slotReceiverEnded);
        m_deadline.setSingleShot(true);
        connect(&m_deadline, &QTimer::timeout, this, &FaultRun::slotDeadline);
    }

    ~FaultRun() override
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    void start()
    {
        if (!m_rb.start())
            return conclude(QStringLiteral("rb did not start: ") + m_rb.errorString());
        if (!m_relay.open(m_rb.portPath()))
            return conclude(QStringLiteral("the relay did not open: ") + m_relay.errorString());
        int limit = BASE_LIMIT_MS;
        for (const Fault &planned : qAsConst(m_faults))
            limit += PER_FAULT_LIMIT_MS + (planned.kind == FaultyRelay::Delay ? planned.value : 0);
        m_limitMs = limit;
        m_deadline.start(limit);
        m_clock.start();
        m_process.start(QStringLiteral(KELPO_BINARY_DIR "/kelpo-send"),
            { QStringLiteral("--reply-timeout"), QLatin1String(REPLY_TIMEOUT), m_relay.senderPort(), m_path });
    }

    bool isDone() const { return m_done; }
    // How long the run took, and the limit its faults allowed it.
    qint64 elapsedMs() const { return m_elapsedMs; }
    int limitMs() const { return m_limitMs; }
    // The first line that says why the session cancelled, without its prefix and tail; empty if none did.
    QString cancelReason() const
    {
        for (const QString &line : m_lines)
            for (const char *cancel : CANCEL_LINES)
                if (line.startsWith(QLatin1String(cancel)))
                    return line.mid(int(qstrlen("[info]"))).section(QStringLiteral(", "), 0, 0);
        return QString();
    }
    bool completed() const { return m_completed; }
    // Empty when the run ended in one of the two sound ways; otherwise what went wrong, with the transcript.
    QString problem() const { return m_problem; }
    int retransmissions() const
    {
        return int(std::count_if(m_lines.cbegin(), m_lines.cend(), isRetransmission));
    }
    QStringList lines() const { return m_lines; }
    qint64 bytesRead(FaultyRelay::Direction direction) const { return m_relay.bytesRead(direction); }
    int faultsApplied() const { return m_relay.faultsApplied(); }

    QString transcript() const
    {
        return QStringLiteral("seed %1, %2 bytes, faults: %3\nrelay:\n  %4\nkelpo-send (exit %5):\n%6\n"
                              "--- stderr:\n%7--- rb:\n%8")
            .arg(m_seed)
            .arg(m_content.size())
            .arg(FaultyRelay::describe(m_faults), m_relay.log().join(QStringLiteral("\n  ")))
            .arg(m_exitCode)
            .arg(QString::fromLocal8Bit(m_out), QString::fromLocal8Bit(m_err),
                QString::fromLocal8Bit(m_rb.diagnostics()));
    }

signals:
    void sigDone();

private slots:
    void slotOutput()
    {
        m_out += m_process.readAllStandardOutput();
        // The session has drained its input and holds the port: now the relay may read it and rb may start.
        if (!m_released && m_out.contains(PREPARE_LINE)) {
            m_released = true;
            m_relay.start();
            m_rb.release();
        }
    }

    void slotSenderEnded(int exitCode, QProcess::ExitStatus status)
    {
        m_out += m_process.readAllStandardOutput();
        m_err += m_process.readAllStandardError();
        for (const QString &line : QString::fromLocal8Bit(m_out).split(QLatin1Char('\n')))
            if (line.startsWith(QLatin1String("[info]")))
                m_lines << line;
        m_exitCode = status == QProcess::NormalExit ? exitCode : -1;
        if (status != QProcess::NormalExit)
            return conclude(QStringLiteral("kelpo-send was killed by a signal"));
        for (const char *mark : SANITIZER_MARKS)
            if (m_err.contains(mark))
                return conclude(QStringLiteral("the sanitizers reported a fault"));
        if (exitCode != 0)
            return conclude(cancelProblem());
        if (m_lines.isEmpty() || m_lines.last() != QLatin1String(COMPLETED_LINE))
            return conclude(QStringLiteral("exit 0 without \"%1\" as the last line").arg(COMPLETED_LINE));
        // rb writes the file out as it exits, after its last ACK.
        if (m_relay.isReceiverClosed())
            slotReceiverEnded();
    }

    void slotReceiverEnded()
    {
        if (m_done || m_process.state() != QProcess::NotRunning || m_exitCode != 0)
            return;
        if (!m_rb.waitForFinished(RELAY_WAIT_MS))
            return conclude(QStringLiteral("rb's terminal closed but socat did not end"));
        QFile arrived(QDir(m_rb.receiveDir()).filePath(QFileInfo(m_path).fileName()));
        if (!arrived.open(QIODevice::ReadOnly))
            return conclude(QStringLiteral("completed, but rb holds no file ") + arrived.fileName());
        const QByteArray received = arrived.readAll();
        if (received != m_content)
            return conclude(QStringLiteral("completed, but rb received %1 bytes that differ from the %2 sent")
                                .arg(received.size())
                                .arg(m_content.size()));
        m_completed = true;
        conclude(QString());
    }

    void slotDeadline()
    {
        conclude(m_process.state() != QProcess::NotRunning
                ? QStringLiteral("kelpo-send still ran after %1 s").arg(m_limitMs / 1000)
                : QStringLiteral("completed, but rb had not ended after %1 s").arg(m_limitMs / 1000));
    }

private:
    QString cancelProblem() const
    {
        if (m_lines.contains(QLatin1String(COMPLETED_LINE)))
            return QStringLiteral("exit %1 after \"%2\"").arg(m_exitCode).arg(COMPLETED_LINE);
        if (cancelReason().isEmpty())
            return QStringLiteral("exit %1 without a line that says the update was cancelled")
                .arg(m_exitCode);
        return QString();
    }

    void conclude(const QString &problem)
    {
        if (m_done)
            return;
        m_done = true;
        m_deadline.stop();
        m_elapsedMs = m_clock.isValid() ? m_clock.elapsed() : 0;
        m_problem = problem;
        emit sigDone();
    }

    const quint32 m_seed;
    const QVector<Fault> m_faults;
    const QString m_path;
    const QByteArray m_content;
    RbReceiver m_rb;
    FaultyRelay m_relay;
    QProcess m_process;
    QTimer m_deadline;
    int m_limitMs = 0;
    QElapsedTimer m_clock;
    qint64 m_elapsedMs = 0;
    QByteArray m_out;
    QByteArray m_err;
    QStringList m_lines;
    int m_exitCode = -1;
    bool m_released = false;
    bool m_completed = false;
    bool m_done = false;
    QString m_problem;
};

// What the sweep saw, for its last line.
struct Tally
{
    void add(const FaultRun &run)
    {
        ++runs;
        if (!run.problem().isEmpty())
            problems << run.problem() + QLatin1Char('\n') + run.transcript();
        else if (run.completed())
            ++completed;
        else
            ++cancelReasons[run.cancelReason()];
        retransmissions += run.retransmissions();
        faultsApplied += run.faultsApplied();
        if (run.limitMs() > 0)
            slowestShare = qMax(slowestShare, double(run.elapsedMs()) / run.limitMs());
    }

    QString text() const
    {
        int cancelled = 0;
        QStringList reasons;
        for (auto it = cancelReasons.cbegin(); it != cancelReasons.cend(); ++it) {
            cancelled += it.value();
            reasons << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
        }
        return QStringLiteral("faults: %1 runs, %2 completed, %3 cancelled, %4 wrong, %5 retransmissions, %6 "
                              "faults applied, slowest run took %7% of its limit; cancelled on: %8")
            .arg(runs)
            .arg(completed)
            .arg(cancelled)
            .arg(problems.size())
            .arg(retransmissions)
            .arg(faultsApplied)
            .arg(int(slowestShare * 100))
            .arg(reasons.join(QStringLiteral(", ")));
    }

    int runs = 0;
    int completed = 0;
    int retransmissions = 0;
    int faultsApplied = 0;
    double slowestShare = 0;
    QMap<QString, int> cancelReasons;
    QStringList problems;
};

class TestFaults : public QObject
{
    Q_OBJECT

signals:
    // Some run of the sweep is over.
    void sigRunDone();

private slots:
    void planIsRepeatable();
    void relaysUnchanged();
    void appliesFault_data();
    void appliesFault();
    void delayHoldsStream();
    void survivesNamedFault_data();
    void survivesNamedFault();
    void survivesSeededFaults();

private:
    QString makeFile(const QString &name, const QByteArray &content);
    // Waits until the run is over; false if it never ended.
    static bool waitFor(FaultRun &run);

    QTemporaryDir m_files;
};

QString TestFaults::makeFile(const QString &name, const QByteArray &content)
{
    QFile file(m_files.filePath(name));
    if (!m_files.isValid() || !file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return QString();
    return file.fileName();
}

bool TestFaults::waitFor(FaultRun &run)
{
    QSignalSpy done(&run, &FaultRun::sigDone);
    return run.isDone() || done.wait(BASE_LIMIT_MS + 4 * PER_FAULT_LIMIT_MS);
}

// A failing seed must give the same faults when run again on its own.
void TestFaults::planIsRepeatable()
{
    const FaultyRelay::Lengths lengths = cleanLengths(3000);
    QSet<QString> distinct;
    for (quint32 seed = 1; seed <= 200; ++seed) {
        const QVector<Fault> faults = FaultyRelay::plan(seed, lengths);
        QCOMPARE(FaultyRelay::describe(FaultyRelay::plan(seed, lengths)), FaultyRelay::describe(faults));
        distinct << FaultyRelay::describe(faults);
        QVERIFY(faults.size() >= 1 && faults.size() <= 3);
        for (int i = 0; i < faults.size(); ++i) {
            const Fault &f = faults.at(i);
            const bool toSender = f.direction == FaultyRelay::ToSender;
            QVERIFY(f.offset >= 0 && f.offset < (toSender ? lengths.toSender : lengths.toReceiver));
            // Losing rb's last ACK would leave the sender retransmitting to a receiver that is gone.
            QVERIFY(!(toSender && f.kind == FaultyRelay::Drop && f.offset == lengths.toSender - 1));
            if (f.kind == FaultyRelay::Delay)
                QVERIFY(f.value > 0 && f.value <= FaultyRelay::MAX_DELAY_MS);
            if (f.kind == FaultyRelay::Corrupt)
                QVERIFY(f.value > 0 && f.value < 256);
            if (i > 0 && faults.at(i - 1).direction == f.direction)
                QVERIFY(faults.at(i - 1).offset < f.offset);
        }
    }
    QVERIFY(distinct.size() > 190);
}

void TestFaults::relaysUnchanged()
{
    PtyPair receiver;
    QVERIFY2(receiver.isValid(), qPrintable(receiver.errorString()));
    FaultyRelay relay({});
    QVERIFY2(relay.open(receiver.slavePath()), qPrintable(relay.errorString()));
    QSerialPort sender(relay.senderPort());
    QVERIFY2(sender.open(QIODevice::ReadWrite), qPrintable(sender.errorString()));
    relay.start();

    const QByteArray packets = randomBytes(20000, 3);
    QCOMPARE(sender.write(packets), qint64(packets.size()));
    QByteArray arrived;
    QVERIFY(QTest::qWaitFor(
        [&] { return (arrived += receiver.read(packets.size(), 0)).size() >= packets.size(); },
        RELAY_WAIT_MS));
    QVERIFY(arrived == packets);

    const QByteArray replies = randomBytes(300, 4);
    QVERIFY(receiver.write(replies));
    QByteArray answered;
    QVERIFY(QTest::qWaitFor(
        [&] { return (answered += sender.readAll()).size() >= replies.size(); }, RELAY_WAIT_MS));
    QCOMPARE(answered, replies);
    QCOMPARE(relay.bytesRead(FaultyRelay::ToReceiver), qint64(packets.size()));
    QCOMPARE(relay.bytesRead(FaultyRelay::ToSender), qint64(replies.size()));
    QCOMPARE(relay.faultsApplied(), 0);
    QVERIFY(relay.log().isEmpty());

    QSignalSpy senderClosed(&relay, &FaultyRelay::sigSenderClosed);
    sender.close();
    QVERIFY(senderClosed.wait(RELAY_WAIT_MS));
}

void TestFaults::appliesFault_data()
{
    QTest::addColumn<Fault>("planned");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("logged");

    // Sent as it is in both directions: 16 bytes with a NAK at offset 4.
    const QByteArray sent = QByteArray::fromHex("430106f915101112131415161718191a");
    Q_ASSERT(sent.at(4) == '\x15');
    auto edited = [&](int at, int removed, const QByteArray &put) {
        return QByteArray(sent).replace(at, removed, put);
    };
    QTest::newRow("corrupt to receiver") << fault(FaultyRelay::ToReceiver, 5, FaultyRelay::Corrupt, 0x21)
                                         << edited(5, 1, "\x31") << QStringLiteral("corrupt 0x10 -> 0x31");
    QTest::newRow("drop to receiver")
        << fault(FaultyRelay::ToReceiver, 0, FaultyRelay::Drop) << sent.mid(1) << QStringLiteral("drop 0x43");
    QTest::newRow("duplicate to receiver") << fault(FaultyRelay::ToReceiver, 15, FaultyRelay::Duplicate)
                                           << sent + '\x1a' << QStringLiteral("duplicate 0x1a");
    QTest::newRow("corrupt to sender") << fault(FaultyRelay::ToSender, 0, FaultyRelay::Corrupt, 0x80)
                                       << edited(0, 1, "\xc3") << QStringLiteral("corrupt 0x43 -> 0xc3");
    // NAK ^ 0x13 is ACK, ^ 0x14 no reply at all: a corrupted reply is never forged into another one.
    QTest::newRow("corrupt to sender, not into a reply")
        << fault(FaultyRelay::ToSender, 4, FaultyRelay::Corrupt, 0x13) << edited(4, 1, "\x01")
        << QStringLiteral("corrupt 0x15 -> 0x01");
    // 0xf9 ^ 0xff would be ACK; the mask moves on, past 0, to 0x01.
    QTest::newRow("corrupt to sender, mask moved on") << fault(FaultyRelay::ToSender, 3, FaultyRelay::Corrupt,
        0xff) << edited(3, 1, "\xf8") << QStringLiteral("corrupt 0xf9 -> 0xf8");
    QTest::newRow("drop to sender") << fault(FaultyRelay::ToSender, 2, FaultyRelay::Drop) << edited(2, 1, "")
                                    << QStringLiteral("drop 0x06");
    QTest::newRow("duplicate to sender") << fault(FaultyRelay::ToSender, 2, FaultyRelay::Duplicate)
                                         << edited(2, 1, "\x06\x06") << QStringLiteral("duplicate 0x06");
}

void TestFaults::appliesFault()
{
    QFETCH(Fault, planned);
    QFETCH(QByteArray, expected);
    QFETCH(QString, logged);
    const QByteArray sent = QByteArray::fromHex("430106f915101112131415161718191a");

    PtyPair receiver;
    QVERIFY2(receiver.isValid(), qPrintable(receiver.errorString()));
    FaultyRelay relay({ planned });
    QVERIFY2(relay.open(receiver.slavePath()), qPrintable(relay.errorString()));
    QSerialPort sender(relay.senderPort());
    QVERIFY2(sender.open(QIODevice::ReadWrite), qPrintable(sender.errorString()));
    relay.start();

    QByteArray arrived;
    if (planned.direction == FaultyRelay::ToReceiver) {
        QCOMPARE(sender.write(sent), qint64(sent.size()));
        QVERIFY(QTest::qWaitFor(
            [&] { return (arrived += receiver.read(64, 0)).size() >= expected.size(); }, RELAY_WAIT_MS));
    } else {
        QVERIFY(receiver.write(sent));
        QVERIFY(QTest::qWaitFor(
            [&] { return (arrived += sender.readAll()).size() >= expected.size(); }, RELAY_WAIT_MS));
    }
    QCOMPARE(arrived.toHex(), expected.toHex());
    QCOMPARE(relay.faultsApplied(), 1);
    QVERIFY2(relay.log().first().endsWith(logged), qPrintable(relay.log().first()));
}

// Everything from the delayed byte on waits at least as long as planned, and then arrives in order.
void TestFaults::delayHoldsStream()
{
    constexpr int delayMs = 300;
    PtyPair receiver;
    QVERIFY2(receiver.isValid(), qPrintable(receiver.errorString()));
    FaultyRelay relay({ fault(FaultyRelay::ToReceiver, 8, FaultyRelay::Delay, delayMs) });
    QVERIFY2(relay.open(receiver.slavePath()), qPrintable(relay.errorString()));
    QSerialPort sender(relay.senderPort());
    QVERIFY2(sender.open(QIODevice::ReadWrite), qPrintable(sender.errorString()));
    relay.start();

    const QByteArray sent = randomBytes(64, 5);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(sender.write(sent), qint64(sent.size()));
    QByteArray arrived;
    QVERIFY(QTest::qWaitFor([&] { return (arrived += receiver.read(64, 0)).size() >= 8; }, RELAY_WAIT_MS));
    QVERIFY(QTest::qWaitFor(
        [&] { return (arrived += receiver.read(64, 0)).size() >= sent.size(); }, RELAY_WAIT_MS));
    QVERIFY2(clock.elapsed() >= delayMs, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(arrived == sent);
    QCOMPARE(relay.faultsApplied(), 1);
    QVERIFY2(relay.log().first().contains(QLatin1String("delay")), qPrintable(relay.log().first()));
}

// Faults at known places of a 3000-byte transfer: block 0 is bytes 0-132, data packets 1 and 2 (1 KiB)
// 133-1161 and 1162-2190, packets 3-10 (128 bytes) 2191-3254, the EOT 3255, the end packet 3256-3388.
// rb answers C, ACK (block 0), C, ACK for packets 1-10 at offsets 3-12, ACK (EOT), C, ACK (end packet).
void TestFaults::survivesNamedFault_data()
{
    using R = FaultyRelay;
    QTest::addColumn<QVector<Fault>>("faults");
    QTest::addColumn<bool>("completes");
    QTest::addColumn<QString>("line");
    const auto row = [](const char *name, const QVector<Fault> &faults, bool completes, const char *line) {
        QTest::newRow(name) << faults << completes << QString::fromUtf8(line);
    };

    row("clean line", {}, true, COMPLETED_LINE);
    row("corrupted payload", { fault(R::ToReceiver, 1265, R::Corrupt, 0x01) }, true,
        "[info]Resend data packet, packet number is:2，Total number of packages:10");
    row("lost payload byte", { fault(R::ToReceiver, 2250, R::Drop) }, true,
        "[info]Resend data packet, packet number is:3");
    row("doubled header", { fault(R::ToReceiver, 2324, R::Duplicate) }, true,
        "[info]Resend data packet, packet number is:4");
    row("packet held briefly", { fault(R::ToReceiver, 2300, R::Delay, 300) }, true, COMPLETED_LINE);
    row("corrupted EOT", { fault(R::ToReceiver, 3255, R::Corrupt, 0x40) }, true,
        "[info]Sending data completed EOT.");
    // A reply spoilt into another byte is noise: the reply wait runs out and the packet goes again.
    row("corrupted ACK", { fault(R::ToSender, 3, R::Corrupt, 0x01) }, true,
        "[info]No feedback received after timeout, retransmission");
    row("lost ACK", { fault(R::ToSender, 5, R::Drop) }, true,
        "[info]No feedback received after timeout, retransmission");
    row("late ACK", { fault(R::ToSender, 7, R::Delay, 2000) }, true, COMPLETED_LINE);
    // An ACK that came in before packet 9 was sent cannot be its answer. Taken as one, it puts the sender a
    // packet ahead of rb, which may drop the packet it has not asked for yet and then take the EOT for the
    // end of a file that lacks its last packet.
    row("doubled ACK", { fault(R::ToSender, 10, R::Duplicate) }, true, COMPLETED_LINE);
    // rb has the whole file, but the sender cannot know: it must not claim success.
    row("corrupted last ACK", { fault(R::ToSender, 15, R::Corrupt, 0x01) }, false,
        "[info]Resend more than 10 times, Cancel update");
}

void TestFaults::survivesNamedFault()
{
    QFETCH(QVector<Fault>, faults);
    QFETCH(bool, completes);
    QFETCH(QString, line);
    const QByteArray content = randomBytes(3000, 7);
    const QString path = makeFile(QStringLiteral("named.bin"), content);
    QVERIFY(!path.isEmpty());

    FaultRun run(0, faults, path, content);
    run.start();
    QVERIFY2(waitFor(run), qPrintable(run.transcript()));
    QVERIFY2(run.problem().isEmpty(), qPrintable(run.problem() + QLatin1Char('\n') + run.transcript()));
    QVERIFY2(run.completed() == completes, qPrintable(run.transcript()));
    const bool found = std::any_of(run.lines().cbegin(), run.lines().cend(),
        [&](const QString &shown) { return shown.startsWith(line); });
    QVERIFY2(found, qPrintable(run.transcript()));
    QVERIFY2(run.faultsApplied() == faults.size(), qPrintable(run.transcript()));
    if (faults.isEmpty()) {
        // The sweep places its faults by these lengths.
        const FaultyRelay::Lengths lengths = cleanLengths(content.size());
        QCOMPARE(run.bytesRead(FaultyRelay::ToReceiver), lengths.toReceiver);
        QCOMPARE(run.bytesRead(FaultyRelay::ToSender), lengths.toSender);
        QCOMPARE(run.retransmissions(), 0);
    }
}

// Many seeds, a few faults each, several runs at once; every run must end soundly.
void TestFaults::survivesSeededFaults()
{
    const int seeds = environmentNumber("KELPO_FAULT_SEEDS", DEFAULT_SEEDS);
    const auto firstSeed = quint32(environmentNumber("KELPO_FAULT_FIRST_SEED", 1));
    const QList<int> edgeSizes { 1, 127, 128, 129, 1024, 1025, 2048, 3000 };

    QSignalSpy ended(this, &TestFaults::sigRunDone);
    std::vector<std::unique_ptr<FaultRun>> active;
    Tally tally;
    int started = 0;
    while (started < seeds || !active.empty()) {
        while (started < seeds && int(active.size()) < PARALLEL_RUNS) {
            const quint32 seed = firstSeed + quint32(started++);
            // Sizes from their own generator, so that the faults of a seed do not depend on the file.
            QRandomGenerator sizes(seed ^ 0x5eed5eedu);
            const int size = sizes.bounded(3) == 0 ? edgeSizes.at(int(sizes.bounded(edgeSizes.size())))
                                                   : 1 + int(sizes.bounded(LARGEST_FILE));
            const QByteArray content = randomBytes(size, seed);
            const QString path = makeFile(QStringLiteral("fw-%1.bin").arg(seed), content);
            QVERIFY(!path.isEmpty());
            active.emplace_back(
                new FaultRun(seed, FaultyRelay::plan(seed, cleanLengths(size)), path, content));
            connect(active.back().get(), &FaultRun::sigDone, this, &TestFaults::sigRunDone);
            active.back()->start();
        }
        const auto done = [&] {
            return std::find_if(active.begin(), active.end(), [](const auto &run) { return run->isDone(); });
        };
        // Each run has its own deadline, so one of them always ends.
        while (done() == active.end())
            QVERIFY(ended.wait(BASE_LIMIT_MS + 4 * PER_FAULT_LIMIT_MS));
        for (auto it = done(); it != active.end(); it = done()) {
            tally.add(**it);
            active.erase(it);
        }
    }
    for (const QString &problem : qAsConst(tally.problems))
        qWarning("%s", qPrintable(problem));
    qInfo("%s (seeds %u-%u)", qPrintable(tally.text()), firstSeed, firstSeed + quint32(seeds) - 1);
    QVERIFY2(tally.problems.isEmpty(),
        qPrintable(QStringLiteral("%1 runs ended wrongly, see above").arg(tally.problems.size())));
    // A sweep in which the sender gives up on every fault would pass the checks above and prove little.
    QVERIFY2(tally.completed * 10 >= tally.runs * 9, qPrintable(tally.text()));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
