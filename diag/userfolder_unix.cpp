#include "userfolder.h"

#include <QStandardPaths>

QString userSettingsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/kelpo-downloader");
}
