// The transfer engine without a window: opens the port, sends one file and reports on the terminal.
#pragma once

#include "comminterface.h"
#include "observer.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdio>

class Controller;

class HeadlessSender : public QObject, public Observer
{
    Q_OBJECT

public:
    // Console lines and progress go to out, the sender's own notes and complaints to err. With progressBar
    // the progress is a bar redrawn in place (for a terminal), otherwise one line per whole percent.
    HeadlessSender(FILE *out, FILE *err, bool progressBar, QObject *parent = nullptr);
    ~HeadlessSender() override;

    QStringList availablePorts() const;

    // Opens the port and, once it is open, sends the file; sigFinished tells the outcome.
    void start(const QString &portName, int baud, const QString &filePath);
    // The first call stops the session as the window's Cancel does; a second one aborts the channel so
    // that the session ends at once instead of at its next wake-up.
    void stop();

    void onMessage(const QString &msg) override;
    void onDeviceText(const QByteArray &bytes) override;
    void onProgress(const TransferProgress &progress) override;
    void onUpdateEnd(const TransferOutcome &outcome) override;

signals:
    // 0 only when the device confirmed the whole file, 1 otherwise.
    void sigFinished(int exitCode);

private slots:
    void slotCommSucc(CommOperType type);
    void slotCommFailed(CommOperType type, QString strInfo);

private:
    enum Phase { Idle, Opening, Sending, Closing, Done };

    void finish(int exitCode);
    void note(const QString &text);
    void drawProgress();
    void endProgressLine();

    FILE *m_out;
    FILE *m_err;
    const bool m_progressBar;
    CommInterface *m_comm = nullptr;
    Controller *m_controller = nullptr;
    Phase m_phase = Idle;
    QString m_portName;
    QString m_filePath;
    int m_stopRequests = 0;
    int m_progress = -1;
    bool m_barShown = false;
    int m_exitCode = 1;
};
