#include "probedwindow.h"

#include "console.h"

#include <QElapsedTimer>
#include <QTextBlock>

ProbedWindow::ProbedWindow(const QString &endMarker) : m_endMarker(endMarker)
{
    // The console shows gathered text on a timer of its own: the flood has been shown when its last line
    // is in the document.
    auto *console = findChild<Console *>(QStringLiteral("textBrowser"));
    connect(console, &Console::textChanged, this, [this, console] {
        if (m_endHanded && console->document()->lastBlock().text().endsWith(m_endMarker)) {
            m_endHanded = false;
            emit sigEndShown();
        }
    });
}

void ProbedWindow::onDeviceText(const QByteArray &bytes)
{
    QElapsedTimer timer;
    timer.start();
    MainWindow::onDeviceText(bytes);
    m_batchMs.add(double(timer.nsecsElapsed()) / 1e6);
    m_characters += bytes.size();
    // The marker may be split between two batches.
    m_tail = (m_tail + bytes.right(m_endMarker.size())).right(m_endMarker.size());
    m_endHanded = m_tail == m_endMarker.toLatin1();
}
