#include "settingsdialog.h"
#include "ui_settingsdialog.h"

#include "localsetting.h"
#include "transfersettings.h"

#include <QPushButton>
#include <cmath>

namespace {
using S = TransferSettings;
constexpr int MAX_LOG_LEVEL = 3;

int milliseconds(const QDoubleSpinBox *box)
{
    return int(std::lround(box->value() * 1000));
}
} // namespace

SettingsDialog::SettingsDialog(LocalSetting *settings, QWidget *parent)
    : QDialog(parent), m_ui(new Ui::SettingsDialog), m_settings(settings)
{
    m_ui->setupUi(this);
    TransferOptions packets;
    for (const auto plan : { TransferOptions::Mixed, TransferOptions::OneK }) {
        packets.packets = plan;
        m_ui->cb_packets->addItem(S::text(S::Packets, packets));
    }
    const std::pair<S::Setting, QDoubleSpinBox *> waits[] = { { S::ReplyTimeout, m_ui->sb_replyTimeout },
        { S::FirstReplyTimeout, m_ui->sb_firstReplyTimeout }, { S::StartTimeout, m_ui->sb_startTimeout } };
    for (const auto &[setting, box] : waits)
        box->setRange(S::minimum(setting), S::maximum(setting));
    m_ui->sb_retries->setRange(int(S::minimum(S::Retries)), int(S::maximum(S::Retries)));

    const TransferOptions defaults;
    const std::pair<S::Setting, QLabel *> hints[]
        = { { S::Packets, m_ui->lb_packetsHint }, { S::ReplyTimeout, m_ui->lb_replyTimeoutHint },
              { S::FirstReplyTimeout, m_ui->lb_firstReplyTimeoutHint },
              { S::StartTimeout, m_ui->lb_startTimeoutHint }, { S::Retries, m_ui->lb_retriesHint } };
    for (const auto &[setting, label] : hints)
        label->setText(tr("%1; default %2").arg(S::accepted(setting), S::text(setting, defaults)));

    connect(m_ui->buttonBox->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
        &SettingsDialog::slotRestoreDefaults);
    // A label that is a path would be ignored when the log is made: only a plain name can be taken.
    connect(m_ui->le_logLabel, &QLineEdit::textChanged, this, [this](const QString &label) {
        m_ui->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(LocalSetting::isPlainName(label));
    });

    showValues({ S::fromSettings(*settings), qBound(0, settings->getLogLevel(), MAX_LOG_LEVEL),
        settings->getLogStr() });
    // As the boxes show them, so that a value they round is not written back unless the operator changes it.
    m_opened = shownValues();
}

SettingsDialog::~SettingsDialog()
{
    delete m_ui;
}

void SettingsDialog::accept()
{
    const Values shown = shownValues();
    // The protocol is chosen in the window.
    for (int i = S::Packets; i < S::SettingCount; ++i) {
        const auto setting = S::Setting(i);
        const QString value = S::text(setting, shown.transfer);
        if (value != S::text(setting, m_opened.transfer))
            m_settings->setTransferValue(QLatin1String(S::key(setting)), value);
    }
    if (shown.logLevel != m_opened.logLevel)
        m_settings->setLogLevel(shown.logLevel);
    if (shown.logLabel != m_opened.logLabel)
        m_settings->setLogStr(shown.logLabel);
    QDialog::accept();
}

void SettingsDialog::slotRestoreDefaults()
{
    showValues(Values());
}

void SettingsDialog::showValues(const Values &values)
{
    m_ui->cb_packets->setCurrentIndex(values.transfer.packets);
    m_ui->sb_replyTimeout->setValue(values.transfer.replyTimeoutMs / 1000.0);
    m_ui->sb_firstReplyTimeout->setValue(values.transfer.firstReplyTimeoutMs / 1000.0);
    m_ui->sb_startTimeout->setValue(values.transfer.startTimeoutMs / 1000.0);
    m_ui->sb_retries->setValue(values.transfer.retries);
    m_ui->cb_logLevel->setCurrentIndex(values.logLevel);
    m_ui->le_logLabel->setText(values.logLabel);
}

SettingsDialog::Values SettingsDialog::shownValues() const
{
    Values values;
    values.transfer.packets = TransferOptions::Packets(m_ui->cb_packets->currentIndex());
    values.transfer.replyTimeoutMs = milliseconds(m_ui->sb_replyTimeout);
    values.transfer.firstReplyTimeoutMs = milliseconds(m_ui->sb_firstReplyTimeout);
    values.transfer.startTimeoutMs = milliseconds(m_ui->sb_startTimeout);
    values.transfer.retries = m_ui->sb_retries->value();
    values.logLevel = m_ui->cb_logLevel->currentIndex();
    values.logLabel = m_ui->le_logLabel->text();
    return values;
}
