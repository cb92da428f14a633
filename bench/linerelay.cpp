#include "linerelay.h"

#include "ymodem.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int READ_CHUNK = 65536;

QString systemError(const QString &what)
{
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
}

int openTerminal(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios raw {};
    if (::tcgetattr(fd, &raw) == 0) {
        cfmakeraw(&raw);
        ::tcsetattr(fd, TCSANOW, &raw);
    }
    return fd;
}

int packetLength(unsigned char code)
{
    if (code == YMODEM_CODE_STX)
        return YMODEM_PACKET_OVERHEAD + YMODEM_PACKET_1K_SIZE;
    if (code == YMODEM_CODE_SOH)
        return YMODEM_PACKET_OVERHEAD + YMODEM_PACKET_SIZE;
    return 1;
}

} // namespace

LineRelay::LineRelay(
    int senderMaster, const QString &senderSlavePath, const QString &receiverPath, int bitsPerSecond)
    : m_senderMaster(senderMaster), m_toReceiver(bitsPerSecond), m_toSender(bitsPerSecond)
{
    // Holding the slave keeps the master from reporting a hang-up before the sender opens its end and
    // after it closed it.
    m_senderHold = openTerminal(senderSlavePath);
    if (m_senderHold < 0) {
        m_error = systemError(QStringLiteral("cannot open ") + senderSlavePath);
        return;
    }
    m_receiverFd = openTerminal(receiverPath);
    if (m_receiverFd < 0) {
        m_error = systemError(QStringLiteral("cannot open ") + receiverPath);
        return;
    }
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_stopFd < 0)
        m_error = systemError(QStringLiteral("eventfd"));
}

LineRelay::~LineRelay()
{
    for (const int fd : { m_senderHold, m_receiverFd, m_stopFd }) {
        if (fd >= 0)
            ::close(fd);
    }
}

int64_t LineRelay::nowNs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void LineRelay::stop()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_stopFd, &one, sizeof one);
}

void LineRelay::takeFromSender(const unsigned char *data, int len, int64_t nowNs)
{
    for (int i = 0; i < len; ++i) {
        if (m_blockNumberNext) {
            m_packets.back().blockNumber = data[i];
            m_blockNumberNext = false;
        }
        if (m_packetBytesLeft > 0) {
            --m_packetBytesLeft;
            continue;
        }
        Packet packet;
        packet.startNs = nowNs;
        packet.code = data[i];
        packet.length = packetLength(data[i]);
        m_packets.push_back(packet);
        m_packetBytesLeft = packet.length - 1;
        m_blockNumberNext = packet.length > 1;
        if (m_ackOpen)
            m_turnaroundsNs.push_back(nowNs - m_lastAckNs);
        m_ackOpen = false;
    }
}

void LineRelay::noteDeliveredToSender(const unsigned char *data, int len, int64_t nowNs)
{
    for (int i = 0; i < len; ++i) {
        m_ackOpen = data[i] == YMODEM_CODE_ACK;
        if (!m_ackOpen)
            continue;
        m_lastAckNs = nowNs;
        if (!m_packets.empty() && m_packets.back().ackNs < 0)
            m_packets.back().ackNs = nowNs;
    }
}

bool LineRelay::deliver(PacedQueue &queue, int fd, bool toSender)
{
    const int due = queue.due(nowNs());
    if (due == 0)
        return true;
    const ssize_t written = ::write(fd, queue.data(), size_t(due));
    if (written < 0)
        return errno == EAGAIN || errno == EINTR;
    if (toSender)
        noteDeliveredToSender(queue.data(), int(written), nowNs());
    queue.pop(int(written));
    return true;
}

bool LineRelay::drain(int fd, bool fromSender)
{
    unsigned char buf[READ_CHUNK];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got > 0) {
            const int64_t now = nowNs();
            if (fromSender) {
                takeFromSender(buf, int(got), now);
                m_toReceiver.push(buf, int(got), now);
            } else {
                m_toSender.push(buf, int(got), now);
            }
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        // A terminal whose other end has closed reads as end of file or EIO.
        return got < 0 && errno == EAGAIN;
    }
}

void LineRelay::run()
{
    if (!isValid())
        return;
    // The default slack of 50 us would blur the pacing at 921600 bit/s and every turnaround.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    bool senderOpen = true;
    bool receiverOpen = true;
    for (;;) {
        if (senderOpen && !deliver(m_toSender, m_senderMaster, true))
            senderOpen = false;
        if (receiverOpen && !deliver(m_toReceiver, m_receiverFd, false))
            receiverOpen = false;
        if (!receiverOpen && (m_toSender.isEmpty() || !senderOpen))
            return;

        const int64_t now = nowNs();
        int64_t wakeNs = -1;
        pollfd fds[3] = { { m_stopFd, POLLIN, 0 }, { -1, 0, 0 }, { -1, 0, 0 } };
        if (senderOpen) {
            fds[1] = { m_senderMaster, POLLIN, 0 };
            if (m_toSender.due(now) > 0)
                fds[1].events |= POLLOUT;
            else if (!m_toSender.isEmpty())
                wakeNs = m_toSender.nextDueNs(now);
        }
        if (receiverOpen) {
            fds[2] = { m_receiverFd, POLLIN, 0 };
            if (m_toReceiver.due(now) > 0)
                fds[2].events |= POLLOUT;
            else if (!m_toReceiver.isEmpty()) {
                const int64_t next = m_toReceiver.nextDueNs(now);
                wakeNs = wakeNs < 0 ? next : std::min(wakeNs, next);
            }
        }
        if (wakeNs >= 0)
            wakeNs += m_granularityNs;
        timespec timeout {};
        if (wakeNs >= 0) {
            const int64_t wait = std::max<int64_t>(0, wakeNs - now);
            timeout.tv_sec = time_t(wait / 1000000000);
            timeout.tv_nsec = long(wait % 1000000000);
        }
        const int ready = ::ppoll(fds, 3, wakeNs >= 0 ? &timeout : nullptr, nullptr);
        if (ready < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN)
            return;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
            senderOpen = drain(m_senderMaster, true);
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR))
            receiverOpen = drain(m_receiverFd, false);
    }
}
