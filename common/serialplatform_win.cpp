#include "serialplatform.h"

#include <QMap>
#include <QRegularExpression>

#include <windows.h>

#include <devguid.h>
#include <setupapi.h>

namespace {
QString registryString(HKEY key, const wchar_t *name)
{
    wchar_t value[256] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size) != ERROR_SUCCESS
        || type != REG_SZ)
        return QString();
    return QString::fromWCharArray(value);
}

// The names the device manager shows ("USB Serial Port (COM3)"), by port name; drivers that do not
// register with it (Wine's mapped ports) have none.
QMap<QString, QString> friendlyNames()
{
    QMap<QString, QString> names;
    const HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return names;
    SP_DEVINFO_DATA device {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        const QString port = registryString(key, L"PortName");
        RegCloseKey(key);
        wchar_t friendly[256] = {};
        if (!port.isEmpty()
            && SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                reinterpret_cast<BYTE *>(friendly), sizeof friendly - sizeof(wchar_t), nullptr))
            names.insert(port.toUpper(), QString::fromWCharArray(friendly));
    }
    SetupDiDestroyDeviceInfoList(devices);
    return names;
}

// The ports present as the system lists them: device name -> port name ("\Device\Serial0" -> "COM1").
QMap<QString, QString> serialComm()
{
    QMap<QString, QString> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key)
        != ERROR_SUCCESS)
        return ports;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256] = {};
        DWORD nameLength = 255;
        wchar_t value[256] = {};
        DWORD size = sizeof value - sizeof(wchar_t);
        DWORD type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE *>(value), &size)
            != ERROR_SUCCESS)
            break;
        if (type == REG_SZ)
            ports.insert(QString::fromWCharArray(name), QString::fromWCharArray(value));
    }
    RegCloseKey(key);
    return ports;
}

int portNumber(const QString &name)
{
    static const QRegularExpression number(QStringLiteral("(\\d+)$"));
    const QRegularExpressionMatch match = number.match(name);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}
} // namespace

// COM1 to COM9 open by their bare names too, but COM10 and above only through the device namespace.
QString portLocation(const QString &name)
{
    return name.startsWith(QLatin1String("\\\\")) ? name : QStringLiteral("\\\\.\\") + name;
}

bool requestLowLatency(qintptr, QString *why)
{
    *why = QStringLiteral("on Windows the adapter's latency is set in its driver's properties");
    return false;
}

qint64 appliedBaudRate(qintptr handle)
{
    DCB settings {};
    settings.DCBlength = sizeof settings;
    return GetCommState(reinterpret_cast<HANDLE>(handle), &settings) ? qint64(settings.BaudRate) : 0;
}

bool lineHungUp(qintptr handle)
{
    DWORD errors = 0;
    COMSTAT status {};
    return !ClearCommError(reinterpret_cast<HANDLE>(handle), &errors, &status);
}

// The port's own writer thread waits for room; nobody else writes to an overlapped handle.
bool waitForRoom(qintptr, int)
{
    return false;
}

qint64 writeNow(qintptr, const char *, qint64)
{
    return 0;
}

bool portPresent(const QString &name)
{
    const QMap<QString, QString> ports = serialComm();
    for (const QString &port : ports) {
        if (port.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QStringList serialPorts()
{
    const QMap<QString, QString> friendly = friendlyNames();
    const QMap<QString, QString> ports = serialComm();
    QMultiMap<int, QString> byNumber;
    for (auto port = ports.cbegin(); port != ports.cend(); ++port) {
        const QString description = friendly.value(port.value().toUpper(), port.key());
        byNumber.insert(portNumber(port.value()), port.value() + QLatin1Char(':') + description);
    }
    return byNumber.values();
}
