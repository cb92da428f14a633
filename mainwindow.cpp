#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "commserial.h"
#include "controller.h"

#include <QAction>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScrollBar>
#include <QTextCursor>

namespace {
// Enough to read back a whole download and the device's boot text without growing without bound.
constexpr int CONSOLE_MAX_PARAGRAPHS = 500;
const char DEFAULT_BAUD[] = "115200";
} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), m_ui(new Ui::MainWindow)
{
    m_ui->setupUi(this);
    connect(m_ui->bt_refresh, &QPushButton::clicked, this, &MainWindow::slotBtRefresh);

    m_comm = new CommSerial;

    auto *browse = new QAction(QIcon(QStringLiteral(":img/img/open.png")), QString(), this);
    m_ui->le_file->addAction(browse, QLineEdit::TrailingPosition);
    connect(browse, &QAction::triggered, this, &MainWindow::slotBrowse);

    connect(m_ui->bt_upload, &QPushButton::clicked, this, &MainWindow::slotBtUpdate);
    connect(m_ui->bt_stopUpdate, &QPushButton::clicked, this, &MainWindow::slotBtStopUpdate);
    connect(m_comm, &CommInterface::sigFailed, this, &MainWindow::slotFailed);
    connect(m_comm, &CommInterface::sigSucc, this, &MainWindow::slotSucc);
    connect(m_ui->bt_open, &QPushButton::clicked, this, &MainWindow::slotBtOpen);

    slotBtRefresh(false);

    m_controller = new Controller(m_comm);
    m_controller->addObserver(this);
    readyForDownload();

    m_ui->textBrowser->document()->setMaximumBlockCount(CONSOLE_MAX_PARAGRAPHS);
}

MainWindow::~MainWindow()
{
    delete m_ui;
    // The controller stops a running download at once and leaves its cancel sequence for the port, which
    // the channel writes out before it closes.
    delete m_controller;
    delete m_comm;
}

void MainWindow::slotBtOpen(bool checked)
{
    if (checked)
        openSerial();
    else
        m_comm->close();
}

void MainWindow::openSerial()
{
    const QString portName = m_ui->cb_names->currentText().section(QLatin1Char(':'), 0, 0);
    const int baud = m_ui->cb_bauds->currentText().toInt(nullptr, 10);
    m_comm->open(portName, baud);
}

void MainWindow::slotFailed(CommOperType type, const QString &strInfo)
{
    // The button flipped when it was clicked; put it back to what the port really is before the box goes up,
    // since reports that arrive while the box is shown must not be overwritten once it is dismissed.
    const bool stillOpen = type == CommOperClose;
    m_ui->bt_open->setChecked(stillOpen);
    m_ui->bt_open->setText(stillOpen ? tr("Close") : tr("Open"));
    warn(strInfo);
}

void MainWindow::slotSucc(CommOperType type)
{
    // Normally the button is already checked as requested; after a report that crossed a click it is not.
    const bool opened = type == CommOperOpen;
    m_ui->bt_open->setChecked(opened);
    setPortControlsEnabled(!opened);
    m_ui->bt_open->setText(opened ? tr("Close") : tr("Open"));
}

void MainWindow::setPortControlsEnabled(bool enabled)
{
    m_ui->bt_refresh->setEnabled(enabled);
    m_ui->cb_names->setEnabled(enabled);
    m_ui->cb_bauds->setEnabled(enabled);
}

void MainWindow::slotBtRefresh(bool)
{
    m_ui->cb_bauds->clear();
    m_ui->cb_bauds->addItems(
        { "4800", "9600", "19200", "38400", "57600", "115200", "128000", "230400", "256000" });
    m_ui->cb_bauds->setCurrentText(DEFAULT_BAUD);
    m_ui->cb_names->clear();
    m_ui->cb_names->addItems(m_comm->availablePorts());
}

void MainWindow::slotBrowse(bool)
{
    const QString path
        = QFileDialog::getOpenFileName(this, tr("Open File"), tr("./Bin/"), tr("bin Files (*.*)"));
    m_ui->le_file->setText(path);
}

void MainWindow::slotBtUpdate(bool)
{
    if (!m_ui->bt_open->isChecked()) {
        warn(tr("Serial port not open"));
        return;
    }
    const QString path = m_ui->le_file->text();
    if (path.isEmpty()) {
        warn(tr("Please choose to upgrade firmware"));
        return;
    }
    m_ui->bt_open->setEnabled(false);
    m_ui->bt_upload->setEnabled(false);
    m_controller->stopHandle();
    // The field may have been edited since the file was browsed: flash the file the operator sees.
    UploadRequest request;
    request.filePath = path;
    m_downloading = true;
    m_controller->startUpload(request);
}

void MainWindow::slotBtStopUpdate(bool)
{
    m_controller->stopHandle();
    // A download ends at once and reports its end; the monitor that was stopped instead is started again.
    if (!m_downloading)
        readyForDownload();
}

void MainWindow::onMessage(const QString &msg)
{
    // Device output is shown as it came: inserted as plain text, so markup in it is not rendered.
    QScrollBar *scrollBar = m_ui->textBrowser->verticalScrollBar();
    const bool atBottom = scrollBar->value() >= scrollBar->maximum();
    QTextDocument *document = m_ui->textBrowser->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    if (!document->isEmpty())
        cursor.insertBlock();
    cursor.insertText(msg);
    if (atBottom)
        scrollBar->setValue(scrollBar->maximum());
}

void MainWindow::onDeviceText(const QByteArray &bytes)
{
    onMessage(QString::fromLocal8Bit(bytes));
}

void MainWindow::onProgress(const TransferProgress &progress)
{
    m_ui->progressBar->setValue(progress.percent);
}

void MainWindow::onUpdateEnd(const TransferOutcome &)
{
    m_downloading = false;
    readyForDownload();
}

void MainWindow::readyForDownload()
{
    m_ui->bt_open->setEnabled(true);
    m_ui->bt_upload->setEnabled(true);
    m_ui->bt_stopUpdate->setEnabled(true);
    m_controller->startDataRecv();
}

void MainWindow::keyReleaseEvent(QKeyEvent *event)
{
    onMessage(QStringLiteral("INPUT:%1").arg(event->text()));
    m_controller->writeInput(event->text());
    QMainWindow::keyReleaseEvent(event);
}

void MainWindow::warn(const QString &text)
{
    QMessageBox::information(this, tr("Warn"), text, QMessageBox::Ok, QMessageBox::NoButton);
}
