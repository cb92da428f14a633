// Every port of one run, each on its own engine, all at once: started together, stopped together, and
// summed up when the last one has ended.
#pragma once

#include "sendoptions.h"

#include <QList>
#include <QObject>

class PortJob;
class Reporter;

class Station : public QObject
{
    Q_OBJECT

public:
    Station(const SendOptions &options, Reporter *reporter, QObject *parent = nullptr);
    ~Station() override;

    void start();
    void stop();

signals:
    // 0 only when every port completed, 1 otherwise.
    void sigFinished(int exitStatus);

private:
    void jobFinished();

    Reporter *m_reporter;
    QList<PortJob *> m_jobs;
    int m_running = 0;
};
