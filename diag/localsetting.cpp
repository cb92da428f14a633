#include "localsetting.h"

#include "userfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

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
    // installed program (always for the Debian package) in the user's folder, one for the window and
    // kelpo-send alike.
    const QString beside = KELPO_SETTINGS_BESIDE_EXECUTABLE
        ? QCoreApplication::applicationDirPath() + QStringLiteral("/config")
        : QString();
    const QString folder = chooseFolder(beside, userSettingsFolder());
    m_iniPath = folder + QStringLiteral("/config.ini");
    if (QFile::exists(m_iniPath))
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
    return QFileInfo(m_iniPath).absolutePath();
}

QVariant LocalSetting::transferValue(const QString &key) const
{
    const QSettings settings(m_iniPath, QSettings::IniFormat);
    return settings.value(QStringLiteral("TRANSFER/") + key);
}

void LocalSetting::setTransferValue(const QString &key, const QString &value)
{
    const QVariant written = transferValue(key);
    if (!written.isValid() || written.toString() != value)
        write(QStringLiteral("TRANSFER/") + key, value);
}

void LocalSetting::load()
{
    const QSettings settings(m_iniPath, QSettings::IniFormat);
    m_logStr = settings.value("LOG/log_str").toString();
    m_logLevel = settings.value("LOG/log_level").toInt();
    m_windowPort = settings.value("WINDOW/port").toString();
    m_windowBaud = settings.value("WINDOW/baud").toInt();
    m_windowFile = settings.value("WINDOW/file").toString();
}

QString LocalSetting::getLogStr() const
{
    return isPlainName(m_logStr) ? m_logStr : QString();
}

bool LocalSetting::isPlainName(const QString &label)
{
    return !label.contains(QLatin1Char('/')) && !label.contains(QLatin1Char('\\'))
        && !label.contains(QLatin1String("..")) && !label.contains(QLatin1Char(':'));
}

void LocalSetting::write(const QString &key, const QVariant &value)
{
    QSettings settings(m_iniPath, QSettings::IniFormat);
    settings.setValue(key, value);
}

void LocalSetting::reset()
{
    m_logStr.clear();
    m_logLevel = 0;
    m_windowPort.clear();
    m_windowBaud = 0;
    m_windowFile.clear();
    QFile::remove(m_iniPath);
    QSettings settings(m_iniPath, QSettings::IniFormat);
    settings.setValue("LOG/log_str", m_logStr);
    settings.setValue("LOG/log_level", m_logLevel);
    settings.setValue("WINDOW/port", m_windowPort);
    settings.setValue("WINDOW/baud", m_windowBaud);
    settings.setValue("WINDOW/file", m_windowFile);
    for (const auto &entry : TRANSFER_DEFAULTS)
        settings.setValue(QStringLiteral("TRANSFER/") + QLatin1String(entry[0]), QLatin1String(entry[1]));
}
