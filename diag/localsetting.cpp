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
    m_iniPath = folder + "/config.ini";
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

void LocalSetting::load()
{
    const QSettings settings(m_iniPath, QSettings::IniFormat);
    m_logStr = settings.value("LOG/log_str").toString();
    m_logLevel = settings.value("LOG/log_level").toInt();
    m_windowPort = settings.value("WINDOW/port").toString();
    m_windowBaud = settings.value("WINDOW/baud").toInt();
    m_windowFile = settings.value("WINDOW/file").toString();
}

void LocalSetting::save()
{
    QSettings settings(m_iniPath, QSettings::IniFormat);
    settings.setValue("LOG/log_str", m_logStr);
    settings.setValue("LOG/log_level", m_logLevel);
    settings.setValue("WINDOW/port", m_windowPort);
    settings.setValue("WINDOW/baud", m_windowBaud);
    settings.setValue("WINDOW/file", m_windowFile);
}

void LocalSetting::reset()
{
    m_logStr.clear();
    m_logLevel = 0;
    m_windowPort.clear();
    m_windowBaud = 0;
    m_windowFile.clear();
    save();
}
