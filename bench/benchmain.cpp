// kelpo-bench: kelpo-send against lrzsz's sb, both sending the same files into lrzsz's rb over the same
// pseudo-terminals, timed by the line relay between them; prints tables of throughput, efficiency on a
// paced line, turnaround and cost. Sizes and run counts come from the environment (see scripts/bench).
#include "transferrun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <random>

namespace {

constexpr qint64 MIB = 1024 * 1024;
constexpr int LINE_RATES[] = { 115200, 921600 };

struct Config
{
    int runs = 5;
    int bigRuns = 3;
    int bigMiB = 16;
    int hugeMiB = 64;
    int pacedRuns = 2;
    // Small enough to cross a slow line in seconds, and not a multiple of 1 KiB, so that the tail goes in
    // short packets.
    qint64 slowBytes = 100000;
    qint64 fastBytes = 1000000;
};

int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

Config readConfig()
{
    Config config;
    config.runs = envInt("BENCH_RUNS", config.runs);
    config.bigRuns = envInt("BENCH_BIG_RUNS", config.bigRuns);
    config.bigMiB = envInt("BENCH_BIG_MIB", config.bigMiB);
    config.hugeMiB = envInt("BENCH_HUGE_MIB", config.hugeMiB);
    config.pacedRuns = envInt("BENCH_PACED_RUNS", config.pacedRuns);
    config.slowBytes = envInt("BENCH_SLOW_BYTES", int(config.slowBytes));
    config.fastBytes = envInt("BENCH_FAST_BYTES", int(config.fastBytes));
    return config;
}

// Random bytes from a fixed seed, so that every run of the benchmark sends the same files.
QString makeFile(const QDir &dir, qint64 bytes)
{
    const QString path = dir.filePath(bytes % MIB == 0 ? QStringLiteral("random-%1MiB.bin").arg(bytes / MIB)
                                                       : QStringLiteral("random-%1.bin").arg(bytes));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    std::mt19937_64 random(bytes);
    QByteArray chunk(int(MIB), Qt::Uninitialized);
    for (qint64 left = bytes; left > 0; left -= chunk.size()) {
        auto *words = reinterpret_cast<quint64 *>(chunk.data());
        for (int i = 0; i < chunk.size() / 8; ++i)
            words[i] = random();
        if (file.write(chunk.constData(), qMin<qint64>(left, chunk.size())) < 0)
            return QString();
    }
    return path;
}

QString sizeText(qint64 bytes)
{
    return bytes % MIB == 0 ? QStringLiteral("%1 MiB").arg(bytes / MIB) : QStringLiteral("%1 B").arg(bytes);
}

QString rateText(int bitsPerSecond)
{
    return bitsPerSecond == 0 ? QStringLiteral("unpaced") : QStringLiteral("%1 bit/s").arg(bitsPerSecond);
}

// What all the runs of one sender with one file at one line rate added up to.
struct Series
{
    explicit Series(TransferRun::Sender sender) : sender(sender) { }

    TransferRun::Sender sender;
    qint64 fileBytes = 0;
    int failures = 0;
    Samples seconds;
    Samples cpuSeconds;
    Samples peakKiB;
    Samples switchesPerPacket;
    Samples turnaroundsUs;
    int longPackets = 0;
    int shortPackets = 0;
    qint64 dataWireBytes = 0;
    int repeatedPackets = 0;

