// A program run for a benchmark: started with posix_spawn and reaped with wait4, so that its own CPU time
// and peak resident memory can be read afterwards.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <sys/resource.h>
#include <sys/types.h>

class ChildProcess
{
public:
    ChildProcess() = default;
    // Kills and reaps the program if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // With a terminal path, the program's input and output are that terminal (as for lrzsz's sb) and only
    // its error output is collected; otherwise its input is /dev/null and both outputs are collected.
    bool start(const QStringList &command, const QString &terminalPath = QString());
    // Collects output until it contains text; false if the program ended or the time ran out first.
    bool waitForOutput(const QByteArray &text, int timeoutMs);
    // Collects output until the program has exited; false if the time ran out first.
    bool waitForExit(int timeoutMs);
    void kill();

    QByteArray output() const { return m_output; }
    QString errorString() const { return m_error; }
    bool exitedNormally() const { return m_reaped && WIFEXITED(m_status) && WEXITSTATUS(m_status) == 0; }
    int exitStatus() const { return m_reaped && WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1; }
    double cpuSeconds() const;
    long peakResidentKiB() const { return m_usage.ru_maxrss; }
    // How often one of its threads gave up the processor to wait: one per wake-up, near enough.
    long voluntarySwitches() const { return m_usage.ru_nvcsw; }

private:
    // Waits at most timeoutMs for output or the end; reaps the program once it ended.
    void collect(int timeoutMs);
    void reap();

    pid_t m_pid = -1;
    int m_pidFd = -1;
    int m_outputFd = -1;
    bool m_reaped = false;
    int m_status = 0;
    rusage m_usage {};
    QByteArray m_output;
    QString m_error;
};
