// Text the program hands to the system as bytes (file names, block 0's name, console output) is UTF-8.
#pragma once

// Called at the start of main, before any text is converted.
void useUtf8Text();