    QString senderName() const { return TransferRun::senderName(sender); }
    int runs() const { return seconds.count(); }
    double mibPerSecond() const { return double(fileBytes) / MIB / seconds.median(); }
};

void print(const QString &text)
{
    printf("%s\n", text.toLocal8Bit().constData());
    fflush(stdout);
}

// A section: its heading, what its figures mean, and the head of its Markdown table.
void printTableHead(const QString &heading, const QString &meaning, const QStringList &columns)
{
    print(QStringLiteral("\n## %1\n").arg(heading));
    if (!meaning.isEmpty())
        print(meaning + QLatin1Char('\n'));
    print(QStringLiteral("| %1 |").arg(columns.join(QStringLiteral(" | "))));
    print(QStringLiteral("|%1").arg(QStringLiteral("---|").repeated(columns.size())));
}

void progress(const QString &text)
{
    fprintf(stderr, "[bench] %s\n", text.toLocal8Bit().constData());
}

void runOnce(Series &series, const QString &path, int rate, const QString &label)
{
    TransferRun run(series.sender, path, rate);
    const bool ok = run.exec();
    series.fileBytes = run.fileBytes();
    if (!ok) {
        ++series.failures;
        progress(QStringLiteral("%1, %2: FAILED: %3").arg(label, series.senderName(), run.errorString()));
        return;
    }
    series.seconds.add(run.dataSeconds());
    series.cpuSeconds.add(run.senderCpuSeconds());
    series.peakKiB.add(run.senderPeakResidentKiB());
    series.switchesPerPacket.add(
        double(run.senderVoluntarySwitches()) / qMax(1, run.longPackets() + run.shortPackets()));
    series.turnaroundsUs.add(run.turnaroundsUs());
    series.longPackets = run.longPackets();
    series.shortPackets = run.shortPackets();
    series.dataWireBytes = run.dataWireBytes();
    series.repeatedPackets += run.repeatedPackets();
    progress(QStringLiteral("%1, %2: %3 s, verified")
                 .arg(label, series.senderName())
                 .arg(run.dataSeconds(), 0, 'f', 3));
}

// Both senders in turn, the one to go first changing every round so that neither always meets a warm cache.
QPair<Series, Series> runBoth(const QString &path, int rate, int runs)
{
    Series kelpo(TransferRun::Kelpo);
    Series sb(TransferRun::Sb);
    const QString what = QStringLiteral("%1 %2").arg(sizeText(QFileInfo(path).size()), rateText(rate));
    for (int round = 0; round < runs; ++round) {
        const QString label = QStringLiteral("%1, run %2/%3").arg(what).arg(round + 1).arg(runs);
        Series &first = round % 2 == 0 ? kelpo : sb;
        Series &second = round % 2 == 0 ? sb : kelpo;
        runOnce(first, path, rate, label);
        runOnce(second, path, rate, label);
    }
    return { kelpo, sb };
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly)
        ? QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2)
        : QStringLiteral("unknown");
}

// Busy and total jiffies of all cores since boot.
QPair<qint64, qint64> cpuJiffies()
{
    QFile file(QStringLiteral("/proc/stat"));
    if (!file.open(QIODevice::ReadOnly))
        return { 0, 0 };
    const QStringList fields = QString::fromLatin1(file.readLine()).simplified().split(QLatin1Char(' '));
    qint64 total = 0;
    qint64 idle = 0;
    for (int i = 1; i < fields.size(); ++i) {
        total += fields[i].toLongLong();
        // idle and iowait
        if (i == 4 || i == 5)
            idle += fields[i].toLongLong();
    }
    return { total - idle, total };
}

QString kelpoLogging()
{
    const QString ini
        = QFileInfo(TransferRun::kelpoSendPath()).absolutePath() + QStringLiteral("/config/config.ini");
    const int level = QSettings(ini, QSettings::IniFormat).value(QStringLiteral("LOG/log_level"), 0).toInt();
    return level == 0 ? QStringLiteral("off")
                      : QStringLiteral("level %1 (%2): figures include logging").arg(level).arg(ini);
}

