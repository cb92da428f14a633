// The GUI thread's handle on the transfer engine: owns the transfer thread and relays reports to observers.
#pragma once

#include "transferoutcome.h"
#include "transferprogress.h"
#include "uploadrequest.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QThread>

class CommInterface;
class HandleThread;
class Observer;

class Controller : public QObject
{
    Q_OBJECT

public:
    explicit Controller(CommInterface *comm);
    // Stops what runs, at once: an upload sends its cancel sequence before the thread ends.
    ~Controller() override;

    void addObserver(Observer *observer);
    void startUpload(const UploadRequest &request);
    void stopHandle();
    void startDataRecv();

signals:
    void sigStartUpload(UploadRequest request);
    void sigStartDataRecv();

public slots:
    void slotMessage(QString msg);
    void slotDeviceText(QByteArray bytes);
    void slotProgress(TransferProgress progress);
    void slotUpdateEnd(TransferOutcome outcome);

private:
    QThread m_thread;
    HandleThread *m_handle = nullptr;
    QList<Observer *> m_observers;
};
