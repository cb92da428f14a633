// kelpo-send into rb through a line that corrupts, drops or doubles bytes placed by seed: a run delivers the
// file and says so, or says it cancelled; it never claims a file it did not deliver, crashes or hangs.
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
#include <utility>

static constexpr int PARALLEL_RUNS = 8; // They spend their time waiting on time-outs, not on the processor.
// Eleven 3 s reply waits for one packet, with room for the sanitizers and a loaded machine.
static constexpr int RUN_LIMIT_MS = 120000;

// One seeded run, driven by the event loop so that several go at once.
class FaultRun : public QObject
{
public:
    FaultRun(quint32 seed, const QString &dir)
        : m_seed(seed)
        , m_content(randomBytes(1 + int(QRandomGenerator(seed ^ 0x5eed5eedu).bounded(6000)), seed))
        , m_relay(plan(seed, m_content.size()))
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
                { QStringLiteral("--reply-timeout"), QStringLiteral("3"), m_relay.senderPort(),
                    writeFile(dir + QStringLiteral("/fw-%1.bin").arg(seed), m_content) });
    }

    bool done = false, completed = false;
    QString problem;
    int faultsApplied() const { return m_relay.faultsApplied(); }

private:
    // A clean run's bytes each way: block 0, 1 KiB packets while more than 1 KiB is left, then 128-byte ones,
    // EOT and the end packet; C, ACK, C, an ACK per packet, ACK, C, ACK.
    static QVector<FaultyRelay::Fault> plan(quint32 seed, qint64 size)
    {
        const qint64 oneK = (size - 1) / 1024, short128 = (size - oneK * 1024 + 127) / 128;
        return FaultyRelay::plan(seed, 267 + oneK * 1029 + short128 * 133, 6 + oneK + short128);
    }

    void judge(int exitCode, QProcess::ExitStatus status)
    {
        m_out += m_sender.readAllStandardOutput();
        m_err = m_sender.readAllStandardError();
        if (status != QProcess::NormalExit || m_err.contains("Sanitizer") || m_err.contains("runtime error:"))
            return end(QStringLiteral("kelpo-send crashed"));
        if (exitCode != 0)
            return end(m_out.contains("[info]Update process completed.")
                    ? QStringLiteral("exit %1 after completing").arg(exitCode)
                    : QString());
        completed = m_rb.waitForFinished(10000)
            && readFile(m_rb.receiveDir() + QStringLiteral("/fw-%1.bin").arg(m_seed)) == m_content;
        end(completed ? QString() : QStringLiteral("completed, but rb holds other bytes"));
    }

    void end(const QString &why)
    {
        if (!std::exchange(done, true) && !why.isEmpty())
            problem = QString::asprintf("seed %u, %d bytes: %s\n  %s\n", m_seed, m_content.size(),
                          qPrintable(why), qPrintable(m_relay.log().join(QStringLiteral("\n  "))))
                + QString::fromLocal8Bit(
                    m_out + "\n--- stderr:\n" + m_err + "--- rb:\n" + m_rb.diagnostics());
    }

    const quint32 m_seed;
    const QByteArray m_content;
    RbReceiver m_rb;
    FaultyRelay m_relay;
    QProcess m_sender;
    QByteArray m_out, m_err;
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
    const QByteArray setting = qgetenv("KELPO_FAULT_SEEDS");
    const int seeds = qMax(1, setting.isNull() ? 40 : setting.toInt(nullptr, 0));
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
