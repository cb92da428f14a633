// Reproducible content for firmware files and device output: the same seed gives the same bytes.
#pragma once

#include <QByteArray>

QByteArray randomBytes(int size, quint32 seed);
