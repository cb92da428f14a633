#include "replyreader.h"

#include "comminterface.h"

#include <chrono>

namespace {
// Without a deadline a wait is cut into pieces only as a safety net; a stop wakes it at once.
constexpr int LONGEST_WAIT_MS = 1000;
constexpr int DRAIN_PIECE = 1024;
} // namespace

qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

ReplyReader::ReplyReader(CommInterface *comm, const std::atomic<bool> &running)
    : m_comm(comm), m_running(running)
{ }

ReplyReader::Reply ReplyReader::read(qint64 deadlineMs)
{
    for (;;) {
        if (!m_running.load())
            return { Reply::Stopped, 0, steadyMs() };
        if (!m_comm->lineError().isEmpty())
            return { Reply::Lost, 0, steadyMs() };
        const qint64 now = steadyMs();
        if (deadlineMs != FOREVER && now >= deadlineMs)
            return { Reply::TimedOut, 0, now };
        const int waitMs = deadlineMs == FOREVER ? LONGEST_WAIT_MS : int(deadlineMs - now);
        char byte = 0;
        if (!m_comm->readByte(&byte, waitMs))
            return { Reply::Aborted, 0, steadyMs() };
        // A wait cut short by a wake-up reads as a time-out; the loop looks at the deadline again.
        if (!m_comm->isReadTimeout())
            return { Reply::Byte, static_cast<unsigned char>(byte), steadyMs() };
    }
}

QByteArray ReplyReader::drain(LastReceived *last)
{
    QByteArray taken;
    unsigned char waiting[DRAIN_PIECE];
    const qint64 end = steadyMs() + DRAIN_LIMIT_MS;
    int n = 0;
    while (m_running.load() && steadyMs() < end && (n = m_comm->readWaiting(waiting, sizeof waiting)) > 0) {
        taken.append(reinterpret_cast<const char *>(waiting), n);
        *last = { waiting[n - 1], steadyMs() };
    }
    return taken;
}
