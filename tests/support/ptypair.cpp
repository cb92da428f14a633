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
    // Children (the program under test, socat) must not inherit the master, or a hang-up would go unseen.
    const bool opened = ::openpty(&m_master, &slave, name, &raw, nullptr) == 0;
    if (opened)
        ::close(slave);
    if (!opened || ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK) < 0
        || ::fcntl(m_master, F_SETFD, FD_CLOEXEC) < 0) {
        m_error = QStringLiteral("openpty: ") + QString::fromLocal8Bit(strerror(errno));
        m_master = opened ? m_master : -1;
        hangUp();
        return;
    }
    m_slavePath = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    hangUp();
}

bool PtyPair::write(const QByteArray &bytes, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if ((n < 0 && errno != EAGAIN && errno != EINTR) || !waitFor(m_master, POLLOUT, deadline))
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
        if (n > 0)
            received.append(chunk, int(n));
        // EIO: the slave is closed and everything it wrote has been read.
        else if (n == 0 || (errno != EAGAIN && errno != EINTR) || !waitFor(m_master, POLLIN, deadline))
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
