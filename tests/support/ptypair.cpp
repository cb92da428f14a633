#include "ptypair.h"

#include <QDeadlineTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>
#include <utility>

namespace {
// Moves up to count bytes with io (::read or ::write) until it fails for good or nothing more comes in time.
template<typename Io>
qsizetype transfer(Io io, int fd, short events, char *data, qsizetype count, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    pollfd p { fd, events, 0 };
    qsizetype done = 0;
    while (done < count) {
        const ssize_t n = io(fd, data + done, size_t(count - done));
        if (n <= 0
            && !(n < 0 && (errno == EAGAIN || errno == EINTR)
                && ::poll(&p, 1, int(deadline.remainingTime())) > 0))
            break;
        done += qMax<ssize_t>(n, 0);
    }
    return done;
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

bool writeAll(int fd, const QByteArray &bytes, int timeoutMs)
{
    char *data = const_cast<char *>(bytes.constData()); // ::write only reads it.
    return transfer(::write, fd, POLLOUT, data, bytes.size(), timeoutMs) == bytes.size();
}

// Stops early on EIO: the slave is closed and everything it wrote has been read.
QByteArray PtyPair::read(int count, int timeoutMs)
{
    QByteArray received(count, Qt::Uninitialized);
    return received.left(int(transfer(::read, m_master, POLLIN, received.data(), count, timeoutMs)));
}

bool PtyPair::isSlaveClosed() const
{
    pollfd p { m_master, POLLIN, 0 };
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

void PtyPair::hangUp()
{
    if (m_master >= 0)
        ::close(std::exchange(m_master, -1));
}
