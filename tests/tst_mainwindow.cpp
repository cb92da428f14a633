#include "handlethread.h"
#include "mainwindow.h"
#include "ptypair.h"
#include "randombytes.h"
#include "rbreceiver.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QToolBar>
#include <QToolButton>
#include <QtEndian>
#include <QtTest>
#include <atomic>
#include <functional>
#include <memory>

namespace {
// How long a whole download through rb may take, even on a loaded machine under the sanitizers.
constexpr int TRANSFER_TIMEOUT_MS = 30000;
// How long closing the window may take and still count as prompt: well under the session's 10 s reply wait.
constexpr qint64 PROMPT_MS = 5000;
constexpr int MODAL_POLL_MS = 5;
const QChar FULL_WIDTH_COLON(0xFF1A);
const char PREPARE_LINE[] = "[info]Prepare to establish a connection.";
const char COMPLETED_LINE[] = "[info]Update process completed.";
const char CANCELLED_LINE[] = "[info]Cancel the update.";

// Qt's offscreen platform never deletes its screen; held here, the screen counts as still in use at exit
// instead of showing up in the sanitizer's leak report.
QScreen *volatile offscreenScreen = nullptr;

// Answers modal widgets of one kind from inside their own event loop, as an operator would: the first one
// only, or every one while it lives.
class ModalAnswerer : public QObject
{
public:
    using Answer = std::function<void(QWidget *modal)>;

    ModalAnswerer(const QMetaObject &kind, Answer answer, bool everyOne = false)
        : m_kind(kind), m_answer(std::move(answer)), m_everyOne(everyOne)
    {
        connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::look);
        m_timer.start(MODAL_POLL_MS);
    }

    int answered() const { return m_answered; }

private:
    void look()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || !m_kind.cast(modal))
            return;
        ++m_answered;
        if (!m_everyOne)
            m_timer.stop();
        m_answer(modal);
    }

    const QMetaObject &m_kind;
    Answer m_answer;
    bool m_everyOne;
    QTimer m_timer;
    int m_answered = 0;
};

// What a message box said, and what the window showed while it was up.
struct Warning
{
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QString stateWhileShown;
};

// What the file dialog offered; the answer is a path typed into its name field, or an empty path to cancel.
struct DialogSeen
{
    QString title;
    QString directory;
    QStringList filters;
};

std::unique_ptr<ModalAnswerer> answerFileDialog(const QString &path, DialogSeen *seen)
{
    return std::make_unique<ModalAnswerer>(QFileDialog::staticMetaObject, [path, seen](QWidget *modal) {
        auto *dialog = static_cast<QFileDialog *>(modal);
        seen->title = dialog->windowTitle();
        seen->directory = dialog->directory().absolutePath();
        seen->filters = dialog->nameFilters();
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (path.isEmpty() || !name) {
            dialog->reject();
            return;
        }
        name->setText(path);
        QTest::keyClick(name, Qt::Key_Return);
    });
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QSet<QString> threadIds()
{
    const QStringList ids
        = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return QSet<QString>(ids.begin(), ids.end());
}

// The window with its widgets found by object name, and what the tests read back from them.
class WindowUnderTest
{
public:
    MainWindow window;
    QTextBrowser *const console = find<QTextBrowser>("textBrowser");
    QComboBox *const names = find<QComboBox>("cb_names");
    QComboBox *const bauds = find<QComboBox>("cb_bauds");
    QPushButton *const refresh = find<QPushButton>("bt_refresh");
    QPushButton *const open = find<QPushButton>("bt_open");
    QLineEdit *const file = find<QLineEdit>("le_file");
    QPushButton *const upload = find<QPushButton>("bt_upload");
    QPushButton *const stop = find<QPushButton>("bt_stopUpdate");
    QProgressBar *const progress = find<QProgressBar>("progressBar");
    // Every message box the window shows gets its Ok; what it said is kept here.
    QList<Warning> warnings;

    bool complete() const
    {
        return console && names && bauds && refresh && open && file && upload && stop && progress;
    }

    QStringList consoleLines() const { return console->toPlainText().split(QLatin1Char('\n')); }
    bool consoleHas(const QString &line) const { return consoleLines().contains(line); }

    void choosePort(const QString &entry)
    {
        names->addItem(entry);
        names->setCurrentText(entry);
    }

    // The widgets' state in the words of the window's state table.
    QString state() const
    {
        const auto enabled
            = [](bool on) { return on ? QStringLiteral("enabled") : QStringLiteral("disabled"); };
        const bool portControls = refresh->isEnabled();
        const QString port = portControls == names->isEnabled() && portControls == bauds->isEnabled()
            ? enabled(portControls)
            : QStringLiteral("mixed");
        return QStringLiteral("%1 \"%2\" %3; port controls %4; Download %5; Cancel %6")
            .arg(open->isChecked() ? QStringLiteral("checked") : QStringLiteral("unchecked"), open->text(),
                enabled(open->isEnabled()), port, enabled(upload->isEnabled()), enabled(stop->isEnabled()));
    }

private:
    template<typename T> T *find(const char *name) { return window.findChild<T *>(QLatin1String(name)); }

    ModalAnswerer m_warningAnswerer { QMessageBox::staticMetaObject,
        [this](QWidget *modal) {
            auto *box = static_cast<QMessageBox *>(modal);
            warnings.append({ box->windowTitle(), box->text(), box->standardButtons(), state() });
            box->button(QMessageBox::Ok)->click();
        },
        true };
};

const QString CLOSED
    = QStringLiteral("unchecked \"Open\" enabled; port controls enabled; Download enabled; Cancel enabled");
const QString OPENING
    = QStringLiteral("checked \"Open\" enabled; port controls enabled; Download enabled; Cancel enabled");
const QString OPEN
    = QStringLiteral("checked \"Close\" enabled; port controls disabled; Download enabled; Cancel enabled");
const QString CLOSING
    = QStringLiteral("unchecked \"Close\" enabled; port controls disabled; Download enabled; Cancel enabled");
const QString TRANSFERRING
    = QStringLiteral("checked \"Close\" disabled; port controls disabled; Download disabled; Cancel enabled");
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void formTexts_data();
    void formTexts();
    void formWidgets();
    void formIcons();
    void consoleStyle();
    void comboBoxesShareExtraWidth();

    void startsClosedWithPortsAndBaudRates();
    void refreshResetsBaudRate();
    void portStatesFollowRequests();
    void openFailureShowsPortError();
    void failedRequestRestoresButton_data();
    void failedRequestRestoresButton();
    void reportDuringWarningWins();
    void downloadChecks_data();
    void downloadChecks();
    void cancelWhileIdleRestartsMonitor();
    void keyReleaseEchoesAndSends();
    void consoleKeepsLastParagraphs();
    void consoleShowsMarkupAsText();
    void cancellingFileDialogEmptiesField();

    void operatorDownloads();
    void downloadAfterCancelStarts();
    void editedPathIsFlashed();
    void lostPortEndsDownloadAndReopens();
    void closingDuringTransferIsPrompt_data();
    void closingDuringTransferIsPrompt();

private:
    QString firmwarePath(const char *name) const { return m_work.filePath(QStringLiteral("Bin/") + name); }
    void openPort(WindowUnderTest &u, const QString &entry);
    void closePort(WindowUnderTest &u);
    void closeVanishedPort(WindowUnderTest &u);
    void browse(WindowUnderTest &u, const QString &path);
    void pressDownload(WindowUnderTest &u);
    void startDownload(WindowUnderTest &u, RbReceiver &rb);
    void download(WindowUnderTest &u, const QString &path);
    void deviceSays(WindowUnderTest &u, const QByteArray &text, const QString &lastLine);

    QTemporaryDir m_work;
    QString m_previousDir;
    QByteArray m_firmwareA = randomBytes(100 * 1024 + 1, 1);
    QByteArray m_firmwareB = randomBytes(37 * 1024 + 300, 2);
    QByteArray m_firmwareBig = randomBytes(2 * 1024 * 1024, 3);
};

