// kelpo-bench-ports: one kelpo-send flashing 1, 4 and 8 rb receivers at once over paced lines; the ports
// must run independently, so 4 at once may take at most 1.1 times as long as one alone, 8 at most 1.2
// times. Prints a Markdown table; exits non-zero when a run failed or a limit was exceeded.
#include "samples.h"
#include "stationrun.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <random>

namespace {
constexpr int LINE_RATES[] = { 115200, 921600 };
// The rows with a process per port are the control: how much the machine and the bench slow several lines
// down whatever sends on them.
constexpr struct
{
    int ports;
    bool separate;
    double limit;
} STATIONS[] = { { 1, false, 1.0 }, { 4, false, 1.1 }, { 8, false, 1.2 }, { 4, true, 0 }, { 8, true, 0 } };

int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

QString makeFile(const QTemporaryDir &dir, int bytes)
{
    const QString path = dir.filePath(QStringLiteral("station-%1.bin").arg(bytes));
    QByteArray content(bytes, Qt::Uninitialized);
    std::mt19937 random { quint32(bytes) };
    for (char &c : content)
        c = char(random());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == bytes ? path : QString();
}

void print(const QString &line)
{
    printf("%s\n", line.toLocal8Bit().constData());
    fflush(stdout);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = envInt("BENCH_STATION_RUNS", 2);
    const int slowBytes = envInt("BENCH_SLOW_BYTES", 100000);
    const int fastBytes = envInt("BENCH_FAST_BYTES", 1000000);
    // Eight lines paced byte by byte at 921600 bit/s wake the relays 740 000 times a second, more than two
    // cores can serve: the figures would be the bench's. Batches of 1 ms are what a USB adapter delivers.
    bool batchSet = false;
    const int batchValue = qEnvironmentVariableIntValue("BENCH_RELAY_BATCH_US", &batchSet);
    const int batchUs = batchSet && batchValue >= 0 ? batchValue : 1000;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    print(QStringLiteral("# Several ports at once, median of %1 runs, relays batching every %2 us")
              .arg(runs)
              .arg(batchUs));
    print(QString());
    print(QStringLiteral(
        "Data phase: from the first block 1 leaving kelpo-send on any port to the last port's ACK of its "
        "last "
        "data block; sessions: from the first block 0 to the last closing ACK. Each port has its own rb and "
        "paced line relay; the ratio is of the data phase."));
    print(QString());
    print(QStringLiteral("| line | file | ports | data phase s | slowest port s | fastest port s | sessions "
                         "s | kelpo-send CPU s | cores busy | vs 1 port | limit |"));
    print(QStringLiteral("|---|---|---|---|---|---|---|---|---|---|---|"));
    bool ok = true;
    for (const int rate : LINE_RATES) {
        const int bytes = rate < 500000 ? slowBytes : fastBytes;
        const QString path = makeFile(dir, bytes);
        double single = 0;
        for (const auto &station : STATIONS) {
            Samples seconds;
            Samples slowest;
            Samples fastest;
            Samples sessions;
            Samples cpu;
            Samples busy;
            for (int run = 0; run < runs; ++run) {
                StationRun stationRun(path, station.ports, rate, int64_t(batchUs) * 1000, station.separate);
                if (!stationRun.exec()) {
                    fprintf(stderr, "%d ports at %d bit/s: FAILED: %s\n", station.ports, rate,
                        stationRun.errorString().toLocal8Bit().constData());
                    ok = false;
                    continue;
                }
                seconds.add(stationRun.seconds());
                slowest.add(stationRun.slowestPortSeconds());
                fastest.add(stationRun.fastestPortSeconds());
                sessions.add(stationRun.sessionSeconds());
                cpu.add(stationRun.senderCpuSeconds());
                busy.add(stationRun.busyCores());
            }
            if (seconds.isEmpty())
                continue;
            if (station.ports == 1)
                single = seconds.median();
            const double ratio = single > 0 ? seconds.median() / single : 0;
            const bool within = station.limit == 0 || (ratio > 0 && ratio <= station.limit);
            ok = ok && within;
            print(QStringLiteral("| %1 bit/s | %2 B | %3 | %4 | %5 | %6 | %7 | %8 | %9 | %10 | %11 |")
                      .arg(rate)
                      .arg(bytes)
                      .arg(station.separate ? QStringLiteral("%1, a process each").arg(station.ports)
                                            : QString::number(station.ports))
                      .arg(seconds.median(), 0, 'f', 3)
                      .arg(slowest.median(), 0, 'f', 3)
                      .arg(fastest.median(), 0, 'f', 3)
                      .arg(sessions.median(), 0, 'f', 3)
                      .arg(cpu.median(), 0, 'f', 2)
                      .arg(busy.median(), 0, 'f', 2)
                      .arg(ratio, 0, 'f', 3)
                      .arg(station.limit == 0 ? QStringLiteral("control")
                                              : QString::number(station.limit, 'f', 1)
                                  + (within ? QString() : QStringLiteral(" EXCEEDED"))));
        }
    }
    return ok ? 0 : 1;
}
