#include "modalanswerer.h"

#include <QApplication>
#include <QWidget>

namespace {
constexpr int MODAL_POLL_MS = 5;
}

ModalAnswerer::ModalAnswerer(const QMetaObject &kind, Answer answer, bool everyOne)
    : m_kind(kind), m_answer(std::move(answer)), m_everyOne(everyOne)
{
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::look);
    m_timer.start(MODAL_POLL_MS);
}

void ModalAnswerer::look()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || !m_kind.cast(modal))
        return;
    ++m_answered;
    if (!m_everyOne)
        m_timer.stop();
    m_answer(modal);
}