void TestMainWindow::initTestCase()
{
    offscreenScreen = QGuiApplication::primaryScreen();
    // The file dialog starts in ./Bin/, so the tests work in a folder of their own that has one.
    QVERIFY(m_work.isValid());
    QVERIFY(QDir(m_work.path()).mkdir(QStringLiteral("Bin")));
    const QList<QPair<const char *, QByteArray>> files = { { "firmware-a.bin", m_firmwareA },
        { "firmware-b.bin", m_firmwareB }, { "firmware-big.bin", m_firmwareBig } };
    for (const auto &entry : files) {
        QFile file(firmwarePath(entry.first));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(entry.second), qint64(entry.second.size()));
    }
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_work.path()));
}

void TestMainWindow::cleanupTestCase()
{
    QDir::setCurrent(m_previousDir);
}

void TestMainWindow::openPort(WindowUnderTest &u, const QString &entry)
{
    const int warningsBefore = u.warnings.size();
    u.choosePort(entry);
    QTest::mouseClick(u.open, Qt::LeftButton);
    QTRY_VERIFY2(u.state() == OPEN || u.warnings.size() > warningsBefore, qPrintable(u.state()));
    QCOMPARE(u.warnings.size(), warningsBefore);
}

void TestMainWindow::closePort(WindowUnderTest &u)
{
    const int warningsBefore = u.warnings.size();
    QTest::mouseClick(u.open, Qt::LeftButton);
    QTRY_VERIFY2(u.state() == CLOSED || u.warnings.size() > warningsBefore, qPrintable(u.state()));
    QCOMPARE(u.warnings.size(), warningsBefore);
}

// rb exits, and its pseudo-terminal goes, as soon as it has the file. The window may then have reported the
// port as lost, or may report so now, showing the port still open; the operator then clicks again.
void TestMainWindow::closeVanishedPort(WindowUnderTest &u)
{
    const int warningsBefore = u.warnings.size();
    QTest::mouseClick(u.open, Qt::LeftButton);
    QTRY_VERIFY2(u.state() == CLOSED || (u.warnings.size() > warningsBefore && u.state() == OPEN),
        qPrintable(u.state()));
    if (u.state() == OPEN)
        closePort(u);
    for (const Warning &warning : u.warnings) {
        QCOMPARE(warning.title, QStringLiteral("Warn"));
        QVERIFY(!warning.text.isEmpty());
    }
}

