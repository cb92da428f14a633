// The GUI thread's handle on the transfer engine: owns the transfer thread and relays reports to observers.
#pragma once

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
    ~Controller() override;

    void addObserver(Observer *observer);
    void setFileName(const QString &path);
    void startUpload();
    void stopHandle();
    void startDataRecv();
    void writeInput(const QString &text);

signals:
    void sigStartUpload();
    void sigStartDataRecv();

public slots:
    void slotMessage(QString msg);
    void slotProgress(int value);
    void slotUpdateEnd();

private:
    QThread m_thread;
    HandleThread *m_handle = nullptr;
    QList<Observer *> m_observers;
};
