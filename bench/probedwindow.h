// The program's window with a tap on the device text it is handed: counts it, times how long the window
// takes to take in each batch, and notices when the end of a flood shows in the console.
#pragma once

#include "mainwindow.h"
#include "samples.h"

#include <QString>

class ProbedWindow : public MainWindow
{
    Q_OBJECT

public:
    explicit ProbedWindow(const QString &endMarker);

    void onDeviceText(const QByteArray &bytes) override;

    qint64 characters() const { return m_characters; }
    // Milliseconds the window spent on each batch of device text as it was handed over.
    const Samples &batchMs() const { return m_batchMs; }

signals:
    void sigEndShown();

private:
    const QString m_endMarker;
    QByteArray m_tail;
    // The end of the flood has been handed over, and is not known to show yet.
    bool m_endHanded = false;
    qint64 m_characters = 0;
    Samples m_batchMs;
};