void TestMainWindow::browse(WindowUnderTest &u, const QString &path)
{
    QList<QAction *> actions = u.file->actions();
    QCOMPARE(actions.size(), 1);
    DialogSeen seen;
    const auto answerer = answerFileDialog(path, &seen);
    // The action shows as a button inside the field; clicking it is what the operator does.
    auto *button = u.file->findChild<QToolButton *>();
    if (button && button->isVisible())
        QTest::mouseClick(button, Qt::LeftButton);
    else
        actions.first()->trigger();
    QCOMPARE(answerer->answered(), 1);
    QCOMPARE(seen.title, QStringLiteral("Open File"));
    QCOMPARE(seen.directory, QDir(m_work.filePath(QStringLiteral("Bin"))).absolutePath());
    QCOMPARE(seen.filters, QStringList { QStringLiteral("bin Files (*.*)") });
    QCOMPARE(u.file->text(), path);
}

// Presses Download and waits until the session waits for its receiver.
void TestMainWindow::pressDownload(WindowUnderTest &u)
{
    const int linesBefore = u.consoleLines().count(QLatin1String(PREPARE_LINE));
    QTest::mouseClick(u.upload, Qt::LeftButton);
    QCOMPARE(u.state(), TRANSFERRING);
    QTRY_COMPARE(u.consoleLines().count(QLatin1String(PREPARE_LINE)), linesBefore + 1);
}

// Presses Download with rb on the far end and lets rb begin once the session waits for it.
void TestMainWindow::startDownload(WindowUnderTest &u, RbReceiver &rb)
{
    pressDownload(u);
    QVERIFY(!QTest::currentTestFailed());
    rb.release();
}

// One whole download of the file at path to a fresh rb, through the window's own controls.
void TestMainWindow::download(WindowUnderTest &u, const QString &path)
{
    RbReceiver rb;
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    openPort(u, rb.portPath());
    QVERIFY(!QTest::currentTestFailed());
    browse(u, path);
    QVERIFY(!QTest::currentTestFailed());
    startDownload(u, rb);
    QVERIFY(!QTest::currentTestFailed());
    QTRY_VERIFY2_WITH_TIMEOUT(u.upload->isEnabled(), rb.diagnostics().constData(), TRANSFER_TIMEOUT_MS);
    QVERIFY2(rb.waitForFinished(), rb.diagnostics().constData());
    QCOMPARE(readFile(QDir(rb.receiveDir()).filePath(QFileInfo(path).fileName())), readFile(path));
}

// Opens a port to a device that prints text, and closes it once the text is in the console.
void TestMainWindow::deviceSays(WindowUnderTest &u, const QByteArray &text, const QString &lastLine)
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    openPort(u, device.slavePath());
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(device.write(text));
    QTRY_VERIFY(u.consoleHas(lastLine));
    closePort(u);
}

void TestMainWindow::formTexts_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QString>("text");

    QTest::newRow("title") << "MainWindow"
                           << "windowTitle"
                           << "KELPO Downloader";
    QTest::newRow("port label") << "label"
                                << "text" << QStringLiteral("Serial") + FULL_WIDTH_COLON;
    QTest::newRow("baud label") << "label_2"
                                << "text" << QStringLiteral("Baud Rate") + FULL_WIDTH_COLON;
    QTest::newRow("file label") << "label_3"
                                << "text" << QStringLiteral("File") + FULL_WIDTH_COLON;
    QTest::newRow("refresh") << "bt_refresh"
                             << "text"
                             << "Refresh";
    QTest::newRow("open") << "bt_open"
                          << "text"
                          << "Open";
    QTest::newRow("download") << "bt_upload"
                              << "text"
                              << "Download";
    QTest::newRow("cancel") << "bt_stopUpdate"
                            << "text"
                            << "Cancel";
    QTest::newRow("console placeholder") << "textBrowser"
                                         << "placeholderText"
                                         << "";
    QTest::newRow("file field") << "le_file"
                                << "text"
                                << "";
}

void TestMainWindow::formTexts()
{
    QFETCH(QString, objectName);
    QFETCH(QString, property);
    QFETCH(QString, text);

    MainWindow window;
    QObject *object = objectName == window.objectName() ? &window : window.findChild<QObject *>(objectName);
    QVERIFY2(object, qPrintable(objectName));
    const QVariant value = object->property(property.toLatin1().constData());
    QVERIFY(value.isValid());
    QCOMPARE(value.toString(), text);
}

