// kelpo-bench-console: the window while the device floods its console. Opens a pseudo-terminal through the
// window's own controls, writes megabytes of coloured boot-log lines into it from the device side, as fast as
// the terminal takes them and then at 921600 bit/s, and prints how late a 1 ms timer fired in the window's
// thread meanwhile, idle for comparison.
#include "eventloopprobe.h"
#include "pacedqueue.h"
#include "probedwindow.h"
#include "ptypair.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

const char END_MARKER[] = "KELPO-FLOOD-END";
constexpr int OPEN_TIMEOUT_MS = 10000;
constexpr int IDLE_MS = 2000;
constexpr int FLOOD_TIMEOUT_MS = 180000;
constexpr int PACED_RATE = 921600;
constexpr qint64 MIB = 1024 * 1024;

long peakResidentKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void print(const QString &text)
{
    printf("%s\n", text.toLocal8Bit().constData());
    fflush(stdout);
}

int envMiB(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

// Runs the event loop until the window's button shows the port open, or the time runs out.
bool openPort(ProbedWindow &window, const QString &path)
{
    auto *names = window.findChild<QComboBox *>(QStringLiteral("cb_names"));
    auto *open = window.findChild<QPushButton *>(QStringLiteral("bt_open"));
    if (!names || !open)
        return false;
    names->addItem(path);
    names->setCurrentIndex(names->count() - 1);
    open->click();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (open->text() == QLatin1String("Close"))
            loop.quit();
    });
    QTimer::singleShot(OPEN_TIMEOUT_MS, &loop, &QEventLoop::quit);
    check.start(10);
    loop.exec();
    return open->text() == QLatin1String("Close");
}

// Boot-log lines coloured as ESP-IDF and Zephyr colour theirs: a colour at the start, a reset at the end.
QByteArray floodText(qint64 bytes)
{
    const char *const colours[]
        = { "\033[0;32m", "\033[0;33m", "\033[1;31m", "\033[38;5;208m", "\033[38;2;90;160;255m" };
    QByteArray text;
    text.reserve(int(bytes) + 100);
    for (int line = 0; text.size() < bytes; ++line)
        text += colours[line % std::size(colours)] + QByteArray("boot ")
            + QByteArray::number(line).rightJustified(8, '0')
            + QByteArray(": the quick brown fox jumps over the lazy dog, 0123456789 ABCDEF\033[0m\n");
    text += END_MARKER;
    return text;
}

bool waitWritable(int fd)
{
    pollfd p { fd, POLLOUT, 0 };
    return ::poll(&p, 1, FLOOD_TIMEOUT_MS) == 1 && (p.revents & POLLOUT);
}

// Writes text into the terminal's master at the line rate (0: as fast as it takes it); false if it stalled.
bool writeFlood(int fd, const QByteArray &text, int bitsPerSecond)
{
    PacedQueue line(bitsPerSecond);
    timespec now {};
    const auto nowNs = [&now] {
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    };
    line.push(reinterpret_cast<const unsigned char *>(text.constData()), text.size(), nowNs());
    while (!line.isEmpty()) {
        const int64_t at = nowNs();
        const int due = line.due(at);
        if (due == 0) {
            const int64_t wake = line.nextDueNs(at);
            const timespec until { time_t(wake / 1000000000), long(wake % 1000000000) };
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
            continue;
        }
        const ssize_t n = ::write(fd, line.data(), size_t(due));
        if (n > 0)
            line.pop(int(n));
        else if ((n < 0 && errno != EAGAIN && errno != EINTR) || !waitWritable(fd))
            return false;
    }
    return true;
}

