#include "localsetting.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>

LocalSetting::LocalSetting(QObject *parent) : QObject(parent)
{
    // Beside the executable, so the settings do not depend on where the program is started from.
    const QString folder = QCoreApplication::applicationDirPath() + "/config";
    if (!QDir(folder).exists())
        QDir().mkdir(folder);
    iniPath = folder + "/config.ini";
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
}
