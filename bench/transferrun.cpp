#include "transferrun.h"

#include "childprocess.h"
#include "linerelay.h"
#include "ptypair.h"
#include "rbreceiver.h"
#include "ymodem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <thread>

namespace {

const char READY_LINE[] = "[info]Prepare to establish a connection.";
constexpr int START_TIMEOUT_MS = 15000;
constexpr int END_TIMEOUT_MS = 15000;
constexpr int COMPARE_CHUNK = 1 << 20;

} // namespace

TransferRun::TransferRun(Sender sender, const QString &filePath, int bitsPerSecond)
    : m_sender(sender), m_filePath(filePath), m_bitsPerSecond(bitsPerSecond)
{ }

QString TransferRun::senderName(Sender sender)
{
    return sender == Kelpo ? QStringLiteral("kelpo-send") : QStringLiteral("sb --ymodem -k");
}

QString TransferRun::kelpoSendPath()
{
    const QString path = qEnvironmentVariable("KELPO_SEND");
    return path.isEmpty() ? QStringLiteral(KELPO_BINARY_DIR "/kelpo-send") : path;
}

bool TransferRun::fail(const QString &text)
{
    m_error = text;
    return false;
}

int TransferRun::timeoutMs() const
{
    // rb alone waits three seconds in every session; the rest is the file at the line rate, or at a
    // pessimistic 200 KiB/s on an unpaced but busy machine.
    const double lineSeconds = m_bitsPerSecond > 0
        ? double(m_fileBytes) * PacedQueue::BitsPerByte / m_bitsPerSecond
        : double(m_fileBytes) / (200 * 1024);
    return 30000 + int(lineSeconds * 2000);
}

bool TransferRun::sameFile(const QString &received)
{
    QFile sent(m_filePath);
    QFile got(received);
    if (!sent.open(QIODevice::ReadOnly) || !got.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("rb left no readable file at ") + received);
    if (got.size() != sent.size())
        return fail(QStringLiteral("rb received %1 bytes of %2").arg(got.size()).arg(sent.size()));
    for (qint64 offset = 0; offset < sent.size(); offset += COMPARE_CHUNK) {
        if (sent.read(COMPARE_CHUNK) != got.read(COMPARE_CHUNK))
            return fail(QStringLiteral("the received file differs within bytes %1 to %2")
                            .arg(offset)
                            .arg(offset + COMPARE_CHUNK - 1));
    }
    return true;
}

bool TransferRun::exec()
{
    m_fileBytes = QFileInfo(m_filePath).size();
    RbReceiver rb;
    if (!rb.start())
        return fail(rb.errorString());
    PtyPair line;
    if (!line.isValid())
        return fail(line.errorString());
    LineRelay relay(line.masterFd(), line.slavePath(), rb.portPath(), m_bitsPerSecond);
    if (!relay.isValid())
        return fail(relay.errorString());
    std::thread relayThread([&relay] { relay.run(); });
    struct Joiner
    {
        LineRelay &relay;
        std::thread &thread;
        ~Joiner()
        {
            relay.stop();
            if (thread.joinable())
                thread.join();
        }
    } joiner { relay, relayThread };

    ChildProcess sender;
    if (m_sender == Kelpo) {
        QStringList command { kelpoSendPath() };
        if (m_bitsPerSecond > 0)
            command << QStringLiteral("--baud") << QString::number(m_bitsPerSecond);
        command << line.slavePath() << m_filePath;
        if (!sender.start(command))
            return fail(sender.errorString());
        // rb's first C must find the session waiting, not draining stale input.
        if (!sender.waitForOutput(READY_LINE, START_TIMEOUT_MS))
            return fail(
                QStringLiteral("kelpo-send did not get ready: ") + QString::fromLocal8Bit(sender.output()));
    } else {
        const QStringList command { QStringLiteral("sb"), QStringLiteral("--ymodem"), QStringLiteral("-k"),
            QStringLiteral("-b"), QStringLiteral("-q"), m_filePath };
        if (!sender.start(command, line.slavePath()))
            return fail(sender.errorString());
    }
    rb.release();

    if (!sender.waitForExit(timeoutMs())) {
        sender.kill();
        return fail(senderName(m_sender) + QStringLiteral(" did not finish in time: ")
            + QString::fromLocal8Bit(sender.output().right(2000)));
    }
    const bool rbDone = rb.waitForFinished(END_TIMEOUT_MS);
    m_cpuSeconds = sender.cpuSeconds();
    m_peakResidentKiB = sender.peakResidentKiB();
    m_voluntarySwitches = sender.voluntarySwitches();
    if (!sender.exitedNormally())
        return fail(senderName(m_sender)
            + QStringLiteral(" failed (exit status %1): ").arg(sender.exitStatus())
            + QString::fromLocal8Bit(sender.output().right(2000)));
    if (!rbDone)
        return fail(QStringLiteral("rb did not finish: ") + QString::fromLocal8Bit(rb.diagnostics()));
    if (!sameFile(QDir(rb.receiveDir()).filePath(QFileInfo(m_filePath).fileName())))
        return false;

    relay.stop();
    relayThread.join();
    return analyse(relay);
}

bool TransferRun::analyse(const LineRelay &relay)
{
    const std::vector<LineRelay::Packet> &packets = relay.packets();
    const auto isBlock
        = [](const LineRelay::Packet &p) { return p.code == YMODEM_CODE_SOH || p.code == YMODEM_CODE_STX; };
    // Block 0 with the name and size first; the data runs from there to the first EOT (its block numbers
    // wrap through 0 too).
    size_t first = 0;
    while (first < packets.size() && !(isBlock(packets[first]) && packets[first].blockNumber == 0))
        ++first;
    ++first;
    size_t end = first;
    while (end < packets.size() && isBlock(packets[end]))
        ++end;
    if (end == first || end == packets.size() || packets[end].code != YMODEM_CODE_EOT
        || packets[end - 1].ackNs < 0)
        return fail(
            QStringLiteral("the line showed no complete data phase (%1 packets)").arg(packets.size()));

    for (size_t i = first; i < end; ++i) {
        const LineRelay::Packet &packet = packets[i];
        if (packet.code == YMODEM_CODE_STX)
            ++m_longPackets;
        else
            ++m_shortPackets;
        m_dataWireBytes += packet.length;
        if (i > first && packet.blockNumber == packets[i - 1].blockNumber)
            ++m_repeatedPackets;
    }
    m_dataSeconds = double(packets[end - 1].ackNs - packets[first].startNs) / 1e9;
    for (const int64_t ns : relay.turnaroundsNs())
        m_turnaroundsUs.add(double(ns) / 1000);
    return true;
}
