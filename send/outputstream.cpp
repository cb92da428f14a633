#include "outputstream.h"

OutputStream::OutputStream(FILE *stream) : m_stream(stream), m_thread(&OutputStream::run, this)
{ }

OutputStream::~OutputStream()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_condition.notify_one();
    m_thread.join();
}

void OutputStream::write(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(bytes);
    }
    m_condition.notify_one();
}

void OutputStream::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_condition.wait(lock, [this] { return m_closing || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        const QByteArray bytes = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        // A closed pipe fails the write (SIGPIPE is ignored); what follows is dropped the same way.
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_stream);
        std::fflush(m_stream);
        lock.lock();
    }
}
