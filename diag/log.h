// Asynchronous levelled file logger: callers format their lines, one writer thread puts them in the file.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// MinGW's C library is built with the GNU printf, whose formats the compiler must check against.
#if defined(__MINGW32__)
#define KELPO_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define KELPO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KELPO_PRINTF(fmt, args)
#endif

class LogTask
{
public:
    virtual void run() = 0;
    void start();
    // Waits for run() to return and releases the thread; does nothing when no thread was started.
    void join();

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
    // Longest line handed to the writer, the line ending not counted.
    enum { MaxLineLength = LineBufferSize - 2 };

    // The program uses the single instance(); tests build their own to look at one run in isolation.
    Log() = default;
    // Writes everything still queued, then ends the writer and closes the file.
    virtual ~Log();
    Log(const Log &) = delete;
    Log &operator=(const Log &) = delete;

    static Log *instance();

    // The folder, the file and the writer are made once, by the first call with a level above 0.
    // Logs into the folder log in the working directory or, where that cannot be written (an installed
    // program started from /), into fallbackFolder.
    void init(int level, const char *name, const std::string &fallbackFolder = std::string());
    void print(int level, const char *format, ...) KELPO_PRINTF(3, 4);
    void printWithSource(int level, const char *file, const char *function, int line, const char *format, ...)
        KELPO_PRINTF(6, 7);
    void printHex(const char *caption, const void *data, int len);
    void debug(const char *prefix, const char *format, ...) KELPO_PRINTF(3, 4);
    void info(const char *prefix, const char *format, ...) KELPO_PRINTF(3, 4);
    // Ends the writer after the line it holds; lines still queued are not written.
    void stop();

    // Whether lines are copied to standard error: by default only when there is no file to take them, so
    // that a program's own error output stays its own.
    enum class Echo { WhenNoFile, Never, Always };
    void setEcho(Echo echo) { m_echo = echo; }

    void run() override;

private:
    static std::FILE *openIn(const std::string &folder, const std::string &file);
    void vprint(int level, const std::string &source, const char *format, va_list args);
    void enqueueFormatted(const std::string &head, const char *format, va_list args);
    void enqueue(const std::string &line);
    bool dequeue(std::string &line);
    static std::string timeStamp();

    bool m_stop = false;
    FILE *m_file = nullptr;
    std::atomic<int> m_level { 0 };
    std::atomic<Echo> m_echo { Echo::WhenNoFile };
    std::deque<std::string> m_queue;
    std::mutex m_mutex;
    std::condition_variable m_condition;
};

void formatHex(char *buf, unsigned bufLen, const unsigned char *data, int len);
std::string errorText(const char *text, int code);
void debugOutput(const char *format, ...) KELPO_PRINTF(1, 2);

// Logs with the caller's source location.
#define LOG_SOURCE(level, ...)                                                                               \
    Log::instance()->printWithSource(level, __FILE__, __func__, __LINE__, __VA_ARGS__)
