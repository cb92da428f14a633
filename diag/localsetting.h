// Persistent local settings: the log level and label, the transfer settings and the window's last choices of
// port, baud rate and file, kept in config.ini in a folder config beside the executable, or in the user's
// configuration folder where that one cannot be written (an installed program).
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

    const QString &getLogStr() const { return m_logStr; }
    int getLogLevel() const { return m_logLevel; }
    const QString &getIniPath() const { return m_iniPath; }
    // Where the settings live; logs go there too when the working directory cannot take them.
    QString folder() const;

    // A key of the section TRANSFER as written, read from the file each time; invalid when absent.
    QVariant transferValue(const QString &key) const;

    // The port's name, without its description; empty when none was chosen yet.
    const QString &getWindowPort() const { return m_windowPort; }
    void setWindowPort(const QString &port) { m_windowPort = port; }
    // 0 when none was chosen yet.
    int getWindowBaud() const { return m_windowBaud; }
    void setWindowBaud(int baud) { m_windowBaud = baud; }
    const QString &getWindowFile() const { return m_windowFile; }
    void setWindowFile(const QString &file) { m_windowFile = file; }

    void load();
    void save();
    void reset();

private:
    QString m_iniPath;
    QString m_logStr;
    int m_logLevel = 0;
    QString m_windowPort;
    int m_windowBaud = 0;
    QString m_windowFile;
};
