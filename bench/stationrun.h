// One kelpo-send process flashing the same file into several rb receivers at once, each behind its own
// pseudo-terminal and paced line relay, timed by the relays.
#pragma once

#include <QString>
#include <cstdint>

class StationRun
{
public:
    // granularityNs: how far apart each relay hands on its bytes at most (0: each byte at its time). With
    // separateProcesses every port gets a kelpo-send of its own, for comparison.
    StationRun(const QString &filePath, int ports, int bitsPerSecond, int64_t granularityNs,
        bool separateProcesses = false);

    // Runs the station to its end and compares every received file with the sent one; false (see
    // errorString) when a port failed or a file differs.
    bool exec();
    QString errorString() const { return m_error; }

    // The data phase of the whole station: from the first block 1 leaving kelpo-send, on any port, to the
    // ACK of the last data block of the last port reaching it.
    double seconds() const { return m_seconds; }
    // The same from the first block 0 to the last port's closing ACK: start and end of the sessions too.
    double sessionSeconds() const { return m_sessionSeconds; }
    // The slowest and the fastest port's own data phase.
    double slowestPortSeconds() const { return m_slowest; }
    double fastestPortSeconds() const { return m_fastest; }
    // Of every kelpo-send together.
    double senderCpuSeconds() const { return m_cpuSeconds; }
    // CPU time of everything in the run (relays, rb, socat, kelpo-send) over its wall time: near the
    // machine's core count, the bench itself is the bottleneck.
    double busyCores() const { return m_busyCores; }

private:
    bool fail(const QString &text);
    bool runLanes();

    const QString m_filePath;
    const int m_ports;
    const int m_bitsPerSecond;
    const int64_t m_granularityNs;
    const bool m_separateProcesses;
    QString m_error;
    double m_seconds = 0;
    double m_sessionSeconds = 0;
    double m_cpuSeconds = 0;
    double m_busyCores = 0;
    double m_slowest = 0;
    double m_fastest = 0;
};
