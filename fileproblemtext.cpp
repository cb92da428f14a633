#include "fileproblemtext.h"

#include "ymodem.h"

#include <QDir>

QString displayName(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QString fileProblemText(const Ymodem &ymodem, const QString &path)
{
    const QString name = displayName(path);
    switch (ymodem.fileProblem()) {
    case Ymodem::NoProblem:
        return QString();
    case Ymodem::NotRegularFile:
        return QStringLiteral("The firmware file \"%1\" is not a regular file (a pipe, a FIFO, a folder or a "
                              "device): its size must be known before it is sent, update not started.")
            .arg(name);
    case Ymodem::CannotOpen:
        return QStringLiteral("Cannot open the firmware file \"%1\": %2, update not started.")
            .arg(name, ymodem.errorString());
    case Ymodem::EmptyFile:
        return QStringLiteral("The firmware file \"%1\" is empty, update not started.").arg(name);
    case Ymodem::TooLarge:
        return QStringLiteral(
            "The firmware file \"%1\" has %2 bytes, more than the %3 bytes YMODEM can carry, "
            "update not started.")
            .arg(name)
            .arg(ymodem.fileSize())
            .arg(YMODEM_MAX_FILE_SIZE);
    case Ymodem::NameTooLong:
        return QStringLiteral(
            "The name of the firmware file \"%1\" is too long: name and size must fit in %2 "
            "bytes, update not started.")
            .arg(name)
            .arg(YMODEM_PACKET_SIZE);
    }
    return QString();
}
