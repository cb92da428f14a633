#include "transfersettings.h"

#include "localsetting.h"
#include "log.h"

#include <cmath>
#include <iterator>

namespace {
struct Limits
{
    const char *key;
    double min;
    double max;
};

// Seconds for the waits (the first-request wait takes 0 for none), a count for the retries.
constexpr Limits LIMITS[TransferSettings::SettingCount] = {
    { "protocol", 0, 0 },
    { "packets", 0, 0 },
    { "reply_timeout", 0.1, 3600 },
    { "first_reply_timeout", 0.1, 3600 },
    { "start_timeout", 0, 86400 },
    { "retries", 0, 100 },
};

const char *const PROTOCOLS[] = { "ymodem", "xmodem", "xmodem-1k" };

// The option a wait setting stands for, in milliseconds.
int TransferOptions::*waitMs(TransferSettings::Setting setting)
{
    return setting == TransferSettings::ReplyTimeout     ? &TransferOptions::replyTimeoutMs
        : setting == TransferSettings::FirstReplyTimeout ? &TransferOptions::firstReplyTimeoutMs
                                                         : &TransferOptions::startTimeoutMs;
}

bool inRange(TransferSettings::Setting setting, const QString &text, double *value)
{
    bool ok = false;
    *value = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(*value) && *value >= LIMITS[setting].min && *value <= LIMITS[setting].max;
}
} // namespace

const char *TransferSettings::key(Setting setting)
{
    return LIMITS[setting].key;
}

QString TransferSettings::accepted(Setting setting)
{
    switch (setting) {
    case Protocol:
        return QStringLiteral("ymodem, xmodem or xmodem-1k");
    case Packets:
        return QStringLiteral("mixed or 1k");
    case Retries:
        return QStringLiteral("a whole number from 0 to 100");
    case StartTimeout:
        return QStringLiteral("seconds from 0 (no limit) to 86400");
    default:
        return QStringLiteral("seconds from %1 to %2").arg(LIMITS[setting].min).arg(LIMITS[setting].max);
    }
}

double TransferSettings::minimum(Setting setting)
{
    return LIMITS[setting].min;
}

double TransferSettings::maximum(Setting setting)
{
    return LIMITS[setting].max;
}

bool TransferSettings::apply(Setting setting, const QString &text, TransferOptions *options)
{
    const QString word = text.trimmed().toLower();
    double value = 0;
    switch (setting) {
    case Protocol:
        for (int i = 0; i < int(std::size(PROTOCOLS)); ++i) {
            if (word == QLatin1String(PROTOCOLS[i])) {
                options->protocol = TransferOptions::Protocol(i);
                return true;
            }
        }
        return false;
    case Packets:
        if (word != QLatin1String("mixed") && word != QLatin1String("1k"))
            return false;
        options->packets = word == QLatin1String("1k") ? TransferOptions::OneK : TransferOptions::Mixed;
        return true;
    case Retries:
        if (!inRange(setting, word, &value) || value != std::floor(value))
            return false;
        options->retries = int(value);
        return true;
    case ReplyTimeout:
    case FirstReplyTimeout:
    case StartTimeout:
        if (!inRange(setting, word, &value))
            return false;
        options->*waitMs(setting) = int(std::lround(value * 1000));
        return true;
    case SettingCount:
        break;
    }
    return false;
}

QString TransferSettings::text(Setting setting, const TransferOptions &options)
{
    switch (setting) {
    case Protocol:
        return QLatin1String(PROTOCOLS[options.protocol]);
    case Packets:
        return QLatin1String(options.packets == TransferOptions::OneK ? "1k" : "mixed");
    case ReplyTimeout:
    case FirstReplyTimeout:
    case StartTimeout:
        return QString::number(options.*waitMs(setting) / 1000.0);
    case Retries:
        return QString::number(options.retries);
    case SettingCount:
        break;
    }
    return QString();
}

Ymodem::PacketPlan TransferSettings::packetPlan(const TransferOptions &options)
{
    switch (options.protocol) {
    case TransferOptions::XModem:
        return Ymodem::AllShort;
    case TransferOptions::XModem1K:
        return Ymodem::Mixed;
    case TransferOptions::YModem:
        break;
    }
    return options.packets == TransferOptions::OneK ? Ymodem::AllOneK : Ymodem::Mixed;
}

QString TransferSettings::describe(const TransferOptions &options)
{
    const Ymodem::PacketPlan plan = packetPlan(options);
    return text(Protocol, options).toUpper() + QLatin1String(": ")
        + QLatin1String(plan == Ymodem::AllShort ? "128-byte packets"
                : plan == Ymodem::AllOneK        ? "1K packets throughout"
                                                 : "1K packets, the last kilobyte in 128-byte packets");
}

TransferOptions TransferSettings::fromSettings(const LocalSetting &settings)
{
    TransferOptions options;
    for (int i = 0; i < SettingCount; ++i) {
        const auto setting = Setting(i);
        const QVariant value = settings.transferValue(QLatin1String(key(setting)));
        if (value.isValid() && !apply(setting, value.toString(), &options))
            LOG_SOURCE(1, "config.ini: TRANSFER/%s=%s cannot be read (%s), the default is used", key(setting),
                value.toString().toUtf8().constData(), accepted(setting).toUtf8().constData());
    }
    return options;
}