void TestMainWindow::formWidgets()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    QCOMPARE(u.window.size(), QSize(591, 400));
    QVERIFY(!u.window.findChild<QMenuBar *>());
    QVERIFY(!u.window.findChild<QToolBar *>());
    QVERIFY(!u.window.findChild<QStatusBar *>());

    // Top to bottom: console, port row, file row, progress bar; every widget a child of the central widget.
    auto *central = u.window.centralWidget();
    QCOMPARE(central->objectName(), QStringLiteral("centralWidget"));
    auto *grid = qobject_cast<QGridLayout *>(central->layout());
    QVERIFY(grid);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    QCOMPARE(grid->spacing(), 6);
    QCOMPARE(grid->contentsMargins(), QMargins(11, 11, 11, 11));
    auto *column = qobject_cast<QVBoxLayout *>(grid->itemAtPosition(0, 0)->layout());
    QVERIFY(column);
    QCOMPARE(column->objectName(), QStringLiteral("verticalLayout"));
    QCOMPARE(column->count(), 4);
    QCOMPARE(column->itemAt(0)->widget(), u.console);
    QCOMPARE(column->itemAt(1)->layout()->objectName(), QStringLiteral("horizontalLayout"));
    QCOMPARE(column->itemAt(2)->layout()->objectName(), QStringLiteral("horizontalLayout_2"));
    QCOMPARE(column->itemAt(3)->widget(), u.progress);

    const QList<QPair<QBoxLayout *, QStringList>> rows = {
        { qobject_cast<QBoxLayout *>(column->itemAt(1)->layout()),
            { "label", "cb_names", "label_2", "cb_bauds", "bt_refresh", "bt_open" } },
        { qobject_cast<QBoxLayout *>(column->itemAt(2)->layout()),
            { "label_3", "le_file", "bt_upload", "bt_stopUpdate" } },
    };
    for (const auto &row : rows) {
        QVERIFY(row.first);
        QCOMPARE(row.first->spacing(), 6);
        QStringList names;
        for (int i = 0; i < row.first->count(); ++i) {
            names << row.first->itemAt(i)->widget()->objectName();
            QCOMPARE(row.first->itemAt(i)->widget()->parentWidget(), central);
        }
        QCOMPARE(names, row.second);
    }
    QBoxLayout *portRow = rows.first().first;
    const QList<int> portStretch = { 0, 1, 0, 1, 0, 0 };
    for (int i = 0; i < portStretch.size(); ++i)
        QCOMPARE(portRow->stretch(i), portStretch.at(i));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(rows.last().first->stretch(i), 0);

    QVERIFY(u.console->isReadOnly());
    QVERIFY(u.console->toPlainText().isEmpty());
    QVERIFY(!u.names->isEditable());
    QVERIFY(!u.bauds->isEditable());
    QVERIFY(u.open->isCheckable());
    QVERIFY(!u.open->isChecked());
    QVERIFY(!u.refresh->isCheckable());
    QVERIFY(!u.upload->isCheckable());
    QVERIFY(!u.stop->isCheckable());
    QVERIFY(!u.file->isReadOnly());
    QCOMPARE(u.progress->minimum(), 0);
    QCOMPARE(u.progress->maximum(), 100);
    QCOMPARE(u.progress->value(), 0);
    QCOMPARE(u.progress->alignment(), Qt::AlignCenter);
}

void TestMainWindow::formIcons()
{
    WindowUnderTest u;
    QVERIFY(u.complete());

    const QIcon windowIcon = u.window.windowIcon();
    QVERIFY(!windowIcon.isNull());
    QCOMPARE(windowIcon.availableSizes(), QList<QSize> { QSize(24, 24) });
    QCOMPARE(u.upload->icon().cacheKey(), windowIcon.cacheKey());

    const QList<QAction *> actions = u.file->actions();
    QCOMPARE(actions.size(), 1);
    QCOMPARE(actions.first()->icon().availableSizes(), QList<QSize> { QSize(42, 32) });

    // The folder is orange: its opaque pixels are mostly red and green, with little blue.
    const QImage folder(QStringLiteral(":/img/img/open.png"));
    QCOMPARE(folder.size(), QSize(42, 32));
    QVERIFY(folder.hasAlphaChannel());
    int orange = 0;
    int opaque = 0;
    for (int y = 0; y < folder.height(); ++y) {
        for (int x = 0; x < folder.width(); ++x) {
            const QColor c = folder.pixelColor(x, y);
            if (c.alpha() < 255)
                continue;
            ++opaque;
            orange += c.red() > 200 && c.green() > 90 && c.green() < c.red() && c.blue() < c.green() ? 1 : 0;
        }
    }
    QVERIFY(opaque > folder.width() * folder.height() / 2);
    QVERIFY2(orange > opaque * 3 / 4, qPrintable(QStringLiteral("%1 of %2").arg(orange).arg(opaque)));

    // The download glyph, in the PNG and inside the icon file: grey, on a transparent ground.
    QFile icoFile(QStringLiteral(":/img/img/update.ico"));
    QVERIFY(icoFile.open(QIODevice::ReadOnly));
    const QByteArray ico = icoFile.readAll();
    QVERIFY(ico.size() > 22);
    const auto u16 = [&ico](int at) { return qFromLittleEndian<quint16>(ico.constData() + at); };
    const auto u32 = [&ico](int at) { return qFromLittleEndian<quint32>(ico.constData() + at); };
    QCOMPARE(u16(0), quint16(0));
    QCOMPARE(u16(2), quint16(1));
    QCOMPARE(u16(4), quint16(1));
    QCOMPARE(quint8(ico.at(6)), quint8(200));
    QCOMPARE(quint8(ico.at(7)), quint8(200));
    QCOMPARE(u32(18), quint32(22));
    QCOMPARE(u32(14), quint32(ico.size() - 22));
    QVERIFY(ico.mid(22).startsWith("\x89PNG\r\n\x1a\n"));

    const QList<QPair<QImage, QSize>> glyphs = {
        { QImage(QStringLiteral(":/img/img/update.png")), QSize(24, 24) },
        { QImage::fromData(ico.mid(22), "PNG"), QSize(200, 200) },
    };
    for (const auto &glyph : glyphs) {
        QCOMPARE(glyph.first.size(), glyph.second);
        QVERIFY(glyph.first.hasAlphaChannel());
        QVERIFY(glyph.first.allGray());
        int clear = 0;
        int solid = 0;
        for (int y = 0; y < glyph.first.height(); ++y) {
            for (int x = 0; x < glyph.first.width(); ++x) {
                const int alpha = qAlpha(glyph.first.pixel(x, y));
                clear += alpha == 0 ? 1 : 0;
                solid += alpha == 255 ? 1 : 0;
            }
        }
        QVERIFY(clear > 0);
        QVERIFY(solid > 0);
    }
}

