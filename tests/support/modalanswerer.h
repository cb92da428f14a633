// Answers modal widgets of one kind from inside their own event loop, as an operator would: the first one
// only, or every one while it lives.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

class QWidget;

class ModalAnswerer : public QObject
{
    Q_OBJECT

public:
    using Answer = std::function<void(QWidget *modal)>;

    ModalAnswerer(const QMetaObject &kind, Answer answer, bool everyOne = false);

    int answered() const { return m_answered; }

private:
    void look();

    const QMetaObject &m_kind;
    Answer m_answer;
    bool m_everyOne;
    QTimer m_timer;
    int m_answered = 0;
};
