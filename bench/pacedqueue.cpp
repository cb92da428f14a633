#include "pacedqueue.h"

#include <algorithm>

namespace {
constexpr int64_t NS_PER_SECOND = 1000000000;
} // namespace

PacedQueue::PacedQueue(int bitsPerSecond) : m_rate(bitsPerSecond)
{ }

void PacedQueue::push(const unsigned char *data, int len, int64_t nowNs)
{
    if (len <= 0)
        return;
    if (isEmpty()) {
        m_bytes.clear();
        m_head = 0;
        m_burstStartNs = std::max(nowNs, m_lineFreeNs);
        m_burstSent = 0;
    }
    m_bytes.insert(m_bytes.end(), data, data + len);
}

int64_t PacedQueue::completionNs(int64_t index) const
{
    const int64_t bits = (index + 1) * BitsPerByte * NS_PER_SECOND;
    // Rounded up: a byte is never handed on before its last bit is in.
    return m_burstStartNs + (bits + m_rate - 1) / m_rate;
}

int PacedQueue::due(int64_t nowNs) const
{
    if (m_rate == 0 || isEmpty())
        return size();
    if (nowNs <= m_burstStartNs)
        return 0;
    const int64_t completed = (nowNs - m_burstStartNs) * m_rate / (BitsPerByte * NS_PER_SECOND);
    return int(std::clamp<int64_t>(completed - m_burstSent, 0, size()));
}

int64_t PacedQueue::nextDueNs(int64_t nowNs) const
{
    if (m_rate == 0)
        return nowNs;
    return completionNs(m_burstSent + due(nowNs));
}

void PacedQueue::pop(int count)
{
    count = std::min(count, size());
    if (count <= 0)
        return;
    m_head += size_t(count);
    m_burstSent += count;
    if (isEmpty()) {
        if (m_rate != 0)
            m_lineFreeNs = completionNs(m_burstSent - 1);
    } else if (m_head > m_bytes.size() / 2) {
        // A line that never falls idle would otherwise keep every byte it has carried.
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + std::ptrdiff_t(m_head));
        m_head = 0;
    }
}
