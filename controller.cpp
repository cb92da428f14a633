#include "controller.h"

#include "handlethread.h"
#include "observer.h"

#include <QDebug>

Controller::Controller(CommInterface *comm) : QObject(nullptr), m_handle(new HandleThread(comm))
{
    m_handle->moveToThread(&m_thread);

    connect(&m_thread, &QThread::finished, m_handle, &QObject::deleteLater);
    connect(this, &Controller::sigStartUpload, m_handle, &HandleThread::slotStartUpload);
    connect(this, &Controller::sigStartDataRecv, m_handle, &HandleThread::slotStartDataRecv);
    connect(m_handle, &HandleThread::sigMessage, this, &Controller::slotMessage);
    connect(m_handle, &HandleThread::sigProgress, this, &Controller::slotProgress);
    connect(m_handle, &HandleThread::sigUpdateEnd, this, &Controller::slotUpdateEnd);

    m_thread.start(QThread::InheritPriority);
}

Controller::~Controller()
{
    // A running monitor returns within its read wait; an upload cancels at its next wake-up, which is
    // immediate once the window has aborted the channel.
    m_handle->stop();
    m_thread.quit();
    m_thread.wait();
}

void Controller::addObserver(Observer *observer)
{
    m_observers.append(observer);
}

void Controller::setFileName(const QString &path)
{
    m_handle->setFileName(path);
}

void Controller::startUpload()
{
    qDebug() << "Controller:" << QThread::currentThreadId();
    m_handle->noteRequest();
    emit sigStartUpload();
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

void Controller::writeInput(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    m_handle->write(bytes.constData(), bytes.size());
}

void Controller::slotMessage(QString msg)
{
    for (Observer *observer : qAsConst(m_observers))
        observer->onMessage(msg);
}

void Controller::slotProgress(int value)
{
    for (Observer *observer : qAsConst(m_observers))
        observer->onProgress(value);
}

void Controller::slotUpdateEnd()
{
    for (Observer *observer : qAsConst(m_observers))
        observer->onUpdateEnd();
}
