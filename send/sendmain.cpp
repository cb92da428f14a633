// kelpo-send: flashes one file over one or more serial ports at once with the same engine as the window,
// for scripts and production lines.
#include "commserial.h"
#include "jsonreporter.h"
#include "log.h"
#include "outputstream.h"
#include "sendoptions.h"
#include "station.h"
#include "stopsignals.h"
#include "terminal.h"
#include "textencoding.h"
#include "textreporter.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <memory>

namespace {
enum ExitStatus { ExitSent = 0, ExitFailed = 1 };
} // namespace

int main(int argc, char *argv[])
{
    useUtf8Text();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelpo-send"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELPO_VERSION));
    // The engine's developer traces (thread ids) mean nothing to the person at the terminal.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    prepareOutput();

    SendOptions options;
    int exitStatus = 0;
    if (options.parse(QCoreApplication::arguments(), &exitStatus) == SendOptions::Exit)
        return exitStatus;
    if (options.list) {
        CommSerial comm;
        for (const QString &port : comm.availablePorts())
            printf("%s\n", port.toLocal8Bit().constData());
        return ExitSent;
    }

    // Standard error is for why a port failed; the log has its file, unless asked for here too.
    Log::instance()->setEcho(options.verbose ? Log::Echo::Always : Log::Echo::Never);
    StopSignals stopSignals;
    if (!stopSignals.block()) {
        perror("kelpo-send: cannot prepare for signals");
        return ExitFailed;
    }
    OutputStream out(stdout);
    OutputStream err(stderr);
    std::unique_ptr<Reporter> reporter;
    if (options.json)
        reporter.reset(new JsonReporter(&out, &err));
    else
        reporter.reset(new TextReporter(&out, &err, isTerminal(stdout)));
    Station station(options, reporter.get());
    QObject::connect(&stopSignals, &StopSignals::sigStop, &station, &Station::stop);
    QObject::connect(&station, &Station::sigFinished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    stopSignals.catchSignals();

    station.start();
    return app.exec();
}
