#include "localsetting.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {
// The transfer settings and their defaults, as a new file shows them.
const char *const TRANSFER_DEFAULTS[][2] = {
    { "protocol", "ymodem" },
    { "packets", "mixed" },
    { "reply_timeout", "10" },
    { "first_reply_timeout", "60" },
    { "start_timeout", "0" },
    { "retries", "10" },
};
} // namespace

LocalSetting::LocalSetting(QObject *parent) : QObject(parent)
{
    // Beside the executable, so the settings do not depend on where the program is started from; for an
    // installed program in the user's folder, one for the window and kelpo-send alike.
    const QString folder = chooseFolder(QCoreApplication::applicationDirPath() + QStringLiteral("/config"),
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QStringLiteral("/kelpo-downloader"));
    iniPath = folder + QStringLiteral("/config.ini");
    if (QFile::exists(iniPath))
        load();
    else
        reset();
}

LocalSetting *LocalSetting::instance()
{
    static LocalSetting setting;
    return &setting;
}

QString LocalSetting::chooseFolder(const QString &preferred, const QString &fallback)
{
    for (const QString &folder : { preferred, fallback }) {
        if (!folder.isEmpty() && QDir().mkpath(folder) && QFileInfo(folder).isWritable())
            return folder;
    }
    return QString();
}

QString LocalSetting::folder() const
{
    return QFileInfo(iniPath).absolutePath();
}

QVariant LocalSetting::transferValue(const QString &key) const
{
    const QSettings settings(iniPath, QSettings::IniFormat);
    return settings.value(QStringLiteral("TRANSFER/") + key);
}

void LocalSetting::load()
{
    const QSettings settings(iniPath, QSettings::IniFormat);
    logStr = settings.value("LOG/log_str").toString();
    logLevel = settings.value("LOG/log_level").toInt();
}

void LocalSetting::save()
{
    QSettings settings(iniPath, QSettings::IniFormat);
    settings.setValue("LOG/log_str", logStr);
    settings.setValue("LOG/log_level", logLevel);
}

void LocalSetting::reset()
{
    logStr.clear();
    logLevel = 0;
    save();
    QSettings settings(iniPath, QSettings::IniFormat);
    for (const auto &entry : TRANSFER_DEFAULTS)
        settings.setValue(QStringLiteral("TRANSFER/") + QLatin1String(entry[0]), QLatin1String(entry[1]));
}