void TestMainWindow::consoleStyle()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    const QString expected = QStringLiteral("background-color: rgb(0, 0, 0);\n"
                                            "font: 12pt \"Consolas\";\n"
                                            "color: rgb(255, 255, 255);");
    QCOMPARE(expected.size(), 81);
    QCOMPARE(u.console->styleSheet(), expected);
}

void TestMainWindow::comboBoxesShareExtraWidth()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    u.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&u.window));

    const QList<QWidget *> fixed = { u.window.findChild<QLabel *>(QStringLiteral("label")),
        u.window.findChild<QLabel *>(QStringLiteral("label_2")),
        u.window.findChild<QLabel *>(QStringLiteral("label_3")), u.refresh, u.open, u.upload, u.stop };
    const auto widths = [&fixed]() {
        QList<int> list;
        for (QWidget *widget : fixed)
            list << widget->width();
        return list;
    };
    const QList<int> fixedBefore = widths();
    const int namesBefore = u.names->width();
    const int baudsBefore = u.bauds->width();
    const int fileBefore = u.file->width();

    const int extra = 400;
    u.window.resize(u.window.width() + extra, u.window.height());
    QTRY_VERIFY(u.file->width() > fileBefore);

    const int namesGain = u.names->width() - namesBefore;
    const int baudsGain = u.bauds->width() - baudsBefore;
    QVERIFY(qAbs(namesGain - baudsGain) <= 1);
    QVERIFY(qAbs(namesGain + baudsGain - extra) <= 1);
    QCOMPARE(u.file->width() - fileBefore, extra);
    QCOMPARE(widths(), fixedBefore);
}

void TestMainWindow::startsClosedWithPortsAndBaudRates()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    QCOMPARE(u.state(), CLOSED);

    QStringList bauds;
    for (int i = 0; i < u.bauds->count(); ++i)
        bauds << u.bauds->itemText(i);
    QCOMPARE(bauds,
        QStringList({ "4800", "9600", "19200", "38400", "57600", "115200", "128000", "230400", "256000" }));
    QCOMPARE(u.bauds->currentText(), QStringLiteral("115200"));

    QStringList expectedPorts;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        expectedPorts << info.portName() + QLatin1Char(':') + info.description();
    QStringList ports;
    for (int i = 0; i < u.names->count(); ++i)
        ports << u.names->itemText(i);
    QCOMPARE(ports, expectedPorts);
    QCOMPARE(u.names->currentIndex(), expectedPorts.isEmpty() ? -1 : 0);
}

void TestMainWindow::refreshResetsBaudRate()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    const int ports = u.names->count();
    u.bauds->setCurrentText(QStringLiteral("9600"));
    u.choosePort(QStringLiteral("/dev/kelpo-test-port:added by hand"));
    QCOMPARE(u.names->count(), ports + 1);

    QTest::mouseClick(u.refresh, Qt::LeftButton);
    QCOMPARE(u.bauds->currentText(), QStringLiteral("115200"));
    QCOMPARE(u.bauds->count(), 9);
    QCOMPARE(u.names->count(), ports);
    QCOMPARE(u.names->findText(QStringLiteral("/dev/kelpo-test-port:added by hand")), -1);
}

void TestMainWindow::portStatesFollowRequests()
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    WindowUnderTest u;
    QVERIFY(u.complete());
    u.file->setText(firmwarePath("firmware-a.bin"));

    // The text after the colon is the port's description; only what comes before it is opened.
    u.choosePort(device.slavePath() + QStringLiteral(":pseudo terminal"));
    QTest::mouseClick(u.open, Qt::LeftButton);
    QCOMPARE(u.state(), OPENING);
    QTRY_COMPARE(u.state(), OPEN);
    QVERIFY(!device.isSlaveClosed());

    pressDownload(u);
    QVERIFY(!QTest::currentTestFailed());

    // The window is back at once; the session takes the stop at its next wake-up.
    QTest::mouseClick(u.stop, Qt::LeftButton);
    QCOMPARE(u.state(), OPEN);
    QVERIFY(device.write("?"));
    QTRY_VERIFY(u.consoleHas(QLatin1String(CANCELLED_LINE)));
    QCOMPARE(device.read(5), QByteArray(5, '\x18'));

    QTest::mouseClick(u.open, Qt::LeftButton);
    QCOMPARE(u.state(), CLOSING);
    QTRY_COMPARE(u.state(), CLOSED);
    QTRY_VERIFY(device.isSlaveClosed());
}

