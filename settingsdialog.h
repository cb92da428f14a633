// The transfer and log settings of config.ini in one dialog. It shows what the file says; OK writes only
// what the operator changed, so that edits made to the file by hand meanwhile stay. The next download uses
// the transfer settings; the logger takes its own at the next start.
#pragma once

#include "uploadrequest.h"

#include <QDialog>

class LocalSetting;

namespace Ui {
class SettingsDialog;
}

class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(LocalSetting *settings, QWidget *parent = nullptr);
    ~SettingsDialog() override;

    void accept() override;

private slots:
    void slotRestoreDefaults();

private:
    struct Values
    {
        TransferOptions transfer;
        int logLevel = 0;
        QString logLabel;
    };

    void showValues(const Values &values);
    Values shownValues() const;

    Ui::SettingsDialog *m_ui = nullptr;
    LocalSetting *m_settings = nullptr;
    Values m_opened;
};
