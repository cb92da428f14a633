// Bytes on their way down one direction of a serial line: each byte becomes due once its ten bits (start,
// eight data, stop) would have crossed the wire at the chosen rate, sent back to back like a UART with an
// endless transmit FIFO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class PacedQueue
{
public:
    enum { BitsPerByte = 10 };

    // 0 bits per second: no pacing, every byte is due as soon as it is queued.
    explicit PacedQueue(int bitsPerSecond);

    void push(const unsigned char *data, int len, int64_t nowNs);
    bool isEmpty() const { return m_head == m_bytes.size(); }
    // How many of the queued bytes have crossed the wire by nowNs.
    int due(int64_t nowNs) const;
    // When the first byte that is not due at nowNs will be; meaningful only while such a byte is queued.
    int64_t nextDueNs(int64_t nowNs) const;
    const unsigned char *data() const { return m_bytes.data() + m_head; }
    int size() const { return int(m_bytes.size() - m_head); }
    void pop(int count);

private:
    // The moment the last bit of byte index (counted from the start of the burst) has been sent.
    int64_t completionNs(int64_t index) const;

    const int64_t m_rate;
    std::vector<unsigned char> m_bytes;
    size_t m_head = 0;
    // A burst is a run of bytes sent back to back; it starts when the line was idle and bytes arrived.
    int64_t m_burstStartNs = 0;
    int64_t m_burstSent = 0;
    int64_t m_lineFreeNs = 0;
};
