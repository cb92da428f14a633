// The program's window with a tap on the text it is handed for its console: counts it, times how long the
// window takes to show each batch, and notices the end of a flood.
#pragma once

#include "mainwindow.h"
#include "samples.h"

#include <QString>

class ProbedWindow : public MainWindow
{
    Q_OBJECT

public:
    explicit ProbedWindow(const QString &endMarker);

    void onMessage(const QString &msg) override;

    qint64 characters() const { return m_characters; }
    // Milliseconds the window spent on each batch of console text.
    const Samples &batchMs() const { return m_batchMs; }

signals:
    void sigEndShown();

private:
    const QString m_endMarker;
    QString m_tail;
    qint64 m_characters = 0;
    Samples m_batchMs;
};
