// Persistent local settings, kept in config/config.ini beside the executable: the log level and label, and
// the window's last choices of port, baud rate and file.
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

    const QString &getLogStr() const { return m_logStr; }
    int getLogLevel() const { return m_logLevel; }
    const QString &getIniPath() const { return m_iniPath; }

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
