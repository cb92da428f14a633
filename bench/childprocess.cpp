#include "childprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

ChildProcess::~ChildProcess()
{
    kill();
    if (m_outputFd >= 0)
        ::close(m_outputFd);
    if (m_pidFd >= 0)
        ::close(m_pidFd);
}

bool ChildProcess::start(const QStringList &command, const QString &terminalPath)
{
    int pipeFds[2];
    if (command.isEmpty() || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        m_error = QStringLiteral("cannot make a pipe");
        return false;
    }
    std::vector<QByteArray> words;
    for (const QString &word : command)
        words.push_back(QFile::encodeName(word));
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const QByteArray terminal = QFile::encodeName(terminalPath);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (terminalPath.isEmpty()) {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, terminal.constData(), O_RDWR | O_NOCTTY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    const int rc = ::posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    m_outputFd = pipeFds[0];
    if (rc != 0) {
        m_error = QStringLiteral("cannot start %1: %2")
                      .arg(command.first(), QString::fromLocal8Bit(strerror(rc)));
        m_pid = -1;
        return false;
    }
    m_pidFd = int(::syscall(SYS_pidfd_open, m_pid, 0));
    if (m_pidFd < 0) {
        m_error = QStringLiteral("pidfd_open: ") + QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    return true;
}

void ChildProcess::reap()
{
    if (m_reaped || m_pid < 0)
        return;
    if (::wait4(m_pid, &m_status, 0, &m_usage) == m_pid)
        m_reaped = true;
}

void ChildProcess::collect(int timeoutMs)
{
    pollfd fds[2] = { { m_outputFd, POLLIN, 0 }, { m_pidFd, POLLIN, 0 } };
    if (::poll(fds, 2, timeoutMs) <= 0)
        return;
    if (fds[0].revents & (POLLIN | POLLHUP)) {
        char buf[4096];
        const ssize_t got = ::read(m_outputFd, buf, sizeof buf);
        if (got > 0)
            m_output.append(buf, int(got));
        else if (got == 0) {
            ::close(m_outputFd);
            m_outputFd = -1;
        }
    }
    // The output is read to its end first, so that nothing the program wrote last is lost.
    if ((fds[1].revents & POLLIN) && m_outputFd < 0)
        reap();
}

bool ChildProcess::waitForOutput(const QByteArray &text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_output.contains(text)) {
        if (m_pid < 0 || m_reaped || deadline.hasExpired())
            return false;
        collect(int(deadline.remainingTime()));
    }
    return true;
}

bool ChildProcess::waitForExit(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (m_pid >= 0 && !m_reaped) {
        if (deadline.hasExpired())
            return false;
        if (m_outputFd < 0) {
            // Nothing more to read: wait for the end alone.
            pollfd fd { m_pidFd, POLLIN, 0 };
            if (::poll(&fd, 1, int(deadline.remainingTime())) > 0)
                reap();
            continue;
        }
        collect(int(deadline.remainingTime()));
    }
    return m_pid >= 0;
}

void ChildProcess::kill()
{
    if (m_pid < 0 || m_reaped)
        return;
    ::kill(m_pid, SIGKILL);
    reap();
}

double ChildProcess::cpuSeconds() const
{
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(m_usage.ru_utime) + seconds(m_usage.ru_stime);
}
