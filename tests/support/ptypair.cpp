#include "ptypair.h"

#include <QDeadlineTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
}

// Waits until the master is ready for events or the deadline passes; false on time-out or error.
bool waitFor(int fd, short events, const QDeadlineTimer &deadline)
{
    pollfd p { fd, events, 0 };
    int rc;
    do {
        rc = ::poll(&p, 1, int(deadline.remainingTime()));
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & events);
}

} // namespace

PtyPair::PtyPair()
{
    termios raw {};
    cfmakeraw(&raw);
    int slave = -1;
    char name[256] = {};
    if (::openpty(&m_master, &slave, name, &raw, nullptr) < 0) {
        m_error = systemError("openpty");
        m_master = -1;
        return;
    }
    // Only the program under test may hold the slave, or its close would go unseen.
    ::close(slave);
    m_slavePath = QString::fromLocal8Bit(name);
    const int flags = ::fcntl(m_master, F_GETFL);
    // Children (the program under test, socat, rb) must not inherit the master, or a hang-up would go unseen.
    if (flags < 0 || ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK) < 0
        || ::fcntl(m_master, F_SETFD, FD_CLOEXEC) < 0) {
        m_error = systemError("fcntl");
        ::close(m_master);
        m_master = -1;
    }
}

PtyPair::~PtyPair()
{
    if (m_master >= 0)
        ::close(m_master);
}

bool PtyPair::write(const QByteArray &bytes, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (!waitFor(m_master, POLLOUT, deadline))
            return false;
    }
    return true;
}

QByteArray PtyPair::read(int count, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray received;
    char chunk[4096];
    while (received.size() < count) {
        const ssize_t n = ::read(m_master, chunk, qMin(sizeof chunk, size_t(count - received.size())));
        if (n > 0) {
            received.append(chunk, int(n));
            continue;
        }
        // EIO means the slave is closed and everything it wrote has been read.
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
        if (!waitFor(m_master, POLLIN, deadline))
            break;
    }
    return received;
}

bool PtyPair::isSlaveClosed() const
{
    pollfd p { m_master, POLLIN, 0 };
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

void PtyPair::hangUp()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}
