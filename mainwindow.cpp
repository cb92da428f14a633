#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "commserial.h"
#include "controller.h"
#include "localsetting.h"
#include "progresstext.h"
#include "settingsdialog.h"
#include "transfersettings.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QIntValidator>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>

namespace {

const char DEFAULT_BAUD[] = "115200";

// "name:description" as the port list shows it; only the name is opened and remembered.
QString portNameOf(const QString &entry)
{
    return entry.section(QLatin1Char(':'), 0, 0);
}

// The first local file (not a folder) among what is dragged; empty when there is none.
QString droppedFile(const QMimeData *mime)
{
    for (const QUrl &url : mime->urls()) {
        if (url.isLocalFile() && !QFileInfo(url.toLocalFile()).isDir())
            return url.toLocalFile();
    }
    return QString();
}

} // namespace

MainWindow::MainWindow(PortWatcher::Source portSource, int portPollMs, QWidget *parent)
    : QMainWindow(parent), m_comm(new CommSerial), m_ui(new Ui::MainWindow)
{
    m_ui->setupUi(this);
    if (!portSource)
        portSource = [comm = m_comm] { return comm->availablePorts(); };
    m_ports = new PortWatcher(std::move(portSource), portPollMs, this);

    auto *browse = new QAction(QIcon(QStringLiteral(":img/img/open.png")), QString(), this);
    m_ui->le_file->addAction(browse, QLineEdit::TrailingPosition);
    // The form has no menu: the settings are in the right-click menus of the console and the protocol box.
    auto *settings = new QAction(tr("Settings…"), this);
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    m_ui->textBrowser->addAction(settings);
    m_ui->cb_protocol->addAction(settings);
    m_ui->cb_protocol->setContextMenuPolicy(Qt::ActionsContextMenu);
    // A file dropped anywhere on the window, the field included, becomes the file to flash.
    setAcceptDrops(true);
    m_ui->le_file->setAcceptDrops(false);

    connect(browse, &QAction::triggered, this, &MainWindow::slotBrowse);
    connect(settings, &QAction::triggered, this, &MainWindow::slotSettings);
    connect(m_ui->bt_refresh, &QPushButton::clicked, this, &MainWindow::slotBtRefresh);
    connect(m_ui->bt_upload, &QPushButton::clicked, this, &MainWindow::slotBtUpdate);
    connect(m_ui->bt_stopUpdate, &QPushButton::clicked, this, &MainWindow::slotBtStopUpdate);
    connect(m_ui->bt_open, &QPushButton::clicked, this, &MainWindow::slotBtOpen);
    connect(m_comm, &CommInterface::sigFailed, this, &MainWindow::slotFailed);
    connect(m_comm, &CommInterface::sigSucc, this, &MainWindow::slotSucc);
    connect(m_ports, &PortWatcher::sigPortsChanged, this, &MainWindow::slotPortsChanged);
    connect(m_ui->textBrowser, &Console::sigSend, this, &MainWindow::slotSendKeys);
    connect(m_ui->cb_names, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
        LocalSetting::instance()->setWindowPort(portNameOf(m_ui->cb_names->itemText(index)));
    });
    connect(m_ui->cb_bauds, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
        LocalSetting::instance()->setWindowBaud(m_ui->cb_bauds->itemText(index).toInt());
    });
    connect(m_ui->le_file, &QLineEdit::textChanged, this,
        [](const QString &path) { LocalSetting::instance()->setWindowFile(path); });
    // Written where kelpo-send reads it too.
    connect(m_ui->cb_protocol, QOverload<int>::of(&QComboBox::activated), this, [](int index) {
        TransferOptions chosen;
        chosen.protocol = TransferOptions::Protocol(index);
        LocalSetting::instance()->setTransferValue(
            QLatin1String(TransferSettings::key(TransferSettings::Protocol)),
            TransferSettings::text(TransferSettings::Protocol, chosen));
    });

    m_ui->cb_bauds->addItems({ "4800", "9600", "19200", "38400", "57600", "115200", "128000", "230400",
        "256000", "460800", "921600", "1000000", "1500000", "2000000", "3000000" });
    // Any rate an adapter may run can be typed; the port says when it cannot.
    m_ui->cb_bauds->setEditable(true);
    m_ui->cb_bauds->setValidator(
        new QIntValidator(CommInterface::MIN_BAUD, CommInterface::MAX_BAUD, m_ui->cb_bauds));
    showRate(QLatin1String(DEFAULT_BAUD));
    m_ui->cb_names->addItems(m_ports->ports());
    TransferOptions protocols;
    for (const auto protocol :
        { TransferOptions::YModem, TransferOptions::XModem, TransferOptions::XModem1K }) {
        protocols.protocol = protocol;
        m_ui->cb_protocol->addItem(TransferSettings::text(TransferSettings::Protocol, protocols).toUpper());
    }
    restoreChoices();
    m_ui->progressBar->setFormat(progressText(TransferProgress()));

    m_controller = new Controller(m_comm);
    m_controller->addObserver(this);
    m_controller->startDataRecv();
    updateControls();
}

