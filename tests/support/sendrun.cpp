#include "sendrun.h"

#include <QDeadlineTimer>
#include <QSignalSpy>

SendRun::SendRun()
{
    const auto gather = [this] {
        out += m_process.readAllStandardOutput();
        err += m_process.readAllStandardError();
        emit sigOutput();
    };
    connect(&m_process, &QProcess::channelReadyRead, this, gather);
    connect(&m_process, &QProcess::stateChanged, this, gather);
}

bool SendRun::waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QSignalSpy output(this, &SendRun::sigOutput);
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition() && m_process.state() != QProcess::NotRunning
        && output.wait(int(deadline.remainingTime()))) { }
    return condition();
}

int SendRun::waitForExit(int timeoutMs)
{
    const bool ended = waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
    return ended && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}
