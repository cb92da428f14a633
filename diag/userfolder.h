// The user's own folder for the program's settings, where the folder beside the executable cannot be
// written: ~/.config/kelpo-downloader on Linux, %APPDATA%\kelpo-downloader on Windows.
#pragma once

#include <QString>

QString userSettingsFolder();