void TestMainWindow::openFailureShowsPortError()
{
    const QString missing = m_work.filePath(QStringLiteral("no-such-port"));
    QSerialPort reference(missing);
    QVERIFY(!reference.open(QIODevice::ReadWrite));

    WindowUnderTest u;
    QVERIFY(u.complete());
    u.choosePort(missing);
    QTest::mouseClick(u.open, Qt::LeftButton);
    QTRY_COMPARE(u.warnings.size(), 1);
    QCOMPARE(u.warnings.first().title, QStringLiteral("Warn"));
    QCOMPARE(u.warnings.first().text, reference.errorString());
    QCOMPARE(u.warnings.first().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(u.state(), CLOSED);
}

void TestMainWindow::failedRequestRestoresButton_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<bool>("checkedBefore");
    QTest::addColumn<QString>("stateAfter");

    QTest::newRow("open") << int(CommOperOpen) << true << CLOSED;
    QTest::newRow("close") << int(CommOperClose) << false << OPEN;
}

void TestMainWindow::failedRequestRestoresButton()
{
    QFETCH(int, operation);
    QFETCH(bool, checkedBefore);
    QFETCH(QString, stateAfter);

    WindowUnderTest u;
    QVERIFY(u.complete());
    if (operation == CommOperClose)
        u.window.slotSucc(CommOperOpen);
    u.open->setChecked(checkedBefore);

    // The button shows the port as it is before the box goes up, so a report that arrives meanwhile wins.
    u.window.slotFailed(CommOperType(operation), QStringLiteral("the port's own words"));
    QCOMPARE(u.warnings.size(), 1);
    QCOMPARE(u.warnings.first().title, QStringLiteral("Warn"));
    QCOMPARE(u.warnings.first().text, QStringLiteral("the port's own words"));
    QCOMPARE(u.warnings.first().stateWhileShown, stateAfter);
    QCOMPARE(u.state(), stateAfter);
}

void TestMainWindow::reportDuringWarningWins()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    u.window.slotSucc(CommOperOpen);
    u.open->setChecked(true);

    // The port is lost (reported as a failed close) just as the operator's own close is answered.
    u.open->setChecked(false);
    QMetaObject::invokeMethod(
        &u.window, [&u] { u.window.slotSucc(CommOperClose); }, Qt::QueuedConnection);
    u.window.slotFailed(CommOperClose, QStringLiteral("Serial port lost"));
    QCOMPARE(u.warnings.size(), 1);
    QCOMPARE(u.state(), CLOSED);
}

void TestMainWindow::downloadChecks_data()
{
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<bool>("fileChosen");
    QTest::addColumn<QString>("warning");

    QTest::newRow("closed, no file") << false << false << "Serial port not open";
    QTest::newRow("closed, file") << false << true << "Serial port not open";
    QTest::newRow("open, no file") << true << false << "Please choose to upgrade firmware";
}

void TestMainWindow::downloadChecks()
{
    QFETCH(bool, portOpen);
    QFETCH(bool, fileChosen);
    QFETCH(QString, warning);

    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    WindowUnderTest u;
    QVERIFY(u.complete());
    if (portOpen)
        openPort(u, device.slavePath());
    if (fileChosen)
        u.file->setText(firmwarePath("firmware-a.bin"));
    const QString stateBefore = u.state();

    QTest::mouseClick(u.upload, Qt::LeftButton);
    QCOMPARE(u.warnings.size(), 1);
    QCOMPARE(u.warnings.first().title, QStringLiteral("Warn"));
    QCOMPARE(u.warnings.first().text, warning);
    QCOMPARE(u.warnings.first().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(u.state(), stateBefore);
}

void TestMainWindow::cancelWhileIdleRestartsMonitor()
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    WindowUnderTest u;
    QVERIFY(u.complete());
    openPort(u, device.slavePath());

    QVERIFY(device.write("before cancel"));
    QTRY_VERIFY(u.consoleHas(QStringLiteral("before cancel")));
    const QStringList linesBefore = u.consoleLines();

    QTest::mouseClick(u.stop, Qt::LeftButton);
    QCOMPARE(u.state(), OPEN);
    QCOMPARE(u.consoleLines(), linesBefore);

    // The receive monitor runs again: the device's next words reach the console, and nothing else does.
    // Words that arrive while the stopped monitor winds down are dropped with it, so the device repeats
    // them until they show.
    const QString words = QStringLiteral("after cancel");
    for (int attempt = 0; attempt < 5; ++attempt) {
        QVERIFY(device.write(words.toLatin1()));
        if (QTest::qWaitFor([&] { return u.consoleHas(words); }, 2 * HandleThread::MONITOR_WAIT_MS + 1000))
            break;
    }
    const QStringList added = u.consoleLines().mid(linesBefore.size());
    QVERIFY(!added.isEmpty());
    QCOMPARE(u.consoleLines().mid(0, linesBefore.size()), linesBefore);
    QCOMPARE(added, QStringList(words));
}

