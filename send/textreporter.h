// Events as text for a person or a log: device output and engine lines on standard output, kelpo-send's
// own notes and reasons on standard error, each prefixed with the port when there are several.
#pragma once

#include "outputstream.h"
#include "reporter.h"

#include <QHash>

class TextReporter : public Reporter
{
public:
    // With progressBar the progress is redrawn in place on one line (a terminal), otherwise one line per
    // whole percent.
    TextReporter(OutputStream *out, OutputStream *err, bool progressBar);

    void begin(const QStringList &ports, const QString &filePath, const FileFacts &facts) override;
    void step(const QString &port, const StepReport &report) override;
    void device(const QString &port, const QByteArray &bytes) override;
    void message(const QString &port, const QString &text) override;
    void note(const QString &port, const QString &text) override;
    void progress(const QString &port, int percent) override;
    void end(const PortResult &result) override;
    void summary(const QList<PortResult> &results) override;

private:
    QString prefix(const QString &port) const;
    // Writes a whole line to out, wiping the bar first and drawing it again after.
    void writeLine(const QString &line);
    void closeOpenLine();
    void writeErr(const QString &port, const QString &text);
    void drawBar();

    OutputStream *m_out;
    OutputStream *m_err;
    const bool m_progressBar;
    bool m_several = false;
    bool m_barShown = false;
    // Ports in the order given, with their last percent.
    QStringList m_ports;
    QHash<QString, int> m_percent;
    // The port whose device line is not finished yet, if any.
    QString m_openLinePort;
};
