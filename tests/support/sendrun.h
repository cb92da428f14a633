// One run of kelpo-send as a user or a station script runs it; its output is gathered while the event loop
// turns, so a test can wait for a line.
#pragma once

#include "ptypair.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QStringList>

class SendRun : public QObject
{
    Q_OBJECT

public:
    static constexpr int RUN_TIMEOUT_MS = 120000;

    static QString binary();

    explicit SendRun(const QString &program = binary());
    ~SendRun() override;

    void setWorkingDirectory(const QString &dir) { m_process.setWorkingDirectory(dir); }
    // Sends the standard output to a terminal, as when a user watches it.
    void setTerminal(PtyPair *terminal);
    // Sends the standard output into another program's input, as a shell pipe does.
    void pipeOutputTo(QProcess *reader) { m_process.setStandardOutputProcess(reader); }

    void start(const QStringList &arguments);

    template<typename Condition> bool waitUntil(Condition condition, int timeoutMs = RUN_TIMEOUT_MS)
    {
        QSignalSpy output(this, &SendRun::sigOutput);
        QDeadlineTimer deadline(timeoutMs);
        while (!condition()) {
            if (deadline.hasExpired() || !output.wait(int(deadline.remainingTime())))
                return condition();
        }
        return true;
    }
    // True once text is on the standard output (or error); false when the program ended without it.
    bool waitForOutput(const QByteArray &text);
    bool waitForError(const QByteArray &text);
    // The exit status, or -1 when the program did not end by itself in time.
    int waitForExit(int timeoutMs = RUN_TIMEOUT_MS);
    bool signal(int signalNumber);

    // The standard output's lines read as JSON objects; a line that is not one comes back empty.
    QList<QJsonObject> jsonEvents() const;
    // The standard error's lines that name port (all of them with an empty port).
    QStringList errorLines(const QString &port = QString()) const;
    QString diagnostics() const;

    QByteArray out;
    QByteArray err;

signals:
    void sigOutput();

private:
    void watchTerminal();

    QString m_program;
    QProcess m_process;
    PtyPair *m_terminal = nullptr;
    QScopedPointer<QSocketNotifier> m_terminalNotifier;
};
