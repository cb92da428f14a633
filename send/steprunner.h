// Runs one port's steps in order, before or after its transfer: writes to the device, waits for what it
// prints, sets its modem lines, pauses.
#pragma once

#include "comminterface.h"
#include "step.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

struct StepReport
{
    QString phase;
    // From 1, in the order given.
    int number = 0;
    QString step;
    bool ok = false;
    double seconds = 0;
};

class StepRunner : public QObject
{
    Q_OBJECT

public:
    static constexpr int TAIL_CHARS = 200;

    // phase is "before" or "after"; steps already carry the file's values.
    StepRunner(CommInterface *comm, const QString &phase, const QList<Step> &steps, int expectTimeoutMs,
        QObject *parent = nullptr);

    // seen is what the device printed since the previous step (the port opening, or the transfer starting).
    void start(const QByteArray &seen);
    // Everything the device prints while the steps run comes in here.
    void takeDeviceText(const QByteArray &bytes);
    // Ends the run without reports.
    void stop();

signals:
    void sigStepDone(StepReport report);
    // On failure, a line naming the step and showing the device's last words.
    void sigFinished(bool ok, QString failure);

private slots:
    void slotCommSucc(CommOperType type);
    void slotCommFailed(CommOperType type, QString strInfo);

private:
    void runNext();
    void stepDone();
    void stepFailed(const QString &why);
    bool tryMatch();
    QString tail() const;

    CommInterface *m_comm;
    const QString m_phase;
    const QList<Step> m_steps;
    const int m_expectTimeoutMs;
    int m_current = -1;
    bool m_running = false;
    QByteArray m_seen;
    // Every byte seen, kept short, for failure lines.
    QByteArray m_recent;
    QTimer m_timer;
    QElapsedTimer m_clock;
};
