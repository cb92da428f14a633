#include "log.h"
#include "logplatform.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>

#include <windows.h>

std::tm localParts(std::time_t seconds)
{
    std::tm parts {};
    localtime_s(&parts, &seconds);
    return parts;
}

// The narrow fopen would read the name in the ANSI code page.
std::FILE *openForAppend(const std::string &path)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    if (length <= 0)
        return nullptr;
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &wide[0], length);
    return _wfopen(wide.c_str(), L"a+");
}

// The system's text in Chinese (Simplified), as the program has always asked for it; where that language
// is not installed there is none, and "(null)" stands in its place.
std::string errorText(const char *text, int code)
{
    const DWORD error = code < 0 ? GetLastError() : DWORD(code);
    char *system = nullptr;
    FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
        error, MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), reinterpret_cast<char *>(&system), 0,
        nullptr);
    char buffer[260];
    std::snprintf(buffer, sizeof buffer, "%s(errno=%ld),%s\n", text ? text : "(null)", long(error),
        system ? system : "(null)");
    LocalFree(system);
    return buffer;
}

void debugOutput(const char *format, ...)
{
    char buffer[1024];
    std::memset(buffer, 0, sizeof buffer);
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    OutputDebugStringA(buffer);
}
