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
    connect(&m_process, &QProcess::readyReadStandardOutput, this, gather);
    connect(&m_process, &QProcess::readyReadStandardError, this, gather);
    connect(&m_process, &QProcess::stateChanged, this, gather);
}

void SendRun::start(const QStringList &arguments)
{
    m_process.start(QStringLiteral(KELPO_BINARY_DIR "/kelpo-send"), arguments);
}

bool SendRun::waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QSignalSpy output(this, &SendRun::sigOutput);
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (m_process.state() == QProcess::NotRunning || !output.wait(int(deadline.remainingTime())))
            return condition();
    }
    return true;
}

int SendRun::waitForExit(int timeoutMs)
{
    if (!waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs))
        return -1;
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}
