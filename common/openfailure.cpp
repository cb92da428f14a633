#include "openfailure.h"

#include "serialplatform.h"

QString openFailureText(const QString &portName, SerialPort::Error error, const QString &systemText)
{
    if (portName.isEmpty())
        return QStringLiteral("No serial port is chosen: connect the device, refresh the list and choose its "
                              "port.");
    // A bare name such as ttyUSB0 is looked up under /dev; say where, since that is what was not found.
    const QString location = portLocation(portName);
    const QString where = location == portName ? portName : QStringLiteral("%1 (%2)").arg(portName, location);
    switch (error) {
    case SerialPort::PermissionError:
        if (systemText.contains(QLatin1String("lock"), Qt::CaseInsensitive))
            return QStringLiteral("The serial port %1 is in use by another program: close that program, then "
                                  "open the port again (%2).")
                .arg(where, systemText);
        return QStringLiteral("No permission to use the serial port %1: on Linux, add your user to the group "
                              "dialout and log in again (%2).")
            .arg(where, systemText);
    case SerialPort::DeviceNotFoundError:
        return QStringLiteral("There is no serial port %1: check the cable and refresh the list (%2).")
            .arg(where, systemText);
    default:
        return QStringLiteral("Cannot open the serial port %1: %2").arg(where, systemText);
    }
}

QString rateRefusedText(const QString &portName, qint64 asked, qint64 applied)
{
    return QStringLiteral(
        "The serial port %1 cannot run at %2 bit/s (its driver set %3 bit/s): choose a rate "
        "the adapter supports.")
        .arg(portName)
        .arg(asked)
        .arg(applied);
}
