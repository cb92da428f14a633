#include "transfersettings.h"

#include "localsetting.h"
#include "log.h"

#include <cmath>

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

bool TransferSettings::apply(Setting setting, const QString &text, TransferOptions *options)
{
    const QString word = text.trimmed().toLower();
    double value = 0;
    switch (setting) {
    case Protocol: {
        const QStringList names { QStringLiteral("ymodem"), QStringLiteral("xmodem"),
            QStringLiteral("xmodem-1k") };
        if (!names.contains(word))
            return false;
        options->protocol = TransferOptions::Protocol(names.indexOf(word));
        return true;
    }
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
        (setting == ReplyTimeout               ? options->replyTimeoutMs
                : setting == FirstReplyTimeout ? options->firstReplyTimeoutMs
                                               : options->startTimeoutMs)
            = int(std::lround(value * 1000));
        return true;
    case SettingCount:
        break;
    }
    return false;
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
