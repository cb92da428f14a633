#include "log.h"

#include "logplatform.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace {

std::tm localNow()
{
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return localParts(std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count());
}

} // namespace

void LogTask::start()
{
    m_thread = new std::thread(&LogTask::entry, this);
}

void LogTask::join()
{
    if (!m_thread)
        return;
    m_thread->join();
    delete m_thread;
    m_thread = nullptr;
}

void LogTask::entry(LogTask *task)
{
    task->run();
}

Log::~Log()
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        // Without a running writer nobody would empty the queue.
        m_condition.wait(lock, [this] { return m_queue.empty() || m_stop || !m_thread; });
        m_stop = true;
        m_condition.notify_all();
    }
    // The writer may still be writing the last line it took.
    join();
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

// Opens the file in folder, made first if need be; null when either cannot be.
std::FILE *Log::openIn(const std::string &folder, const std::string &file)
{
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::u8path(folder), ignored);
    return openForAppend(folder + file);
}

Log *Log::instance()
{
    static Log log;
    return &log;
}

void Log::init(int level, const char *name, const std::string &fallbackFolder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_level = level;
    // The writer reads the stream without the mutex, so the stream is never replaced once it runs.
    if (level <= 0 || m_thread)
        return;
    const std::tm now = localNow();
    char stamp[80];
    std::snprintf(stamp, sizeof stamp, "%4d-%02d-%02d %02d-%02d-%02d", now.tm_year + 1900, now.tm_mon + 1,
        now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    const std::string file = std::string("/log_") + (name ? name : "") + "_" + stamp + ".log";
    m_file = openIn("log", file);
    if (!m_file && !fallbackFolder.empty())
        m_file = openIn(fallbackFolder, file);
    start();
}

void Log::print(int level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprint(level, std::string(), format, args);
    va_end(args);
}

void Log::printWithSource(
    int level, const char *file, const char *function, int line, const char *format, ...)
{
    if (m_level < level)
        return;
    // The location goes in as text, never as part of the format: paths may hold per-cent signs.
    const std::string source = std::string(file) + ":" + std::to_string(line) + ":" + function + "() ";
    va_list args;
    va_start(args, format);
    vprint(level, source, format, args);
    va_end(args);
}

void Log::printHex(const char *caption, const void *data, int len)
{
    if (m_level < 3)
        return;
    char hex[LineBufferSize];
    formatHex(hex, sizeof hex, static_cast<const unsigned char *>(data), len);
    print(3, "%s %s", caption, hex);
}

void Log::debug(const char *prefix, const char *format, ...)
{
    if (m_level <= 2)
        return;
    va_list args;
    va_start(args, format);
    enqueueFormatted(timeStamp() + " [DEBUG] " + prefix, format, args);
    va_end(args);
}

void Log::info(const char *prefix, const char *format, ...)
{
    if (m_level <= 1)
        return;
    va_list args;
    va_start(args, format);
    enqueueFormatted(timeStamp() + "  " + prefix, format, args);
    va_end(args);
}

void Log::stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
    m_condition.notify_all();
}

void Log::run()
{
    std::string line;
    while (dequeue(line)) {
        if (m_file) {
            std::fprintf(m_file, "%s\n", line.c_str());
            std::fflush(m_file);
        }
        const Echo echo = m_echo;
        if (echo == Echo::Always || (echo == Echo::WhenNoFile && !m_file))
            std::fprintf(stderr, "%s\n", line.c_str());
    }
}

void Log::vprint(int level, const std::string &source, const char *format, va_list args)
{
    if (level < 1 || level > 3 || m_level < level)
        return;
    const char *tag = level == 1 ? "ERROR" : level == 3 ? "DEBUG" : "INFOR";
    enqueueFormatted(timeStamp() + " [" + tag + "] " + source, format, args);
}

void Log::enqueueFormatted(const std::string &head, const char *format, va_list args)
{
    char buffer[LineBufferSize];
    const size_t used = std::min<size_t>(head.size(), MaxLineLength);
    std::memcpy(buffer, head.data(), used);
    buffer[used] = '\0';
    // The limit counts the terminator, so head and message together stay within MaxLineLength.
    if (std::vsnprintf(buffer + used, MaxLineLength + 1 - used, format, args) < 0)
        buffer[used] = '\0';
    enqueue(buffer);
}

void Log::enqueue(const std::string &line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(line);
    m_condition.notify_all();
}

bool Log::dequeue(std::string &line)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_condition.wait(lock, [this] { return m_stop || !m_queue.empty(); });
    if (m_stop)
        return false;
    line = std::move(m_queue.front());
    m_queue.pop_front();
    // The destructor waits for the queue to run dry.
    if (m_queue.empty())
        m_condition.notify_all();
    return true;
}

std::string Log::timeStamp()
{
    const std::tm now = localNow();
    char stamp[80];
    std::snprintf(stamp, sizeof stamp, "%4d/%02d/%02d %02d:%02d:%02d", now.tm_year + 1900, now.tm_mon + 1,
        now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    return stamp;
}

void formatHex(char *buf, unsigned bufLen, const unsigned char *data, int len)
{
    static const char digits[] = "0123456789ABCDEF";
    if (bufLen == 0)
        return;
    std::memset(buf, 0, bufLen);
    unsigned pos = 0;
    for (int i = 0; i < len; ++i) {
        const unsigned rowBreak = i % 24 == 0 ? 1 : 0;
        // Keep room for this group, the closing line break and the terminator.
        if (pos + rowBreak + 3 + 2 > bufLen)
            break;
        if (rowBreak)
            buf[pos++] = '\n';
        buf[pos++] = digits[data[i] >> 4];
        buf[pos++] = digits[data[i] & 0x0F];
        buf[pos++] = ' ';
    }
    if (pos + 2 <= bufLen)
        buf[pos] = '\n';
}