MainWindow::~MainWindow()
{
    delete m_ui;
    // The controller stops a running download at once and leaves its cancel sequence for the port, which
    // the channel writes out before it closes.
    delete m_controller;
    delete m_comm;
}

// A port that is gone is simply not selected; a rate that is not offered leaves the default.
void MainWindow::restoreChoices()
{
    const LocalSetting *setting = LocalSetting::instance();
    const QString port = setting->getWindowPort();
    const int baud = setting->getWindowBaud();
    const QString file = setting->getWindowFile();
    const int portIndex = indexOfPort(port);
    if (portIndex >= 0)
        m_ui->cb_names->setCurrentIndex(portIndex);
    if (baud > 0)
        showRate(QString::number(baud));
    m_ui->le_file->setText(file);
    m_ui->cb_protocol->setCurrentIndex(TransferSettings::fromSettings(*setting).protocol);
}

// The transfer settings of config.ini, with the protocol shown beside Download whatever the file says by now.
TransferOptions MainWindow::chosenOptions() const
{
    TransferOptions options = TransferSettings::fromSettings(*LocalSetting::instance());
    options.protocol = TransferOptions::Protocol(m_ui->cb_protocol->currentIndex());
    return options;
}

// An editable box only shows a text it is given; a listed rate must be selected, so that the arrow keys move
// on from it.
void MainWindow::showRate(const QString &rate)
{
    const int index = m_ui->cb_bauds->findText(rate);
    if (index >= 0)
        m_ui->cb_bauds->setCurrentIndex(index);
    else
        m_ui->cb_bauds->setEditText(rate);
}

int MainWindow::indexOfPort(const QString &portName) const
{
    for (int i = 0; i < m_ui->cb_names->count(); ++i) {
        if (!portName.isEmpty() && portNameOf(m_ui->cb_names->itemText(i)) == portName)
            return i;
    }
    return -1;
}

// Every control's enabled state, from the port's state and whether a download runs.
void MainWindow::updateControls()
{
    const bool closed = m_portState == PortState::Closed;
    const bool open = m_portState == PortState::Open;
    m_ui->bt_open->setChecked(m_portState == PortState::Opening || open || m_portState == PortState::Failed);
    m_ui->bt_open->setText(closed || m_portState == PortState::Opening ? tr("Open") : tr("Close"));
    m_ui->bt_open->setEnabled(!m_downloading);
    m_ui->bt_refresh->setEnabled(closed);
    m_ui->cb_names->setEnabled(closed);
    m_ui->cb_bauds->setEnabled(closed);
    m_ui->bt_upload->setEnabled(open && !m_downloading);
    m_ui->bt_stopUpdate->setEnabled(m_downloading);
    m_ui->cb_protocol->setEnabled(!m_downloading);
    // Keys typed during a download would go into the middle of its packets.
    m_ui->textBrowser->setInputEnabled(open && !m_downloading);
    m_ports->setWatching(closed);
}

void MainWindow::slotBtOpen(bool checked)
{
    if (!checked) {
        m_portState = PortState::Closing;
        updateControls();
        m_comm->close();
        return;
    }
    if (m_ui->cb_names->currentIndex() < 0) {
        m_ui->bt_open->setChecked(false);
        warn(tr("No serial port to open: none is there."));
        return;
    }
    const QString portName = portNameOf(m_ui->cb_names->currentText());
    const int baud = m_ui->cb_bauds->currentText().toInt();
    // The port and rate opened are the operator's choice, even when left as they were shown.
    LocalSetting::instance()->setWindowPort(portName);
    LocalSetting::instance()->setWindowBaud(baud);
    m_portState = PortState::Opening;
    updateControls();
    m_comm->open(portName, baud);
}

