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

    // The log file's label: log_str when it is a plain name, empty otherwise (it goes into a file's name, so
    // a separator or ".." would write the log elsewhere).
    QString getLogStr() const;
    static bool isPlainName(const QString &label);
    int getLogLevel() const { return m_logLevel; }
    const QString &getIniPath() const { return m_iniPath; }
    // Where the settings live; logs go there too when the working directory cannot take them.
    QString folder() const;

    // A key of the section TRANSFER as written, read from the file each time; invalid when absent.
    QVariant transferValue(const QString &key) const;
    // Writes the key when the file says otherwise.
    void setTransferValue(const QString &key, const QString &value);

    // The window's choices. Each setter writes its own key, and only when the value changes: config.ini
    // belongs to its user, so keys edited by hand while the program runs keep what the file says.
    // The port's name, without its description; empty when none was chosen yet.
    const QString &getWindowPort() const { return m_windowPort; }
    void setWindowPort(const QString &port) { store("WINDOW/port", port, &m_windowPort); }
    // 0 when none was chosen yet.
    int getWindowBaud() const { return m_windowBaud; }
    void setWindowBaud(int baud) { store("WINDOW/baud", baud, &m_windowBaud); }
    const QString &getWindowFile() const { return m_windowFile; }
    void setWindowFile(const QString &file) { store("WINDOW/file", file, &m_windowFile); }
    // The logger takes these at the start: the next run logs with what is set here.
    void setLogStr(const QString &label) { store("LOG/log_str", label, &m_logStr); }
    void setLogLevel(int level) { store("LOG/log_level", level, &m_logLevel); }

    void load();
    // Starts the file afresh with every key at its default.
    void reset();

private:
    template<typename T> void store(const char *key, const T &value, T *member)
    {
        if (*member == value)
            return;
        *member = value;
        write(QLatin1String(key), QVariant::fromValue(value));
    }
    void write(const QString &key, const QVariant &value);

    QString m_iniPath;
    QString m_logStr;
    int m_logLevel = 0;
    QString m_windowPort;
    int m_windowBaud = 0;
    QString m_windowFile;
};
