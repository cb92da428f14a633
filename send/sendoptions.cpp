#include "sendoptions.h"

#include "comminterface.h"
#include "localsetting.h"
#include "transfersettings.h"

#include <QCommandLineParser>
#include <QSet>
#include <cmath>
#include <cstdio>

namespace {
constexpr int EXIT_USAGE = 2;

const char USAGE[] = "Usage: kelpo-send [OPTIONS] PORT [PORT...] FILE\n"
                     "       kelpo-send --list\n";

int usageError(const QString &message)
{
    fprintf(stderr, "kelpo-send: %s\n%sTry 'kelpo-send --help' for more.\n",
        message.toLocal8Bit().constData(), USAGE);
    return EXIT_USAGE;
}

// A device path is taken as it is; a line as --list prints it stands for the name before its first colon.
QString portArgument(const QString &text)
{
    return text.contains(QLatin1Char('/')) ? text : text.section(QLatin1Char(':'), 0, 0);
}

// Seconds as a time-out, converted to milliseconds; false when text is not a number in range.
bool parseSeconds(const QString &text, double minimum, int *milliseconds)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < minimum || seconds > 86400)
        return false;
    *milliseconds = int(seconds * 1000);
    return true;
}

// The transfer settings as options of the same names, with dashes: --reply-timeout for reply_timeout.
QString optionName(TransferSettings::Setting setting)
{
    return QString::fromLatin1(TransferSettings::key(setting)).replace(QLatin1Char('_'), QLatin1Char('-'));
}

QList<QCommandLineOption> transferOptions()
{
    const char *const descriptions[TransferSettings::SettingCount][2] = {
        { "ymodem (default), xmodem or xmodem-1k.", "NAME" },
        { "YMODEM's data packets: mixed (default, the last kilobyte in 128-byte packets) or 1k.", "POLICY" },
        { "Wait for the answer to a packet before sending it again (default 10).", "SECONDS" },
        { "Wait for the answer to the first packet, while the device may erase (default 60).", "SECONDS" },
        { "Wait for the device's first request; 0 (default) waits as long as it takes.", "SECONDS" },
        { "Times one packet may be sent again in a row (default 10).", "N" },
    };
    QList<QCommandLineOption> options;
    for (int i = 0; i < TransferSettings::SettingCount; ++i)
        options << QCommandLineOption(optionName(TransferSettings::Setting(i)),
            QString::fromLatin1(descriptions[i][0]), QString::fromLatin1(descriptions[i][1]));
    return options;
}

bool parseTransfer(const QCommandLineParser &parser, TransferOptions *transfer, int *exitStatus)
{
    for (int i = 0; i < TransferSettings::SettingCount; ++i) {
        const auto setting = TransferSettings::Setting(i);
        const QString name = optionName(setting);
        if (parser.isSet(name) && !TransferSettings::apply(setting, parser.value(name), transfer)) {
            *exitStatus = usageError(QStringLiteral("--%1 \"%2\" is not accepted; give %3.")
                                         .arg(name, parser.value(name), TransferSettings::accepted(setting)));
            return false;
        }
    }
    return true;
}

bool parseSteps(const QStringList &texts, const char *option, QList<Step> *steps, int *exitStatus)
{
    for (const QString &text : texts) {
        Step step;
        QString error;
        if (!Step::parse(text, &step, &error)) {
            *exitStatus
                = usageError(QStringLiteral("--%1 \"%2\" %3.").arg(QLatin1String(option), text, error));
            return false;
        }
        *steps << step;
    }
    return true;
}
} // namespace

