#include "stationrun.h"

#include "childprocess.h"
#include "linerelay.h"
#include "pacedqueue.h"
#include "ptypair.h"
#include "rbreceiver.h"
#include "transferrun.h"
#include "ymodem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <limits>
#include <memory>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {
constexpr int START_TIMEOUT_MS = 30000;
constexpr int END_TIMEOUT_MS = 15000;

// One port of the station: rb, the sender's terminal and the relay between them, in its thread.
struct Lane
{
    RbReceiver rb;
    PtyPair line;
    std::unique_ptr<LineRelay> relay;
    std::thread thread;

    ~Lane()
    {
        if (relay)
            relay->stop();
        if (thread.joinable())
            thread.join();
    }
};

struct Span
{
    int64_t startNs = std::numeric_limits<int64_t>::max();
    int64_t endNs = 0;

    void include(const Span &other)
    {
        startNs = std::min(startNs, other.startNs);
        endNs = std::max(endNs, other.endNs);
    }
    double seconds() const { return double(endNs - startNs) / 1e9; }
};

bool isBlock(const LineRelay::Packet &packet)
{
    return packet.code == YMODEM_CODE_SOH || packet.code == YMODEM_CODE_STX;
}

// The data phase runs from block 1 leaving to the ACK of the last data block; the session from block 0
// leaving to the last ACK of all (the closing block 0).
bool measure(const std::vector<LineRelay::Packet> &packets, Span *data, Span *session)
{
    size_t first = 0;
    while (first < packets.size() && !(isBlock(packets[first]) && packets[first].blockNumber == 0))
        ++first;
    if (first == packets.size())
        return false;
    session->startNs = packets[first].startNs;
    ++first;
    size_t end = first;
    while (end < packets.size() && isBlock(packets[end]))
        ++end;
    if (end == first || end == packets.size() || packets[end].code != YMODEM_CODE_EOT
        || packets[end - 1].ackNs < 0)
        return false;
    data->startNs = packets[first].startNs;
    data->endNs = packets[end - 1].ackNs;
    for (const LineRelay::Packet &packet : packets)
        session->endNs = std::max(session->endNs, packet.ackNs);
    return true;
}

// This process (the relays) and its reaped children (kelpo-send, socat and the rb each one waited for).
double processTreeCpuSeconds()
{
    double seconds = 0;
    for (const int who : { RUSAGE_SELF, RUSAGE_CHILDREN }) {
        rusage usage {};
        getrusage(who, &usage);
        seconds += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return seconds;
}

bool sameContent(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    return first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly)
        && first.readAll() == second.readAll();
}
} // namespace

StationRun::StationRun(
    const QString &filePath, int ports, int bitsPerSecond, int64_t granularityNs, bool separateProcesses)
    : m_filePath(filePath)
    , m_ports(ports)
    , m_bitsPerSecond(bitsPerSecond)
    , m_granularityNs(granularityNs)
    , m_separateProcesses(separateProcesses)
{ }

bool StationRun::fail(const QString &text)
{
    m_error = text;
    return false;
}

bool StationRun::exec()
{
    const double cpuBefore = processTreeCpuSeconds();
    const int64_t startNs = LineRelay::nowNs();
    if (!runLanes())
        return false;
    // Every child has been reaped now, rb and socat with kelpo-send, so their time is counted.
    m_busyCores = (processTreeCpuSeconds() - cpuBefore) / (double(LineRelay::nowNs() - startNs) / 1e9);
    return true;
}

bool StationRun::runLanes()
{
    std::vector<std::unique_ptr<Lane>> lanes;
    for (int i = 0; i < m_ports; ++i) {
        lanes.push_back(std::make_unique<Lane>());
        Lane &lane = *lanes.back();
        if (!lane.rb.start())
            return fail(lane.rb.errorString());
        if (!lane.line.isValid())
            return fail(lane.line.errorString());
        lane.relay = std::make_unique<LineRelay>(
            lane.line.masterFd(), lane.line.slavePath(), lane.rb.portPath(), m_bitsPerSecond);
        if (!lane.relay->isValid())
            return fail(lane.relay->errorString());
        lane.relay->setWakeGranularityNs(m_granularityNs);
        LineRelay *relay = lane.relay.get();
        lane.thread = std::thread([relay] { relay->run(); });
    }

    // One kelpo-send with every port, or one per port for comparison.
    const QStringList options { TransferRun::kelpoSendPath(), QStringLiteral("--json"),
        QStringLiteral("--baud"), QString::number(m_bitsPerSecond) };
    std::vector<std::unique_ptr<ChildProcess>> senders;
    QStringList command = options;
    for (size_t i = 0; i < lanes.size(); ++i) {
        command << lanes[i]->line.slavePath();
        if (!m_separateProcesses && i + 1 < lanes.size())
            continue;
        senders.push_back(std::make_unique<ChildProcess>());
        if (!senders.back()->start(command << m_filePath))
            return fail(senders.back()->errorString());
        command = options;
    }
    // Every port's first C must find its session waiting, not draining stale input.
    for (size_t i = 0; i < lanes.size(); ++i) {
        ChildProcess &sender = *senders[m_separateProcesses ? i : 0];
        const QByteArray ready = "\"port\":\"" + lanes[i]->line.slavePath().toLocal8Bit()
            + "\",\"text\":\"[info]Prepare to establish a connection.\"";
        if (!sender.waitForOutput(ready, START_TIMEOUT_MS))
            return fail(
                QStringLiteral("kelpo-send did not get ready: ") + QString::fromLocal8Bit(sender.output()));
    }
    for (const auto &lane : lanes)
        lane->rb.release();

    const double lineSeconds
        = double(QFileInfo(m_filePath).size()) * PacedQueue::BitsPerByte / m_bitsPerSecond;
    m_cpuSeconds = 0;
    for (const auto &sender : senders) {
        if (!sender->waitForExit(30000 + int(lineSeconds * 3000))) {
            sender->kill();
            return fail(QStringLiteral("kelpo-send did not finish in time"));
        }
        if (!sender->exitedNormally())
            return fail(
                QStringLiteral("kelpo-send failed: ") + QString::fromLocal8Bit(sender->output().right(2000)));
        m_cpuSeconds += sender->cpuSeconds();
    }

    Span data;
    Span session;
    m_fastest = std::numeric_limits<double>::max();
    for (const auto &lane : lanes) {
        if (!lane->rb.waitForFinished(END_TIMEOUT_MS))
            return fail(
                QStringLiteral("rb did not finish: ") + QString::fromLocal8Bit(lane->rb.diagnostics()));
        const QString received = QDir(lane->rb.receiveDir()).filePath(QFileInfo(m_filePath).fileName());
        if (!sameContent(m_filePath, received))
            return fail(QStringLiteral("the file received at %1 differs").arg(lane->line.slavePath()));
        lane->relay->stop();
        lane->thread.join();
        Span laneData;
        Span laneSession;
        if (!measure(lane->relay->packets(), &laneData, &laneSession))
            return fail(
                QStringLiteral("the relay of %1 saw no complete data phase").arg(lane->line.slavePath()));
        m_slowest = std::max(m_slowest, laneData.seconds());
        m_fastest = std::min(m_fastest, laneData.seconds());
        data.include(laneData);
        session.include(laneSession);
    }
    m_seconds = data.seconds();
    m_sessionSeconds = session.seconds();
    return true;
}
