// Events as JSON Lines on standard output, one object per event, for station scripts. The events and
// their fields are a stable interface, described in the README.
#pragma once

#include "outputstream.h"
#include "reporter.h"

#include <QJsonObject>
#include <QTextDecoder>
#include <QTimer>
#include <map>
#include <memory>

class JsonReporter : public Reporter
{
public:
    // The longest a port's device text is held back to be joined with what follows it.
    static constexpr int DEVICE_TEXT_MS = 20;

    // Reasons also go to err as text, as in text mode.
    JsonReporter(OutputStream *out, OutputStream *err);

    void begin(const QStringList &ports, const QString &filePath, const FileFacts &facts) override;
    void step(const QString &port, const StepReport &report) override;
    void device(const QString &port, const QByteArray &bytes) override;
    void message(const QString &port, const QString &text) override;
    void note(const QString &port, const QString &text) override;
    void progress(const QString &port, int percent) override;
    void end(const PortResult &result) override;
    void summary(const QList<PortResult> &results) override;

private:
    // What a port's device sent and is not reported yet: whole characters, and the decoder that keeps a
    // character split between two reads until its last byte comes.
    struct DeviceText
    {
        std::unique_ptr<QTextDecoder> decoder;
        QString text;
    };

    void emitEvent(const char *event, const QString &port, QJsonObject fields);
    // Reports the port's held text, so that it comes before the port's next event.
    void flushDeviceText(const QString &port);

    OutputStream *m_out;
    OutputStream *m_err;
    bool m_several = false;
    std::map<QString, DeviceText> m_deviceText;
    QTimer m_deviceTimer;
};
