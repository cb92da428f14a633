// kelpo-send into rb through a line that corrupts, drops or doubles bytes, placed by seed: a run either
// delivers the file byte for byte and says so, or says it cancelled; it never claims a file it did not
// deliver, never crashes and never hangs.
#include "faultyrelay.h"
#include "peers.h"
#include "rbreceiver.h"
#include "testdata.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <list>
#include <memory>

namespace {
// They spend their time waiting on time-outs, not on the processor.
constexpr int PARALLEL_RUNS = 8;
// Eleven 3 s reply waits for one packet, with room for the sanitizers and a loaded machine.
constexpr int RUN_LIMIT_MS = 120000;
const char COMPLETED[] = "[info]Update process completed.";
} // namespace

// One seeded run, driven by the event loop so that several go at once.
class FaultRun : public QObject
{
public:
    FaultRun(quint32 seed, const QString &dir)
        : m_seed(seed)
        , m_content(randomBytes(1 + int(QRandomGenerator(seed ^ 0x5eed5eedu).bounded(6000)), seed))
        , m_path(writeFile(dir + QStringLiteral("/fw-%1.bin").arg(seed), m_content))
        , m_relay(FaultyRelay::plan(seed, toReceiver(m_content.size()), toSender(m_content.size())))
    {
        connect(&m_sender, &QProcess::readyReadStandardOutput, this, [this] {
            m_out += m_sender.readAllStandardOutput();
            // The session holds the port and has drained it: rb may ask now.
            if (m_out.contains("[info]Prepare to establish a connection."))
                m_rb.release();
        });
        connect(&m_sender, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this, &FaultRun::judge);
        QTimer::singleShot(RUN_LIMIT_MS, this, [this] { end(QStringLiteral("kelpo-send still runs")); });
        if (!m_rb.start() || !m_relay.open(m_rb.portPath()))
            end(m_rb.errorString() + m_relay.errorString());
        else
            m_sender.start(QStringLiteral(KELPO_BINARY_DIR "/kelpo-send"),
                { QStringLiteral("--reply-timeout"), QStringLiteral("3"), m_relay.senderPort(), m_path });
    }

    // A clean run's bytes each way: block 0, 1 KiB packets while more than 1 KiB is left, then 128-byte ones,
    // EOT and the end packet; C, ACK, C, an ACK per packet, ACK, C, ACK.
    static qint64 toReceiver(qint64 size) { return 267 + oneK(size) * 1029 + short128(size) * 133; }
    static qint64 toSender(qint64 size) { return 6 + oneK(size) + short128(size); }
    static qint64 oneK(qint64 size) { return (size - 1) / 1024; }
    static qint64 short128(qint64 size) { return (size - oneK(size) * 1024 + 127) / 128; }

    bool done = false;
    bool completed = false;
    QString problem;
    int faultsApplied() const { return m_relay.faultsApplied(); }

private:
    void judge(int exitCode, QProcess::ExitStatus status)
    {
        m_out += m_sender.readAllStandardOutput();
        m_err = m_sender.readAllStandardError();
        if (status != QProcess::NormalExit || m_err.contains("Sanitizer") || m_err.contains("runtime error:"))
            return end(QStringLiteral("kelpo-send crashed"));
        if (exitCode != 0)
            return end(m_out.contains(COMPLETED) ? QStringLiteral("exit %1 after completing").arg(exitCode)
                                                 : QString());
        completed = m_rb.waitForFinished(10000)
            && readFile(m_rb.receiveDir() + QStringLiteral("/fw-%1.bin").arg(m_seed)) == m_content;
        end(completed ? QString() : QStringLiteral("completed, but rb holds other bytes"));
    }

    void end(const QString &why)
    {
        if (done)
            return;
        done = true;
        if (!why.isEmpty())
            problem = QStringLiteral("seed %1, %2 bytes: %3\n  %4\n%5\n--- stderr:\n%6--- rb:\n%7")
                          .arg(m_seed)
                          .arg(m_content.size())
                          .arg(why, m_relay.log().join(QStringLiteral("\n  ")), QString::fromLocal8Bit(m_out),
                              QString::fromLocal8Bit(m_err), QString::fromLocal8Bit(m_rb.diagnostics()));
    }

    const quint32 m_seed;
    const QByteArray m_content;
    const QString m_path;
    RbReceiver m_rb;
    FaultyRelay m_relay;
    QProcess m_sender;
    QByteArray m_out;
    QByteArray m_err;
};

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void seededFaultsEndSoundly();
};

// KELPO_FAULT_SEEDS runs (40 by default), seeds 1 to N.
void TestFaults::seededFaultsEndSoundly()
{
    SKIP_UNLESS_INSTALLED("rb", "socat");
    const int seeds = qMax(1,
        qEnvironmentVariableIsSet("KELPO_FAULT_SEEDS") ? qEnvironmentVariableIntValue("KELPO_FAULT_SEEDS")
                                                       : 40);
    QTemporaryDir dir;
    std::list<std::unique_ptr<FaultRun>> active;
    int next = 0, completed = 0, applied = 0;
    QStringList problems;
    while (next < seeds || !active.empty()) {
        while (next < seeds && active.size() < PARALLEL_RUNS)
            active.emplace_back(new FaultRun(quint32(++next), dir.path()));
        const auto isDone = [](const std::unique_ptr<FaultRun> &run) { return run->done; };
        QVERIFY(QTest::qWaitFor(
            [&] { return std::any_of(active.begin(), active.end(), isDone); }, RUN_LIMIT_MS * 2));
        for (const auto &run : active) {
            completed += run->done && run->completed;
            applied += run->done ? run->faultsApplied() : 0;
            if (run->done && !run->problem.isEmpty())
                problems << run->problem;
        }
        active.remove_if(isDone);
    }
    qInfo("faults: %d runs, %d completed, %d ended wrongly, %d faults applied", seeds, completed,
        int(problems.size()), applied);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    // A sweep where every fault makes the sender give up would prove little.
    QVERIFY(completed * 10 >= seeds * 9);
    QVERIFY(applied >= seeds);
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
