// What kelpo-send asks of the console it writes to, one body per system.
#pragma once

#include <cstdio>

// True when the stream goes to a terminal (or console window) that can show a progress line.
bool isTerminal(std::FILE *stream);

// Readies standard output and error before anything is written: a closed output pipe must not end the
// process in the middle of a flash, and a console must show UTF-8 text and redraw a line in place.
void prepareOutput();
