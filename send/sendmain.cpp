// kelpo-send: flashes one file over a serial port with the same engine as the window, for scripts and
// production lines.
#include "headlesssender.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

enum ExitStatus { ExitSent = 0, ExitFailed = 1, ExitUsage = 2 };

const char USAGE[] = "Usage: kelpo-send [--baud RATE] PORT FILE\n"
                     "       kelpo-send --list\n";

int g_stopPipe[2] = { -1, -1 };

void onStopSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    // The handler only writes to the pipe; the event loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(g_stopPipe[1], &byte, 1);
    errno = savedErrno;
}

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Called before the engine's threads start, so that they inherit the mask and only the main thread takes
// Ctrl-C and SIGTERM.
bool blockStopSignals()
{
    const sigset_t set = stopSignals();
    return ::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) == 0 && pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

void catchStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int usageError(const QString &message)
{
    fprintf(stderr, "kelpo-send: %s\n%sTry 'kelpo-send --help' for more.\n",
        message.toLocal8Bit().constData(), USAGE);
    return ExitUsage;
}

// A device path is taken as it is; a line as --list prints it stands for the name before its first colon.
QString portArgument(const QString &text)
{
    return text.contains(QLatin1Char('/')) ? text : text.section(QLatin1Char(':'), 0, 0);
}

struct Request
{
    bool list = false;
    QString port;
    QString file;
    int baud = 0;
};

// Fills request from the command line; returns -1 when it is to be carried out, otherwise the exit status
// (help, version or a usage error, which have been printed).
int parseRequest(Request *request)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends FILE to the device on PORT with YMODEM (CRC, 1K blocks), waiting as long as it\n"
        "takes for the device to ask for it. Exit status: 0 sent and confirmed, 1 not sent,\n"
        "2 usage error."));
    const QCommandLineOption baudOption(QStringLiteral("baud"), QStringLiteral("Baud rate (default 115200)."),
        QStringLiteral("RATE"), QStringLiteral("115200"));
    const QCommandLineOption listOption(
        QStringLiteral("list"), QStringLiteral("Print the serial ports present as name:description."));
    parser.addOption(baudOption);
    parser.addOption(listOption);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("PORT"),
        QStringLiteral("Device path (/dev/ttyUSB0) or a port name as --list prints it."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The firmware file to send."));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        // Our usage line in place of the parser's, which names the program by its full path.
        const QString details = parser.helpText().section(QLatin1Char('\n'), 1);
        printf("%s%s", USAGE, details.toLocal8Bit().constData());
        return ExitSent;
    }
    if (parser.isSet(versionOption)) {
        printf("kelpo-send %s\n", KELPO_VERSION);
        return ExitSent;
    }
    const QStringList arguments = parser.positionalArguments();
    request->list = parser.isSet(listOption);
    if (request->list)
        return arguments.isEmpty() ? -1 : usageError(QStringLiteral("--list takes no PORT or FILE."));
    if (arguments.size() != 2)
        return usageError(QStringLiteral("expected PORT and FILE."));
    bool baudOk = false;
    request->baud = parser.value(baudOption).toInt(&baudOk);
    if (!baudOk || request->baud <= 0)
        return usageError(QStringLiteral("the baud rate must be a positive number, not \"%1\".")
                              .arg(parser.value(baudOption)));
    request->port = portArgument(arguments.at(0));
    request->file = arguments.at(1);
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelpo-send"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELPO_VERSION));
    // The engine's developer traces (thread ids) mean nothing to the person at the terminal.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    // A closed output pipe must not kill the process in the middle of a flash.
    signal(SIGPIPE, SIG_IGN);

    Request request;
    const int parsed = parseRequest(&request);
    if (parsed >= 0)
        return parsed;

    if (!blockStopSignals()) {
        perror("kelpo-send: cannot prepare for signals");
        return ExitFailed;
    }
    HeadlessSender sender(stdout, stderr, isatty(STDOUT_FILENO) == 1);
    if (request.list) {
        for (const QString &port : sender.availablePorts())
            printf("%s\n", port.toLocal8Bit().constData());
        return ExitSent;
    }

    QSocketNotifier stopNotifier(g_stopPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &sender, [&sender] {
        char bytes[16];
        ssize_t count;
        while ((count = ::read(g_stopPipe[0], bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < count; ++i)
                sender.stop();
        }
    });
    QObject::connect(
        &sender, &HeadlessSender::sigFinished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    catchStopSignals();

    sender.start(request.port, request.baud, request.file);
    return app.exec();
}
