// One port's whole run on its own engine (a CommSerial and a Controller): open the port, waiting for it to
// appear if asked, the steps before, the transfer, the steps after, close.
#pragma once

#include "uploadrequest.h"

#include "comminterface.h"
#include "filefacts.h"
#include "observer.h"
#include "reporter.h"
#include "step.h"

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QTimer>

class Controller;
class StepRunner;

struct PortJobSettings
{
    QString port;
    int baud = 115200;
    QString filePath;
    FileFacts facts;
    QList<Step> before;
    QList<Step> after;
    int expectTimeoutMs = 10000;
    // How long to keep trying to open a port that does not exist yet; 0 tries once.
    int waitPortMs = 0;
    TransferOptions transfer;
};

class PortJob : public QObject, public Observer
{
    Q_OBJECT

public:
    PortJob(const PortJobSettings &settings, Reporter *reporter, QObject *parent = nullptr);
    ~PortJob() override;

    void start();
    // Cancels at once, in whatever phase the port is.
    void stop();
    const PortResult &result() const { return m_result; }

    void onMessage(const QString &msg) override;
    void onDeviceText(const QByteArray &bytes) override;
    void onProgress(const TransferProgress &progress) override;
    void onUpdateEnd(const TransferOutcome &outcome) override;

signals:
    void sigFinished();

private slots:
    void slotCommSucc(CommOperType type);
    void slotCommFailed(CommOperType type, QString strInfo);
    void slotStepsFinished(bool ok, QString failure);

private:
    enum Phase { Idle, Opening, Before, Transfer, After, Closing, Done };

    void open();
    void runSteps(const QString &phase, const QList<Step> &steps, const QByteArray &seen);
    void startTransfer();
    // Records how the port ended and closes it; the end is reported once it is closed.
    void close(const QString &outcome, const QString &reason);
    void finish();
    QString unsentReason(const QString &why) const;

    const PortJobSettings m_settings;
    Reporter *m_reporter;
    CommInterface *m_comm = nullptr;
    Controller *m_controller = nullptr;
    StepRunner *m_runner = nullptr;
    Phase m_phase = Idle;
    PortResult m_result;
    QDeadlineTimer m_portDeadline;
    QTimer m_retryTimer;
    bool m_waitNoted = false;
    bool m_portSeenMissing = false;
    int m_percent = -1;
    // What the device printed since the transfer began, for the first step after it.
    QByteArray m_transferText;
};
