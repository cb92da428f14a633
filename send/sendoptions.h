// What the command line asks kelpo-send to do.
#pragma once

#include "step.h"
#include "uploadrequest.h"

#include <QList>
#include <QString>
#include <QStringList>

struct SendOptions
{
    enum Parsed { Run, Exit };

    bool list = false;
    bool json = false;
    // Log lines go to standard error as well as to the log file.
    bool verbose = false;
    QStringList ports;
    QString file;
    int baud = 115200;
    QList<Step> before;
    QList<Step> after;
    int expectTimeoutMs = 10000;
    int waitPortMs = 0;
    // config.ini's TRANSFER section, with what the command line says over it.
    TransferOptions transfer;

    // Fills the options from arguments. Run when there is work; Exit with *exitStatus set when help or the
    // version was printed (0) or a usage error was (2).
    Parsed parse(const QStringList &arguments, int *exitStatus);
};