void printThroughput(const QList<QPair<Series, Series>> &sizes)
{
    printTableHead(QStringLiteral("Throughput on an unpaced pseudo-terminal line"),
        QStringLiteral(
            "Seconds from the first byte of block 1 leaving the sender to the ACK of the last data block "
            "reaching it; median of the runs. CPU and memory are the sender's own (user + system, "
            "peak resident set, voluntary context switches of all its threads), for the whole "
            "process."),
        { QStringLiteral("file"), QStringLiteral("sender"), QStringLiteral("runs"),
            QStringLiteral("median s"), QStringLiteral("MiB/s"), QStringLiteral("CPU s per MiB"),
            QStringLiteral("peak RSS MiB"), QStringLiteral("switches per packet") });
    for (const auto &pair : sizes) {
        for (const Series *series : { &pair.first, &pair.second }) {
            print(QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 |")
                      .arg(sizeText(series->fileBytes), series->senderName())
                      .arg(series->runs())
                      .arg(series->seconds.median(), 0, 'f', 3)
                      .arg(series->mibPerSecond(), 0, 'f', 2)
                      .arg(series->cpuSeconds.median() * MIB / double(series->fileBytes), 0, 'f', 3)
                      .arg(series->peakKiB.median() / 1024, 0, 'f', 1)
                      .arg(series->switchesPerPacket.median(), 0, 'f', 1));
        }
    }
    print(QString());
    for (const auto &pair : sizes) {
        print(QStringLiteral("- %1: kelpo-send takes %2 times as long as sb.")
                  .arg(sizeText(pair.first.fileBytes))
                  .arg(pair.first.seconds.median() / pair.second.seconds.median(), 0, 'f', 2));
    }
}

void printPaced(const QList<QPair<int, QPair<Series, Series>>> &rates)
{
    printTableHead(QStringLiteral("Efficiency on a paced line (10 bits a byte)"),
        QStringLiteral(
            "File bytes per second over the data phase as a fraction of the line's byte rate, beside "
            "the bound the packets sent allow (file bytes / data packet bytes on the wire)."),
        { QStringLiteral("line"), QStringLiteral("sender"), QStringLiteral("file"),
            QStringLiteral("1K / 128 B packets"), QStringLiteral("file B/s"), QStringLiteral("of line rate"),
            QStringLiteral("bound"), QStringLiteral("runs") });
    for (const auto &entry : rates) {
        const double lineBytesPerSecond = double(entry.first) / 10;
        for (const Series *series : { &entry.second.first, &entry.second.second }) {
            const double bytesPerSecond = double(series->fileBytes) / series->seconds.median();
            print(QStringLiteral("| %1 | %2 | %3 | %4 / %5 | %6 | %7 | %8 | %9 |")
                      .arg(rateText(entry.first), series->senderName(), sizeText(series->fileBytes))
                      .arg(series->longPackets)
                      .arg(series->shortPackets)
                      .arg(bytesPerSecond, 0, 'f', 0)
                      .arg(bytesPerSecond / lineBytesPerSecond, 0, 'f', 4)
                      .arg(double(series->fileBytes) / double(series->dataWireBytes), 0, 'f', 4)
                      .arg(series->runs()));
        }
    }
}

