#include "userfolder.h"

#include <QDir>

// Qt's configuration folder on Windows is the local, unroamed one; settings belong in the roaming one.
QString userSettingsFolder()
{
    const QString roaming = qEnvironmentVariable("APPDATA");
    return roaming.isEmpty() ? QString()
                             : QDir::fromNativeSeparators(roaming) + QStringLiteral("/kelpo-downloader");
}
