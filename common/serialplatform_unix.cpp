#include "serialplatform.h"

#include <QFileInfo>
#include <QSerialPortInfo>
#include <QtGlobal>

#include <poll.h>
#include <unistd.h>

QString portLocation(const QString &name)
{
    const bool path = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
        || name.startsWith(QLatin1String("../"));
    return path ? name : QStringLiteral("/dev/") + name;
}

bool lineHungUp(qintptr handle)
{
    pollfd line { int(handle), POLLIN, 0 };
    return ::poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR | POLLNVAL));
}

bool waitForRoom(qintptr handle, int timeoutMs)
{
    pollfd line { int(handle), POLLOUT, 0 };
    return ::poll(&line, 1, timeoutMs) == 1 && (line.revents & POLLOUT);
}

qint64 writeNow(qintptr handle, const char *data, qint64 len)
{
    const ssize_t written = ::write(int(handle), data, size_t(len));
    return written > 0 ? qint64(written) : 0;
}

bool portPresent(const QString &name)
{
    return QFileInfo::exists(portLocation(name));
}

QStringList serialPorts()
{
    QStringList ports;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos)
        ports.append(info.portName() + QLatin1Char(':') + info.description());
    return ports;
}

#ifdef Q_OS_LINUX
// The kernel's own termios2 knows any rate; the C library's termios only the listed ones.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <linux/serial.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

bool requestLowLatency(qintptr handle, QString *why)
{
    serial_struct serial {};
    if (ioctl(int(handle), TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(int(handle), TIOCSSERIAL, &serial) == 0)
            return true;
    }
    *why = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

qint64 appliedBaudRate(qintptr handle)
{
    termios2 settings {};
    if (ioctl(int(handle), TCGETS2, &settings) != 0)
        return 0;
    return qint64(settings.c_ospeed);
}
#else
bool requestLowLatency(qintptr, QString *why)
{
    *why = QStringLiteral("not available on this system");
    return false;
}

qint64 appliedBaudRate(qintptr)
{
    return 0;
}
#endif
