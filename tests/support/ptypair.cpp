#include "ptypair.h"

#include <QDeadlineTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace {
// After a read or write of n: false when it failed for good or nothing more came in time.
bool goOn(ssize_t n, int fd, short events, const QDeadlineTimer &deadline)
{
    pollfd p { fd, events, 0 };
    return n > 0
        || (n < 0 && (errno == EAGAIN || errno == EINTR) && ::poll(&p, 1, int(deadline.remainingTime())) > 0);
}
} // namespace

PtyPair::PtyPair()
{
    termios raw {};
    cfmakeraw(&raw);
    int slave = -1;
    char name[256] = {};
    // Children (the program under test, socat) must not inherit the master, or a hang-up would go unseen.
    if (::openpty(&m_master, &slave, name, &raw, nullptr) != 0 || ::close(slave) != 0
        || ::fcntl(m_master, F_SETFL, O_NONBLOCK) != 0 || ::fcntl(m_master, F_SETFD, FD_CLOEXEC) != 0) {
        m_error = QStringLiteral("openpty: ") + QString::fromLocal8Bit(strerror(errno));
        hangUp();
    }
    m_slavePath = QString::fromLocal8Bit(name);
}

bool PtyPair::write(const QByteArray &bytes, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (!goOn(n, m_master, POLLOUT, deadline))
            return false;
        done += qMax<ssize_t>(n, 0);
    }
    return true;
}

QByteArray PtyPair::read(int count, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray received(count, Qt::Uninitialized);
    int done = 0;
    // EIO: the slave is closed and everything it wrote has been read.
    while (done < count) {
        const ssize_t n = ::read(m_master, received.data() + done, size_t(count - done));
        if (!goOn(n, m_master, POLLIN, deadline))
            break;
        done += qMax<ssize_t>(n, 0);
    }
    return received.left(done);
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
