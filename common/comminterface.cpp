#include "comminterface.h"

#include <QByteArray>
#include <cstdint>

CommInterface::CommInterface(QObject *parent) : QObject(parent)
{
    // Outcome reports and data cross threads in queued signals, which need these types by name.
    qRegisterMetaType<CommOperType>("CommOperType");
    qRegisterMetaType<int32_t>("int32_t");
    qRegisterMetaType<QByteArray>("QByteArray");
}

CommInterface::~CommInterface() = default;

void CommInterface::setModemLines(int, int)
{
    emit sigFailed(CommOperLines, QStringLiteral("this channel has no modem control lines"));
}
