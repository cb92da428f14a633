// Asynchronous levelled file logger: lines are formatted in the caller's thread and written by one writer thread.
#pragma once

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#define KELPO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

class LogTask
{
public:
    virtual void run() = 0;
    void start();

protected:
    ~LogTask() = default;
    std::thread *m_thread = nullptr;

private:
    static void entry(LogTask *task);
};

class Log : public LogTask
{
public:
    enum { LineBufferSize = 20480 };

    // The program uses the single instance(); tests build their own to look at one run in isolation.
    Log() = default;
    virtual ~Log();
    Log(const Log &) = delete;
    Log &operator=(const Log &) = delete;

    static Log *instance();

    void init(int level, const char *name);
    void print(int level, const char *format, ...) KELPO_PRINTF(3, 4);
    void printWithSource(int level, const char *file, const char *function, int line, const char *format, ...)
        KELPO_PRINTF(6, 7);
    void printHex(const char *caption, const void *data, int len);
    void debug(const char *prefix, const char *format, ...) KELPO_PRINTF(3, 4);
    void info(const char *prefix, const char *format, ...) KELPO_PRINTF(3, 4);
    void stop();

    void run() override;

private:
    void vprint(int level, const char *format, va_list args);
    void enqueue(const std::string &line);
    std::string dequeue();
    static std::string timeStamp();

    bool m_stop = false;
    FILE *m_file = nullptr;
    int m_level = 0;
    std::deque<std::string> m_queue;
    std::mutex m_mutex;
    std::condition_variable m_condition;
};

void formatHex(char *buf, unsigned bufLen, const unsigned char *data, int len);
std::string errorText(const char *text, int code);
void debugOutput(const char *format, ...) KELPO_PRINTF(1, 2);

// Logs with the caller's source location.
#define LOG_SOURCE(level, ...) Log::instance()->printWithSource(level, __FILE__, __func__, __LINE__, __VA_ARGS__)
