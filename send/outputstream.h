// A standard stream written from a thread of its own: whoever reports never waits for the reader, so a pipe
// nobody drains cannot hold the event loop that also takes Ctrl-C and SIGTERM.
#pragma once

#include <QByteArray>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

class OutputStream
{
public:
    explicit OutputStream(FILE *stream);
    // Writes everything still queued, however long the reader takes: no report is lost.
    ~OutputStream();
    OutputStream(const OutputStream &) = delete;
    OutputStream &operator=(const OutputStream &) = delete;

    // Queues the bytes and returns at once; they are written in the order queued.
    void write(const QByteArray &bytes);

private:
    void run();

    FILE *m_stream;
    std::deque<QByteArray> m_queue;
    bool m_closing = false;
    std::mutex m_mutex;
    std::condition_variable m_condition;
    std::thread m_thread;
};