void MainWindow::slotFailed(CommOperType type, const QString &strInfo)
{
    // The window shows what the port really is before the box goes up, since reports that arrive while the
    // box is shown must not be overwritten once it is dismissed.
    m_portState = type == CommOperClose ? PortState::Failed : PortState::Closed;
    updateControls();
    warn(strInfo);
}

void MainWindow::slotSucc(CommOperType type)
{
    m_portState = type == CommOperOpen ? PortState::Open : PortState::Closed;
    updateControls();
}

void MainWindow::slotBtRefresh(bool)
{
    showRate(QLatin1String(DEFAULT_BAUD));
    m_ports->slotLook();
}

// Keeps the port shown when it is still there.
void MainWindow::slotPortsChanged(const QStringList &ports)
{
    const QString shown = portNameOf(m_ui->cb_names->currentText());
    m_ui->cb_names->clear();
    m_ui->cb_names->addItems(ports);
    const int index = indexOfPort(shown);
    if (index >= 0)
        m_ui->cb_names->setCurrentIndex(index);
}

void MainWindow::slotBrowse(bool)
{
    // Firmware files often have no extension (zImage, u-boot): every file is offered.
    const QString path
        = QFileDialog::getOpenFileName(this, tr("Open File"), tr("./Bin/"), tr("All files (*)"));
    if (!path.isEmpty())
        m_ui->le_file->setText(path);
}

void MainWindow::slotBtUpdate(bool)
{
    // The field may have been edited since the file was browsed: flash the file the operator sees.
    const QString path = m_ui->le_file->text();
    if (path.isEmpty()) {
        warn(tr("Please choose to upgrade firmware"));
        return;
    }
    m_downloading = true;
    updateControls();
    m_ui->progressBar->setFormat(progressText(TransferProgress()));
    m_ui->progressBar->setValue(0);
    m_controller->stopHandle();
    const TransferOptions options = chosenOptions();
    // The session's log then says how the file went.
    m_ui->textBrowser->appendOwnLine(tr("[info]Sending with %1.").arg(TransferSettings::describe(options)));
    m_controller->startUpload({ path, options });
}

void MainWindow::slotBtStopUpdate(bool)
{
    // The download ends at once and reports its end, which brings the window back.
    m_controller->stopHandle();
}

void MainWindow::slotSendKeys(const QByteArray &bytes)
{
    if (!m_comm->writeData(bytes.constData(), bytes.size()))
        m_ui->textBrowser->appendOwnLine(
            tr("[info]The serial port did not take the %1 bytes typed or pasted: they were not sent.")
                .arg(bytes.size()));
}

void MainWindow::slotSettings()
{
    SettingsDialog dialog(LocalSetting::instance(), this);
    dialog.exec();
}

void MainWindow::onMessage(const QString &msg)
{
    m_ui->textBrowser->appendOwnLine(msg);
}

void MainWindow::onDeviceText(const QByteArray &bytes)
{
    m_ui->textBrowser->appendDeviceBytes(bytes);
}

void MainWindow::onProgress(const TransferProgress &progress)
{
    m_ui->progressBar->setFormat(progressText(progress));
    m_ui->progressBar->setValue(progress.percent);
}

void MainWindow::onUpdateEnd(const TransferOutcome &outcome)
{
    m_downloading = false;
    m_ui->progressBar->setFormat(outcomeText(outcome));
    if (outcome.completed())
        m_ui->progressBar->setValue(100);
    updateControls();
    m_controller->startDataRecv();
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!droppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QString path = droppedFile(event->mimeData());
    if (path.isEmpty())
        return;
    m_ui->le_file->setText(path);
    event->acceptProposedAction();
}

void MainWindow::warn(const QString &text)
{
    QMessageBox::information(this, tr("Warn"), text, QMessageBox::Ok, QMessageBox::NoButton);
}
