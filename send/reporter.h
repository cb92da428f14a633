// Where a run's events go: the terminal as text, or standard output as JSON Lines.
#pragma once

#include "filefacts.h"
#include "steprunner.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// How one port ended, with its figures.
struct PortResult
{
    QString port;
    // completed, refused, cancelled, device-cancelled, gave-up, port-lost, step-failed or
    // port-unavailable.
    QString outcome = QStringLiteral("cancelled");
    qint64 bytes = 0;
    double seconds = 0;
    int retransmissions = 0;
    // Why the port did not complete, as a line for scripts; empty when it did.
    QString reason;

    bool completed() const { return outcome == QLatin1String("completed"); }
};

class Reporter
{
public:
    virtual ~Reporter() = default;

    // Once, before any port opens.
    virtual void begin(const QStringList &ports, const QString &filePath, const FileFacts &facts) = 0;
    virtual void step(const QString &port, const StepReport &report) = 0;
    virtual void device(const QString &port, const QByteArray &bytes) = 0;
    // A line of the engine's own ("[info]…").
    virtual void message(const QString &port, const QString &text) = 0;
    // A line of kelpo-send's own about the port.
    virtual void note(const QString &port, const QString &text) = 0;
    virtual void progress(const QString &port, int percent) = 0;
    // The reason of a port that did not complete goes to the error output in every mode.
    virtual void end(const PortResult &result) = 0;
    // Once, when every port has ended.
    virtual void summary(const QList<PortResult> &results) = 0;
};
