#include "controller.h"

#include "handlethread.h"
#include "observer.h"

#include <QDebug>

Controller::Controller(CommInterface *comm) : QObject(nullptr), m_handle(new HandleThread(comm))
{
    qRegisterMetaType<UploadRequest>("UploadRequest");
    qRegisterMetaType<TransferProgress>("TransferProgress");
    qRegisterMetaType<TransferOutcome>("TransferOutcome");
    m_handle->moveToThread(&m_thread);

    connect(&m_thread, &QThread::finished, m_handle, &QObject::deleteLater);
    connect(this, &Controller::sigStartUpload, m_handle, &HandleThread::slotStartUpload);
    connect(this, &Controller::sigStartDataRecv, m_handle, &HandleThread::slotStartDataRecv);
    connect(m_handle, &HandleThread::sigMessage, this, &Controller::slotMessage);
    connect(m_handle, &HandleThread::sigDeviceText, this, &Controller::slotDeviceText);
    connect(m_handle, &HandleThread::sigProgress, this, &Controller::slotProgress);
    connect(m_handle, &HandleThread::sigUpdateEnd, this, &Controller::slotUpdateEnd);

    m_thread.start(QThread::InheritPriority);
}

Controller::~Controller()
{
    m_handle->stop();
    m_thread.quit();
    m_thread.wait();
}

void Controller::addObserver(Observer *observer)
{
    m_observers.append(observer);
}

void Controller::startUpload(const UploadRequest &request)
{
    qDebug() << "Controller:" << QThread::currentThreadId();
    m_handle->noteRequest();
    emit sigStartUpload(request);
}

void Controller::stopHandle()
{
    m_handle->stop();
}

void Controller::startDataRecv()
{
    m_handle->noteRequest();
    emit sigStartDataRecv();
}

void Controller::slotMessage(QString msg)
{
    for (Observer *observer : qAsConst(m_observers))
        observer->onMessage(msg);
}

void Controller::slotDeviceText(QByteArray bytes)
{
    for (Observer *observer : qAsConst(m_observers))
        observer->onDeviceText(bytes);
}

void Controller::slotProgress(TransferProgress progress)
{
    for (Observer *observer : qAsConst(m_observers))
        observer->onProgress(progress);
}

void Controller::slotUpdateEnd(TransferOutcome outcome)
{
    for (Observer *observer : qAsConst(m_observers))
        observer->onUpdateEnd(outcome);
}
