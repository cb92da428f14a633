// What the operating system's serial driver is asked beyond what SerialPort offers, one small function each,
// so that another system needs new bodies (serialplatform_unix.cpp, serialplatform_win.cpp) rather than
// edits elsewhere.
#pragma once

#include <QString>
#include <QStringList>

// The device a port name stands for: a bare name such as ttyUSB0 is looked up where the system keeps them.
QString portLocation(const QString &name);

// Asks the driver to hand received bytes on at once (FTDI adapters: a 1 ms latency timer instead of 16 ms).
// False, with the reason, where the device or the system has no such setting.
bool requestLowLatency(qintptr handle, QString *why);

// The rate the driver really set up, in bit/s; 0 where it cannot be told.
qint64 appliedBaudRate(qintptr handle);

// True when the far end of the line is gone for good (hung up), not merely quiet.
bool lineHungUp(qintptr handle);

// Waits up to timeoutMs for the line to have room for more bytes; false when it has none by then.
bool waitForRoom(qintptr handle, int timeoutMs);

// Writes what the line takes now, without waiting, from any thread; the bytes written, 0 where the line is
// full, has failed (the port's owner finds out) or the system writes only through the port's own thread.
qint64 writeNow(qintptr handle, const char *data, qint64 len);

// True while the device the port name stands for is there (plugged in), whether or not it can be opened.
bool portPresent(const QString &name);

// "name:description" for every serial port present, as the user types the name.
QStringList serialPorts();
