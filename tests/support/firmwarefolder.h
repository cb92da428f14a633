// A working folder of the test's own holding Bin/ with the firmware files the window's tests flash; it is the
// current folder while it lives, since the file dialog starts in ./Bin/.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

class FirmwareFolder
{
public:
    FirmwareFolder();
    ~FirmwareFolder();
    FirmwareFolder(const FirmwareFolder &) = delete;
    FirmwareFolder &operator=(const FirmwareFolder &) = delete;

    // False when the folder or a file could not be made.
    bool isValid() const { return m_valid; }
    QString root() const { return m_dir.path(); }
    // firmware-a.bin, firmware-b.bin, firmware-big.bin (2 MiB), or zImage (no extension).
    QString path(const char *name) const;
    QByteArray content(const char *name) const;

private:
    QTemporaryDir m_dir;
    QString m_previousDir;
    bool m_valid = false;
};