void printTurnaround(const QList<QPair<QString, QPair<Series, Series>>> &lines)
{
    printTableHead(QStringLiteral("Turnaround"),
        QStringLiteral(
            "From an ACK reaching the sender's terminal to the first byte of the next packet leaving "
            "it, as the relay sees them (its own wake-up is included), all runs together."),
        { QStringLiteral("line"), QStringLiteral("sender"), QStringLiteral("samples"),
            QStringLiteral("median us"), QStringLiteral("99th percentile us"), QStringLiteral("worst us") });
    for (const auto &entry : lines) {
        for (const Series *series : { &entry.second.first, &entry.second.second }) {
            const Samples &t = series->turnaroundsUs;
            print(QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |")
                      .arg(entry.first, series->senderName())
                      .arg(t.count())
                      .arg(t.median(), 0, 'f', 0)
                      .arg(t.percentile(99), 0, 'f', 0)
                      .arg(t.max(), 0, 'f', 0));
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Config config = readConfig();
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/kelpo-bench-XXXXXX"));
    if (!dir.isValid()) {
        fprintf(stderr, "kelpo-bench: cannot make a temporary folder\n");
        return 1;
    }
    const QDir files(dir.path());

    const auto startJiffies = cpuJiffies();
    print(QStringLiteral("# kelpo-send against sb, both into rb"));
    print(QStringLiteral("\n- machine: %1 cores, load average at the start %2")
              .arg(QThread::idealThreadCount())
              .arg(loadAverage()));
    print(QStringLiteral("- kelpo-send: %1, logging %2").arg(TransferRun::kelpoSendPath(), kelpoLogging()));
    print(QStringLiteral(
        "- BENCH_RUNS=%1 BENCH_BIG_RUNS=%2 BENCH_BIG_MIB=%3 BENCH_HUGE_MIB=%4 BENCH_PACED_RUNS=%5 "
        "BENCH_SLOW_BYTES=%6 BENCH_FAST_BYTES=%7")
              .arg(config.runs)
              .arg(config.bigRuns)
              .arg(config.bigMiB)
              .arg(config.hugeMiB)
              .arg(config.pacedRuns)
              .arg(config.slowBytes)
              .arg(config.fastBytes));

    int failures = 0;
    QList<QPair<Series, Series>> throughput;
    for (const auto &[mib, runs] : { qMakePair(1, config.runs), qMakePair(config.bigMiB, config.bigRuns) }) {
        const QString path = makeFile(files, mib * MIB);
        throughput.append(runBoth(path, 0, runs));
        failures += throughput.last().first.failures + throughput.last().second.failures;
        QFile::remove(path);
    }
    printThroughput(throughput);

    QList<QPair<int, QPair<Series, Series>>> paced;
    for (const int rate : LINE_RATES) {
        const QString path = makeFile(files, rate < 500000 ? config.slowBytes : config.fastBytes);
        paced.append({ rate, runBoth(path, rate, config.pacedRuns) });
        failures += paced.last().second.first.failures + paced.last().second.second.failures;
    }
    printPaced(paced);

    QList<QPair<QString, QPair<Series, Series>>> turnaround;
    for (const auto &entry : throughput)
        turnaround.append({ QStringLiteral("unpaced, ") + sizeText(entry.first.fileBytes), entry });
    for (const auto &entry : paced)
        turnaround.append({ rateText(entry.first), entry.second });
    printTurnaround(turnaround);

    const QString hugePath = makeFile(files, config.hugeMiB * MIB);
    Series huge(TransferRun::Kelpo);
    runOnce(huge, hugePath, 0, sizeText(config.hugeMiB * MIB) + QStringLiteral(" unpaced"));
    failures += huge.failures;
    printTableHead(QStringLiteral("kelpo-send's memory and CPU by file size (unpaced)"), QString(),
        { QStringLiteral("file"), QStringLiteral("runs"), QStringLiteral("peak RSS MiB"),
            QStringLiteral("CPU s"), QStringLiteral("CPU s per MiB"), QStringLiteral("median s") });
    QList<Series> bySize { throughput.first().first };
    if (config.bigMiB != 1)
        bySize.append(throughput.last().first);
    bySize.append(huge);
    for (const Series &series : bySize) {
        print(QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |")
                  .arg(sizeText(series.fileBytes))
                  .arg(series.runs())
                  .arg(series.peakKiB.max() / 1024, 0, 'f', 1)
                  .arg(series.cpuSeconds.median(), 0, 'f', 3)
                  .arg(series.cpuSeconds.median() * MIB / double(series.fileBytes), 0, 'f', 3)
                  .arg(series.seconds.median(), 0, 'f', 3));
    }

    const auto endJiffies = cpuJiffies();
    const double busy = double(endJiffies.first - startJiffies.first)
        / double(qMax<qint64>(1, endJiffies.second - startJiffies.second));
    print(QStringLiteral(
        "\n- load average at the end %1; all cores were %2 % busy during the benchmark (this one "
        "included)")
              .arg(loadAverage())
              .arg(busy * 100, 0, 'f', 0));
    if (failures > 0)
        print(QStringLiteral("- %1 transfers FAILED; their figures are missing above").arg(failures));
    return failures == 0 ? 0 : 1;
}
