#include "terminal.h"

#include <csignal>
#include <unistd.h>

bool isTerminal(std::FILE *stream)
{
    return isatty(fileno(stream)) == 1;
}

void prepareOutput()
{
    signal(SIGPIPE, SIG_IGN);
}
