#include "station.h"

#include "filefacts.h"
#include "portjob.h"
#include "reporter.h"

Station::Station(const SendOptions &options, Reporter *reporter, QObject *parent)
    : QObject(parent), m_reporter(reporter)
{
    const FileFacts facts = FileFacts::read(options.file);
    m_reporter->begin(options.ports, options.file, facts);
    for (const QString &port : options.ports) {
        PortJobSettings settings;
        settings.port = port;
        settings.baud = options.baud;
        settings.filePath = options.file;
        settings.facts = facts;
        settings.before = options.before;
        settings.after = options.after;
        settings.expectTimeoutMs = options.expectTimeoutMs;
        settings.waitPortMs = options.waitPortMs;
        settings.transfer = options.transfer;
        auto *job = new PortJob(settings, reporter);
        connect(job, &PortJob::sigFinished, this, &Station::jobFinished);
        m_jobs << job;
    }
}

Station::~Station()
{
    qDeleteAll(m_jobs);
}

void Station::start()
{
    m_running = m_jobs.size();
    for (PortJob *job : qAsConst(m_jobs))
        job->start();
}

void Station::stop()
{
    for (PortJob *job : qAsConst(m_jobs))
        job->stop();
}

void Station::jobFinished()
{
    if (--m_running > 0)
        return;
    QList<PortResult> results;
    bool allCompleted = true;
    for (const PortJob *job : qAsConst(m_jobs)) {
        results << job->result();
        allCompleted = allCompleted && job->result().completed();
    }
    m_reporter->summary(results);
    emit sigFinished(allCompleted ? 0 : 1);
}
