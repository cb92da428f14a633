// Persistent local settings: the log level and label, kept in config/config.ini beside the executable.
#pragma once

#include <QObject>
#include <QString>

class LocalSetting : public QObject
{
    Q_OBJECT

public:
    explicit LocalSetting(QObject *parent = nullptr);

    // Must not be called before the application object exists.
    static LocalSetting *instance();

    const QString &getLogStr() const { return logStr; }
    int getLogLevel() const { return logLevel; }
    const QString &getIniPath() const { return iniPath; }

    void load();
    void save();
    void reset();

private:
    QString iniPath;
    QString logStr;
    int logLevel = 0;
};