void TestMainWindow::keyReleaseEchoesAndSends()
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    WindowUnderTest u;
    QVERIFY(u.complete());
    openPort(u, device.slavePath());

    QTest::keyClick(&u.window, Qt::Key_A);
    QCOMPARE(u.consoleLines().last(), QStringLiteral("INPUT:a"));
    QCOMPARE(device.read(1), QByteArray("a"));

    // A key without text still gives its line, but nothing goes to the device.
    QTest::keyRelease(&u.window, Qt::Key_Shift);
    QCOMPARE(u.consoleLines().last(), QStringLiteral("INPUT:"));

    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Eacute, Qt::NoModifier, QString(QChar(0xE9)));
    QApplication::sendEvent(&u.window, &release);
    QCOMPARE(u.consoleLines().last(), QStringLiteral("INPUT:") + QChar(0xE9));
    QCOMPARE(device.read(2), QByteArray("\xc3\xa9"));
    QCOMPARE(u.consoleLines().mid(u.consoleLines().size() - 3),
        QStringList(
            { QStringLiteral("INPUT:a"), QStringLiteral("INPUT:"), QStringLiteral("INPUT:") + QChar(0xE9) }));
}

void TestMainWindow::consoleKeepsLastParagraphs()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    for (int i = 0; i < 650; ++i)
        u.window.onMessage(QStringLiteral("line %1").arg(i));
    QCOMPARE(u.console->document()->blockCount(), 500);
    const QStringList lines = u.consoleLines();
    QCOMPARE(lines.first(), QStringLiteral("line 150"));
    QCOMPARE(lines.last(), QStringLiteral("line 649"));
}

void TestMainWindow::consoleShowsMarkupAsText()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    const QString deviceText = QStringLiteral("<b>boot</b> &amp; <img src=\"/etc/passwd\"> a < b");
    u.window.onMessage(QStringLiteral("first"));
    u.window.onMessage(deviceText);
    QCOMPARE(u.consoleLines(), QStringList({ QStringLiteral("first"), deviceText }));
}

void TestMainWindow::cancellingFileDialogEmptiesField()
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    WindowUnderTest u;
    QVERIFY(u.complete());
    openPort(u, device.slavePath());
    browse(u, firmwarePath("firmware-a.bin"));
    QVERIFY(!QTest::currentTestFailed());

    browse(u, QString());
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(u.file->text().isEmpty());

    QTest::mouseClick(u.upload, Qt::LeftButton);
    QCOMPARE(u.warnings.size(), 1);
    QCOMPARE(u.warnings.first().text, QStringLiteral("Please choose to upgrade firmware"));
}

void TestMainWindow::operatorDownloads()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    u.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&u.window));
    QSignalSpy progress(u.progress, &QProgressBar::valueChanged);

    // The device talks before the download: its boot text reaches the console.
    deviceSays(u, "KELPO boot 2.1\nwaiting for firmware", QStringLiteral("waiting for firmware"));
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(u.consoleHas(QStringLiteral("KELPO boot 2.1")));

    const int linesBefore = u.consoleLines().size();
    download(u, firmwarePath("firmware-a.bin"));
    QVERIFY(!QTest::currentTestFailed());
    // rb acknowledges the first EOT, so the line for a refused one does not appear.
    const QStringList normalLines
        = { PREPARE_LINE, "[info]During the process of establishing a connection...",
              "[info]Handshake successful! Start transmitting data.", "[info]Data transmission completed.",
              COMPLETED_LINE };
    QCOMPARE(u.consoleLines().mid(linesBefore).join(QLatin1Char('\n')), normalLines.join(QLatin1Char('\n')));
    QCOMPARE(u.progress->value(), 100);
    QVERIFY(progress.size() > 2);
    for (int i = 1; i < progress.size(); ++i)
        QVERIFY(progress.at(i).first().toInt() >= progress.at(i - 1).first().toInt());
    QCOMPARE(u.state(), OPEN);

    const QString screenshot = qEnvironmentVariable("KELPO_SCREENSHOT");
    if (!screenshot.isEmpty())
        QVERIFY(u.window.grab().save(screenshot));
    closeVanishedPort(u);
    QVERIFY(!QTest::currentTestFailed());

    // The new firmware boots and says so; then a second download in the same window.
    deviceSays(u, "KELPO app 2.2 running", QStringLiteral("KELPO app 2.2 running"));
    QVERIFY(!QTest::currentTestFailed());
    download(u, firmwarePath("firmware-b.bin"));
    QVERIFY(!QTest::currentTestFailed());
    QCOMPARE(u.consoleLines().last(), QLatin1String(COMPLETED_LINE));
    closeVanishedPort(u);
    QVERIFY(!QTest::currentTestFailed());

    // Then one the operator cancels while the data flows: the receiver is told and keeps no whole file.
    RbReceiver rb;
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    openPort(u, rb.portPath());
    browse(u, firmwarePath("firmware-big.bin"));
    QVERIFY(!QTest::currentTestFailed());
    bool cancelled = false;
    const auto cancelOnce = connect(u.progress, &QProgressBar::valueChanged, [&](int value) {
        if (value > 0 && value < 100 && !cancelled) {
            cancelled = true;
            QTest::mouseClick(u.stop, Qt::LeftButton);
        }
    });
    startDownload(u, rb);
    QVERIFY(!QTest::currentTestFailed());
    // The buttons come back at the click; the session ends at its next wake-up. rb's own cancel bytes may
    // follow the line as device text.
    QTRY_VERIFY2_WITH_TIMEOUT(
        u.consoleHas(QLatin1String(CANCELLED_LINE)), rb.diagnostics().constData(), TRANSFER_TIMEOUT_MS);
    disconnect(cancelOnce);
    QVERIFY(cancelled);
    QVERIFY(!u.consoleLines()
                 .mid(u.consoleLines().lastIndexOf(QLatin1String(PREPARE_LINE)))
                 .contains(COMPLETED_LINE));
    QVERIFY(u.progress->value() < 100);
    QVERIFY(rb.waitForFinished());
    QVERIFY(readFile(QDir(rb.receiveDir()).filePath(QStringLiteral("firmware-big.bin"))) != m_firmwareBig);
    QCOMPARE(u.state(), OPEN);
    closeVanishedPort(u);
    QVERIFY(!QTest::currentTestFailed());
}

