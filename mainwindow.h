// The program's one window: port and file controls, the console and the progress of a download.
#pragma once

#include "comminterface.h"
#include "observer.h"

#include <QMainWindow>
#include <QString>

class Controller;
class QKeyEvent;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow, public Observer
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
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

protected:
    void keyReleaseEvent(QKeyEvent *event) override;

private:
    void openSerial();
    void readyForDownload();
    void setPortControlsEnabled(bool enabled);
    void warn(const QString &text);

    CommInterface *m_comm = nullptr;
    Controller *m_controller = nullptr;
    Ui::MainWindow *m_ui = nullptr;
    bool m_downloading = false;
};
