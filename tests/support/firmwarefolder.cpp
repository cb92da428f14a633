#include "firmwarefolder.h"

#include "testdata.h"

#include <QDir>
#include <QFile>

namespace {

struct Firmware
{
    const char *name;
    int size;
    quint32 seed;
};

const Firmware FILES[] = { { "firmware-a.bin", 100 * 1024 + 1, 1 }, { "firmware-b.bin", 37 * 1024 + 300, 2 },
    { "firmware-big.bin", 2 * 1024 * 1024, 3 }, { "zImage", 37 * 1024 + 300, 4 } };

} // namespace

FirmwareFolder::FirmwareFolder() : m_previousDir(QDir::currentPath())
{
    if (!m_dir.isValid() || !QDir(m_dir.path()).mkdir(QStringLiteral("Bin")))
        return;
    for (const Firmware &firmware : FILES) {
        QFile file(path(firmware.name));
        const QByteArray bytes = randomBytes(firmware.size, firmware.seed);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return;
    }
    m_valid = QDir::setCurrent(m_dir.path());
}

FirmwareFolder::~FirmwareFolder()
{
    QDir::setCurrent(m_previousDir);
}

QString FirmwareFolder::path(const char *name) const
{
    return m_dir.filePath(QStringLiteral("Bin/") + QLatin1String(name));
}

QByteArray FirmwareFolder::content(const char *name) const
{
    for (const Firmware &firmware : FILES) {
        if (qstrcmp(firmware.name, name) == 0)
            return randomBytes(firmware.size, firmware.seed);
    }
    return QByteArray();
}
