#include "stopsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {
int g_stopPipe[2] = { -1, -1 };

void onStopSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_stopPipe[1], &byte, 1);
    errno = savedErrno;
}

sigset_t stopSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
} // namespace

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{ }

StopSignals::~StopSignals()
{
    delete m_notifier;
}

bool StopSignals::block()
{
    const sigset_t set = stopSet();
    return ::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) == 0 && pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

void StopSignals::catchSignals()
{
    m_notifier = new QSocketNotifier(g_stopPipe[0], QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        ssize_t count;
        while ((count = ::read(g_stopPipe[0], bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < count; ++i)
                emit sigStop();
        }
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const sigset_t set = stopSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}
