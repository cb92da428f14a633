// Events as JSON Lines on standard output, one object per event, for station scripts. The events and
// their fields are a stable interface, described in the README.
#pragma once

#include "reporter.h"

#include <QJsonObject>
#include <cstdio>

class JsonReporter : public Reporter
{
public:
    // Reasons also go to err as text, as in text mode.
    JsonReporter(FILE *out, FILE *err);

    void begin(const QStringList &ports, const QString &filePath, const FileFacts &facts) override;
    void step(const QString &port, const StepReport &report) override;
    void device(const QString &port, const QByteArray &bytes) override;
    void message(const QString &port, const QString &text) override;
    void note(const QString &port, const QString &text) override;
    void progress(const QString &port, int percent) override;
    void end(const PortResult &result) override;
    void summary(const QList<PortResult> &results) override;

private:
    void emitEvent(const char *event, const QString &port, QJsonObject fields);

    FILE *m_out;
    FILE *m_err;
    bool m_several = false;
};
