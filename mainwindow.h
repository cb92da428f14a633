// The program's one window: port and file controls, the console and the progress of a download.
#pragma once

#include "comminterface.h"
#include "observer.h"
#include "portwatcher.h"
#include "uploadrequest.h"

#include <QMainWindow>
#include <QString>

class Controller;
class QDragEnterEvent;
class QDropEvent;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow, public Observer
{
    Q_OBJECT

public:
    // portSource lists the serial ports present (by default the system's), looked at every portPollMs while
    // the port is closed.
    explicit MainWindow(PortWatcher::Source portSource = {}, int portPollMs = PortWatcher::POLL_MS,
        QWidget *parent = nullptr);
    ~MainWindow() override;

    void onMessage(const QString &msg) override;
    void onDeviceText(const QByteArray &bytes) override;
    void onProgress(const TransferProgress &progress) override;
    void onUpdateEnd(const TransferOutcome &outcome) override;

public slots:
    void slotBtOpen(bool checked);
    void slotFailed(CommOperType type, const QString &strInfo);
    void slotSucc(CommOperType type);
    void slotBtRefresh(bool checked);
    void slotBrowse(bool checked);
    void slotBtUpdate(bool checked);
    void slotBtStopUpdate(bool checked);
    void slotPortsChanged(const QStringList &ports);
    void slotSendKeys(const QByteArray &bytes);
    void slotSettings();

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    // Failed: the port was lost (or would not close) and waits for the operator's Close.
    enum class PortState { Closed, Opening, Open, Closing, Failed };

    void updateControls();
    void restoreChoices();
    TransferOptions chosenOptions() const;
    void showRate(const QString &rate);
    int indexOfPort(const QString &portName) const;
    void warn(const QString &text);

    CommInterface *m_comm = nullptr;
    Controller *m_controller = nullptr;
    PortWatcher *m_ports = nullptr;
    Ui::MainWindow *m_ui = nullptr;
    PortState m_portState = PortState::Closed;
    bool m_downloading = false;
};
