#include "log.h"
#include "logplatform.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {
// glibc's strerror_r hands back its text, which need not be in our buffer; the POSIX one reports a status.
[[maybe_unused]] const char *systemText(const char *result, const char *)
{
    return result;
}
[[maybe_unused]] const char *systemText(int status, const char *buffer)
{
    return status == 0 ? buffer : nullptr;
}
} // namespace

std::tm localParts(std::time_t seconds)
{
    std::tm parts {};
    localtime_r(&seconds, &parts);
    return parts;
}

std::FILE *openForAppend(const std::string &path)
{
    return std::fopen(path.c_str(), "a+");
}

std::string errorText(const char *text, int code)
{
    if (code < 0)
        code = errno;
    char buffer[256];
    const char *system = systemText(strerror_r(code, buffer, sizeof buffer), buffer);
    return std::string(text ? text : "(null)") + "(errno=" + std::to_string(code) + "),"
        + (system ? system : "(null)") + "\n";
}

void debugOutput(const char *format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(buffer, sizeof buffer, format, args) < 0)
        buffer[0] = '\0';
    va_end(args);
    std::fputs(buffer, stderr);
}
