#include "windowsteps.h"

#include "ptypair.h"
#include "rbreceiver.h"
#include "windowundertest.h"

#include <QAbstractItemView>
#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QToolButton>
#include <QtTest>

const char PREPARE_LINE[] = "[info]Prepare to establish a connection.";
const char COMPLETED_LINE[] = "[info]Update process completed.";
const char CANCELLED_LINE[] = "[info]Cancel the update.";

// The controls' states, in the words of WindowUnderTest::state().
const QString CLOSED
    = QStringLiteral("Open unchecked enabled; port controls enabled; Download disabled; Cancel disabled");
const QString OPENING
    = QStringLiteral("Open checked enabled; port controls disabled; Download disabled; Cancel disabled");
const QString OPEN
    = QStringLiteral("Close checked enabled; port controls disabled; Download enabled; Cancel disabled");
const QString CLOSING
    = QStringLiteral("Close unchecked enabled; port controls disabled; Download disabled; Cancel disabled");
const QString TRANSFERRING
    = QStringLiteral("Close checked disabled; port controls disabled; Download disabled; Cancel enabled");
const QString FAILED
    = OPEN.left(OPEN.indexOf(QLatin1String("Download"))) + "Download disabled; Cancel disabled";

std::unique_ptr<ModalAnswerer> answerFileDialog(const QString &path, const QString &lookFor, DialogSeen *seen)
{
    return std::make_unique<ModalAnswerer>(QFileDialog::staticMetaObject, [=](QWidget *modal) {
        auto *dialog = static_cast<QFileDialog *>(modal);
        seen->title = dialog->windowTitle();
        seen->directory = dialog->directory().absolutePath();
        // As the operator sees it: the file is listed, and not greyed out by the name filter.
        auto *model = dialog->findChild<QFileSystemModel *>();
        auto *view = dialog->findChild<QAbstractItemView *>(QStringLiteral("listView"));
        if (model && view && !lookFor.isEmpty()) {
            auto *proxy = view->model();
            seen->offered = QTest::qWaitFor([&] {
                const QModelIndex source = model->index(lookFor);
                const bool listed = proxy->rowCount(view->rootIndex()) > 0 && source.isValid();
                return listed && (model->flags(source) & Qt::ItemIsEnabled);
            });
        }
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (path.isEmpty() || !name) {
            dialog->reject();
            return;
        }
        name->setText(path);
        QTest::keyClick(name, Qt::Key_Return);
    });
}

QString ptyEntry(const PtyPair &pty)
{
    return pty.slavePath() + QStringLiteral(":pseudo terminal");
}

// Types into whatever has the keyboard focus, as key events reach a window from the platform.
void typeKeys(const QString &text)
{
    QTest::keyClicks(static_cast<QWidget *>(nullptr), text);
}

void showAndActivate(WindowUnderTest &u)
{
    u.window.show();
    u.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&u.window));
}

void openPort(WindowUnderTest &u, const QString &entry)
{
    const int warningsBefore = u.warnings.size();
    QVERIFY(u.choosePort(entry));
    QTest::mouseClick(u.open, Qt::LeftButton);
    QTRY_VERIFY2(u.state() == OPEN || u.warnings.size() > warningsBefore, qPrintable(u.state()));
    QCOMPARE(u.warnings.size(), warningsBefore);
}

void closePort(WindowUnderTest &u)
{
    const int warningsBefore = u.warnings.size();
    QTest::mouseClick(u.open, Qt::LeftButton);
    QTRY_VERIFY2(u.state() == CLOSED || u.warnings.size() > warningsBefore, qPrintable(u.state()));
    QCOMPARE(u.warnings.size(), warningsBefore);
}

// rb exits, and its pseudo-terminal goes, as soon as it has the file. The window may then have reported the
// port as lost, or may report so now; either way the operator's click on Close ends with the port closed.
void closeVanishedPort(WindowUnderTest &u)
{
    const int warningsBefore = u.warnings.size();
    if (u.state() == OPEN)
        QTest::mouseClick(u.open, Qt::LeftButton);
    QTRY_VERIFY2(u.state() == CLOSED || (u.warnings.size() > warningsBefore && u.state() == FAILED),
        qPrintable(u.state()));
    if (u.state() == FAILED)
        closePort(u);
    for (const Warning &warning : u.warnings) {
        QCOMPARE(warning.title, QStringLiteral("Warn"));
        QVERIFY(!warning.text.isEmpty());
    }
}

void browse(WindowUnderTest &u, const QString &path)
{
    QList<QAction *> actions = u.file->actions();
    QCOMPARE(actions.size(), 1);
    DialogSeen seen;
    const auto answerer = answerFileDialog(path, QString(), &seen);
    // The action shows as a button inside the field; clicking it is what the operator does.
    auto *button = u.file->findChild<QToolButton *>();
    if (button && button->isVisible())
        QTest::mouseClick(button, Qt::LeftButton);
    else
        actions.first()->trigger();
    QCOMPARE(answerer->answered(), 1);
    QCOMPARE(seen.title, QStringLiteral("Open File"));
    QCOMPARE(seen.directory, QDir::current().absoluteFilePath(QStringLiteral("Bin")));
}

// Presses Download and waits until the session waits for its receiver.
void pressDownload(WindowUnderTest &u)
{
    const int linesBefore = u.consoleLines().count(QLatin1String(PREPARE_LINE));
    QTest::mouseClick(u.upload, Qt::LeftButton);
    QCOMPARE(u.state(), TRANSFERRING);
    QCOMPARE(u.progress->value(), 0);
    QCOMPARE(u.progress->text(), QStringLiteral("0 %"));
    QTRY_COMPARE(u.consoleLines().count(QLatin1String(PREPARE_LINE)), linesBefore + 1);
}

// Presses Download with rb on the far end and lets rb begin once the session waits for it.
void startDownload(WindowUnderTest &u, RbReceiver &rb)
{
    pressDownload(u);
    QVERIFY(!QTest::currentTestFailed());
    rb.release();
}

// One whole download of the file at path to a fresh rb, through the window's own controls.
void download(WindowUnderTest &u, const QString &path)
{
    RbReceiver rb;
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    openPort(u, rb.portPath());
    QVERIFY(!QTest::currentTestFailed());
    browse(u, path);
    QVERIFY(!QTest::currentTestFailed());
    QCOMPARE(u.file->text(), path);
    startDownload(u, rb);
    QVERIFY(!QTest::currentTestFailed());
    QTRY_VERIFY2_WITH_TIMEOUT(!u.stop->isEnabled(), rb.diagnostics().constData(), TRANSFER_TIMEOUT_MS);
    QVERIFY2(rb.waitForFinished(), rb.diagnostics().constData());
    QCOMPARE(readFile(QDir(rb.receiveDir()).filePath(QFileInfo(path).fileName())), readFile(path));
}

// Opens a port to a device that prints text, and closes it once the text is in the console.
void deviceSays(WindowUnderTest &u, const QByteArray &text, const QString &lastLine)
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    openPort(u, ptyEntry(device));
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(device.write(text));
    QTRY_VERIFY(u.consoleHas(lastLine));
    closePort(u);
}
