#include "probedwindow.h"

#include <QElapsedTimer>

ProbedWindow::ProbedWindow(const QString &endMarker) : m_endMarker(endMarker)
{ }

void ProbedWindow::onMessage(const QString &msg)
{
    QElapsedTimer timer;
    timer.start();
    MainWindow::onMessage(msg);
    m_batchMs.add(double(timer.nsecsElapsed()) / 1e6);
    m_characters += msg.size();
    // The marker may be split between two batches.
    m_tail = (m_tail + msg.right(m_endMarker.size())).right(m_endMarker.size());
    if (m_tail == m_endMarker)
        emit sigEndShown();
}
