// One run of kelpo-send; its output is gathered while the event loop turns, so a test can wait for a line.
#pragma once

#include <QProcess>

#include <csignal>
#include <functional>

class SendRun : public QObject
{
    Q_OBJECT

public:
    SendRun();

    void start(const QStringList &arguments)
    {
        m_process.start(QStringLiteral(KELPO_BINARY_DIR "/kelpo-send"), arguments);
    }
    // True once condition holds; false when the program ended, or timeoutMs passed, without it.
    bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 120000);
    bool waitForOutput(const QByteArray &text)
    {
        return waitUntil([&] { return out.contains(text); });
    }
    // The exit status, or -1 when the program did not end by itself in time.
    int waitForExit(int timeoutMs = 120000);
    // The port is open and the session (or the steps before it) waits for the device.
    bool isWaitingForDevice() const
    {
        return out.contains("[info]Prepare to establish a connection.") || err.contains("running the steps");
    }
    // The summary line of port starts with text, for example "completed, 300 bytes".
    bool summaryStartsWith(const QString &port, const QString &text) const
    {
        return out.contains(QStringLiteral("\nSummary %1: %2").arg(port, text).toLocal8Bit());
    }
    // Standard output goes to path instead of out (a pipe the test may leave unread); call before start().
    void sendOutputTo(const QString &path) { m_process.setStandardOutputFile(path); }
    bool signal(int signalNumber) { return ::kill(pid_t(m_process.processId()), signalNumber) == 0; }
    QString diagnostics() const { return QString::fromLocal8Bit(out + "\n--- stderr:\n" + err); }

    QByteArray out, err;

signals:
    void sigOutput();

private:
    QProcess m_process;
};
