#include "terminal.h"

#include <initializer_list>
#include <io.h>
#include <windows.h>

bool isTerminal(std::FILE *stream)
{
    return _isatty(_fileno(stream)) != 0;
}

// Windows has no SIGPIPE: a closed pipe is a failed write. The console learns UTF-8 and the escape that
// clears the progress line (Windows 10 and later; older consoles show it as text).
void prepareOutput()
{
    SetConsoleOutputCP(CP_UTF8);
    for (const DWORD stream : { STD_OUTPUT_HANDLE, STD_ERROR_HANDLE }) {
        const HANDLE console = GetStdHandle(stream);
        DWORD mode = 0;
        if (GetConsoleMode(console, &mode))
            SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}