// Floods the console and measures the window's timer until all of the text has been handed to it.
QString floodRow(ProbedWindow &window, PtyPair &device, qint64 bytes, int bitsPerSecond)
{
    const QByteArray text = floodText(bytes);
    const qint64 charactersBefore = window.characters();
    const int batchesBefore = window.batchMs().count();
    EventLoopProbe probe;
    QEventLoop loop;
    const auto connection = QObject::connect(&window, &ProbedWindow::sigEndShown, &loop, &QEventLoop::quit);
    QTimer::singleShot(FLOOD_TIMEOUT_MS, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    std::atomic<qint64> writtenNs { -1 };
    std::atomic<bool> written { false };
    probe.start();
    clock.start();
    std::thread writer([&] {
        written = writeFlood(device.masterFd(), text, bitsPerSecond);
        writtenNs = clock.nsecsElapsed();
    });
    loop.exec();
    const double shownSeconds = double(clock.nsecsElapsed()) / 1e9;
    probe.stop();
    writer.join();
    QObject::disconnect(connection);

    const qint64 characters = window.characters() - charactersBefore;
    const Samples &lateness = probe.latenessMs();
    return QStringLiteral("| %1 MiB, %2 | %3 | %4 | %5 | %6 | %7 | %8 s | %9 |")
        .arg(double(bytes) / MIB, 0, 'f', 0)
        .arg(bitsPerSecond == 0 ? QStringLiteral("unpaced") : QStringLiteral("%1 bit/s").arg(bitsPerSecond))
        .arg(lateness.count())
        .arg(lateness.median(), 0, 'f', 3)
        .arg(lateness.percentile(99), 0, 'f', 3)
        .arg(lateness.max(), 0, 'f', 1)
        .arg(window.batchMs().count() - batchesBefore)
        .arg(QStringLiteral("%1 / %2").arg(double(writtenNs) / 1e9, 0, 'f', 2).arg(shownSeconds, 0, 'f', 2))
        .arg(written && characters == text.size()
                ? QStringLiteral("all")
                : QStringLiteral("%1 of %2 characters: text was LOST").arg(characters).arg(text.size()));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The engine's developer traces would only clutter the table.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const int floodMiB = envMiB("BENCH_FLOOD_MIB", 4);
    const int pacedFloodMiB = envMiB("BENCH_PACED_FLOOD_MIB", 1);

    PtyPair device;
    if (!device.isValid()) {
        fprintf(stderr, "kelpo-bench-console: %s\n", qPrintable(device.errorString()));
        return 1;
    }
    ProbedWindow window { QLatin1String(END_MARKER) };
    window.show();
    if (!openPort(window, device.slavePath())) {
        fprintf(stderr, "kelpo-bench-console: the window did not open %s\n", qPrintable(device.slavePath()));
        return 1;
    }

    EventLoopProbe idle;
    {
        QEventLoop loop;
        idle.start();
        QTimer::singleShot(IDLE_MS, &loop, &QEventLoop::quit);
        loop.exec();
        idle.stop();
    }
    const long idleKiB = peakResidentKiB();
    const QString unpaced = floodRow(window, device, floodMiB * MIB, 0);
    const long unpacedKiB = peakResidentKiB();
    const QString paced = floodRow(window, device, pacedFloodMiB * MIB, PACED_RATE);

    const Samples &lateness = idle.latenessMs();
    print(QStringLiteral("\n## The window while the device floods the console\n"));
    print(QStringLiteral(
        "80-character lines, each in a colour set at its start and reset at its end, written into the port; "
        "a 1 ms timer in the window's thread "
        "(QT_QPA_PLATFORM=%1). Written / shown: seconds until the last byte was written and "
        "until all of the text had been handed to the window and its end showed in the console "
        "(the monitor holds text for at most 20 ms).\n")
              .arg(QString::fromLocal8Bit(qgetenv("QT_QPA_PLATFORM"))));
    print(QStringLiteral(
        "| flood | ticks | median late ms | 99th percentile ms | worst ms | batches | written / "
        "shown | text |"));
    print(QStringLiteral("|---|---|---|---|---|---|---|---|"));
    print(QStringLiteral("| none, port open | %1 | %2 | %3 | %4 | | | |")
              .arg(lateness.count())
              .arg(lateness.median(), 0, 'f', 3)
              .arg(lateness.percentile(99), 0, 'f', 3)
              .arg(lateness.max(), 0, 'f', 1));
    print(unpaced);
    print(paced);
    print(QString());
    print(QStringLiteral("- the window took %1 ms median, %2 ms worst to take in one batch of up to 20000 "
                         "characters (the console shows what it gathered on a timer of its own)")
              .arg(window.batchMs().median(), 0, 'f', 2)
              .arg(window.batchMs().max(), 0, 'f', 1));
    print(QStringLiteral(
        "- peak resident memory: %1 MiB idle, %2 MiB after the unpaced flood, %3 MiB at the end")
              .arg(double(idleKiB) / 1024, 0, 'f', 1)
              .arg(double(unpacedKiB) / 1024, 0, 'f', 1)
              .arg(double(peakResidentKiB()) / 1024, 0, 'f', 1));
    return unpaced.endsWith(QLatin1String("| all |")) && paced.endsWith(QLatin1String("| all |")) ? 0 : 1;
}
