// Why a port did not open, in words an operator can act on, with the system's own text kept behind them.
#pragma once

#include "serialport.h"

#include <QString>

QString openFailureText(const QString &portName, SerialPort::Error error, const QString &systemText);

// The rate asked for was not taken by the driver: no silent run at another speed.
QString rateRefusedText(const QString &portName, qint64 asked, qint64 applied);
