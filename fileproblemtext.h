// What the operator is told of a firmware file that cannot be sent, or cannot be read to its end.
#pragma once

#include <QString>

class Ymodem;

// The path as the operator's system writes it.
QString displayName(const QString &path);
// Why the file cannot be sent, in the words shown to the operator; empty when it can.
QString fileProblemText(const Ymodem &ymodem, const QString &path);
