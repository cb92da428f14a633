// Persistent local settings: the log level and label and the transfer settings, kept in config.ini in a
// folder config beside the executable, or in the user's configuration folder where that one cannot be
// written (an installed program).
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

class LocalSetting : public QObject
{
    Q_OBJECT

public:
    explicit LocalSetting(QObject *parent = nullptr);

    // Must not be called before the application object exists.
    static LocalSetting *instance();

    // The first of the two folders that exists or can be made and can be written; empty when neither.
    static QString chooseFolder(const QString &preferred, const QString &fallback);

    const QString &getLogStr() const { return logStr; }
    int getLogLevel() const { return logLevel; }
    const QString &getIniPath() const { return iniPath; }
    // Where the settings live; logs go there too when the working directory cannot take them.
    QString folder() const;

    // A key of the section TRANSFER as written, read from the file each time; invalid when absent.
    QVariant transferValue(const QString &key) const;

    void load();
    void save();
    void reset();

private:
    QString iniPath;
    QString logStr;
    int logLevel = 0;
};