void TestMainWindow::downloadAfterCancelStarts()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    {
        PtyPair device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        openPort(u, device.slavePath());
        u.file->setText(firmwarePath("firmware-a.bin"));
        pressDownload(u);
        QVERIFY(!QTest::currentTestFailed());
        QTest::mouseClick(u.stop, Qt::LeftButton);
        QVERIFY(device.write("?"));
        QTRY_VERIFY(u.consoleHas(QLatin1String(CANCELLED_LINE)));
        closePort(u);
    }

    // Cancel and the end of the cancelled session each asked for a receive monitor; the second, still
    // queued, must not keep the next upload waiting behind it.
    download(u, firmwarePath("firmware-b.bin"));
    QVERIFY(!QTest::currentTestFailed());
    QCOMPARE(u.consoleLines().last(), QLatin1String(COMPLETED_LINE));
}

void TestMainWindow::editedPathIsFlashed()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    RbReceiver rb;
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    openPort(u, rb.portPath());
    browse(u, firmwarePath("firmware-a.bin"));
    QVERIFY(!QTest::currentTestFailed());

    // The operator then types another path into the field: the file shown is the file flashed.
    u.file->setText(firmwarePath("firmware-b.bin"));
    startDownload(u, rb);
    QVERIFY(!QTest::currentTestFailed());
    QTRY_VERIFY2_WITH_TIMEOUT(u.upload->isEnabled(), rb.diagnostics().constData(), TRANSFER_TIMEOUT_MS);
    QCOMPARE(u.consoleLines().last(), QLatin1String(COMPLETED_LINE));
    QVERIFY(rb.waitForFinished());
    const QDir received(rb.receiveDir());
    QCOMPARE(received.entryList(QDir::Files), QStringList { QStringLiteral("firmware-b.bin") });
    QCOMPARE(readFile(received.filePath(QStringLiteral("firmware-b.bin"))), m_firmwareB);
}

// An adapter unplugged mid-transfer: the session ends at once with a line naming the port, the port is
// reported as failed, and the operator closes it and opens another without restarting.
void TestMainWindow::lostPortEndsDownloadAndReopens()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    openPort(u, device.slavePath());
    u.file->setText(firmwarePath("firmware-a.bin"));
    pressDownload(u);
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(device.write("C"));
    QCOMPARE(device.read(133).size(), 133);

    const int warningsBefore = u.warnings.size();
    device.hangUp();
    const QString lostLine = QStringLiteral("[info]Serial port %1 lost").arg(device.slavePath());
    QTRY_VERIFY(u.consoleLines().last().startsWith(lostLine));
    QTRY_COMPARE(u.warnings.size(), warningsBefore + 1);
    QVERIFY2(u.warnings.last().text.startsWith(lostLine.mid(6)), qPrintable(u.warnings.last().text));
    QCOMPARE(u.state(), OPEN);

    closePort(u);
    QVERIFY(!QTest::currentTestFailed());
    // Another port opens, and what its device prints shows again.
    deviceSays(u, "device back", QStringLiteral("device back"));
}

void TestMainWindow::closingDuringTransferIsPrompt_data()
{
    QTest::addColumn<bool>("receiverAnswers");

    QTest::newRow("waiting for a silent device") << false;
    QTest::newRow("sending data") << true;
}

void TestMainWindow::closingDuringTransferIsPrompt()
{
    QFETCH(bool, receiverAnswers);

    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    std::unique_ptr<RbReceiver> rb;
    if (receiverAnswers) {
        rb = std::make_unique<RbReceiver>();
        QVERIFY2(rb->start(), qPrintable(rb->errorString()));
    }
    const QSet<QString> threadsBefore = threadIds();

    auto u = std::make_unique<WindowUnderTest>();
    QVERIFY(u->complete());
    openPort(*u, rb ? rb->portPath() : device.slavePath());
    u->file->setText(firmwarePath("firmware-big.bin"));
    if (rb) {
        startDownload(*u, *rb);
        QTRY_VERIFY(u->progress->value() > 0);
        QVERIFY(u->progress->value() < 100);
    } else {
        pressDownload(*u);
    }
    QCOMPARE(u->state(), TRANSFERRING);
    QVERIFY(!threadsBefore.contains(threadIds()));

    QElapsedTimer timer;
    timer.start();
    u.reset();
    QVERIFY2(timer.elapsed() < PROMPT_MS, qPrintable(QString::number(timer.elapsed())));
    // Threads that were there before may have ended meanwhile; none of the window's may be left.
    QTRY_VERIFY(threadsBefore.contains(threadIds()));
    if (!rb)
        QVERIFY(device.isSlaveClosed());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