SendOptions::Parsed SendOptions::parse(const QStringList &arguments, int *exitStatus)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends FILE with YMODEM (or XMODEM) to the device on every PORT at once, each waiting as long as it\n"
        "takes for its device to ask for it (or --start-timeout). Options not given take their values\n"
        "from config.ini's TRANSFER section. Steps run per port, in the order given:\n"
        "  send:TEXT    writes TEXT; escapes \\r \\n \\t \\\\ \\xHH\n"
        "  expect:REGEX waits until what the device printed since the previous step matches\n"
        "  lines:dtr=0|1,rts=0|1   sets the modem control lines (either or both)\n"
        "  wait:MS      pauses\n"
        "{size}, {size_hex}, {crc32} and {name} in send: and expect: stand for the file's values.\n"
        "Exit status: 0 every port completed, 1 some port did not, 2 usage error."));
    const QCommandLineOption baudOption(QStringLiteral("baud"), QStringLiteral("Baud rate (default 115200)."),
        QStringLiteral("RATE"), QStringLiteral("115200"));
    const QCommandLineOption beforeOption(QStringLiteral("before"),
        QStringLiteral("A step before the transfer (repeatable)."), QStringLiteral("STEP"));
    const QCommandLineOption afterOption(QStringLiteral("after"),
        QStringLiteral("A step after a completed transfer (repeatable)."), QStringLiteral("STEP"));
    const QCommandLineOption expectOption(QStringLiteral("expect-timeout"),
        QStringLiteral("How long an expect: step waits (default 10)."), QStringLiteral("SECONDS"),
        QStringLiteral("10"));
    const QCommandLineOption waitPortOption(QStringLiteral("wait-port"),
        QStringLiteral("Keep trying to open a port that does not exist yet, this long."),
        QStringLiteral("SECONDS"), QStringLiteral("0"));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("Report as JSON Lines on standard output, one event a line."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
        QStringLiteral("Copy the log's lines to standard error too (config.ini's log_level chooses which)."));
    const QCommandLineOption listOption(
        QStringLiteral("list"), QStringLiteral("Print the serial ports present as name:description."));
    // Our own, as the parser's adds --help-all, whose Qt options a program without a window does not take.
    const QCommandLineOption help(
        { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help."));
    parser.addOptions({ baudOption, beforeOption, afterOption, expectOption, waitPortOption, jsonOption,
        verboseOption, listOption, help });
    parser.addOptions(transferOptions());
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("PORT"),
        QStringLiteral("Device path (/dev/ttyUSB0) or a port name as --list prints it; one or more."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The firmware file to send."));

    *exitStatus = EXIT_USAGE;
    if (!parser.parse(arguments)) {
        *exitStatus = usageError(parser.errorText());
        return Exit;
    }
    if (parser.isSet(help)) {
        // Our usage line in place of the parser's, which names the program by its full path.
        printf("%s%s", USAGE, parser.helpText().section(QLatin1Char('\n'), 1).toLocal8Bit().constData());
        *exitStatus = 0;
        return Exit;
    }
    if (parser.isSet(version)) {
        printf("kelpo-send %s\n", KELPO_VERSION);
        *exitStatus = 0;
        return Exit;
    }
    const QStringList positional = parser.positionalArguments();
    list = parser.isSet(listOption);
    json = parser.isSet(jsonOption);
    verbose = parser.isSet(verboseOption);
    if (list) {
        if (positional.isEmpty())
            return Run;
        *exitStatus = usageError(QStringLiteral("--list takes no PORT or FILE."));
        return Exit;
    }
    if (positional.size() < 2) {
        *exitStatus = usageError(QStringLiteral("expected at least one PORT and then FILE."));
        return Exit;
    }
    bool ok = false;
    baud = parser.value(baudOption).toInt(&ok);
    if (!ok || baud < CommInterface::MIN_BAUD || baud > CommInterface::MAX_BAUD) {
        *exitStatus = usageError(
            QStringLiteral("--baud \"%1\" is not a baud rate; give a whole number from %2 to %3.")
                .arg(parser.value(baudOption))
                .arg(CommInterface::MIN_BAUD)
                .arg(CommInterface::MAX_BAUD));
        return Exit;
    }
    if (!parseSeconds(parser.value(expectOption), 0.001, &expectTimeoutMs)) {
        *exitStatus = usageError(
            QStringLiteral("--expect-timeout \"%1\" is not a time-out; give seconds above 0, up to 86400.")
                .arg(parser.value(expectOption)));
        return Exit;
    }
    if (!parseSeconds(parser.value(waitPortOption), 0, &waitPortMs)) {
        *exitStatus
            = usageError(QStringLiteral("--wait-port \"%1\" is not a time-out; give seconds from 0 to 86400.")
                             .arg(parser.value(waitPortOption)));
        return Exit;
    }
    transfer = TransferSettings::fromSettings(*LocalSetting::instance());
    if (!parseTransfer(parser, &transfer, exitStatus))
        return Exit;
    if (!parseSteps(parser.values(beforeOption), "before", &before, exitStatus)
        || !parseSteps(parser.values(afterOption), "after", &after, exitStatus))
        return Exit;
    file = positional.last();
    for (const QString &argument : positional.mid(0, positional.size() - 1)) {
        const QString port = portArgument(argument);
        if (ports.contains(port)) {
            *exitStatus
                = usageError(QStringLiteral("the port %1 is given twice; give each port once.").arg(port));
            return Exit;
        }
        ports << port;
    }
    return Run;
}
