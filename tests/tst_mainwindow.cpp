#include "console.h"
#include "localsetting.h"
#include "mainwindow.h"
#include "peers.h"
#include "progresstext.h"
#include "ptypair.h"
#include "ptyreceiver.h"
#include "rbreceiver.h"
#include "settingsdialog.h"
#include "testdata.h"

#include <QtTest>
#include <QtWidgets>

namespace {

const QString PREPARE = QStringLiteral("[info]Prepare to establish a connection.");
// What a board prints before its receiver starts; no 'C', which would read as the receiver's request.
const QByteArray BOOT_LOG = "\033[0;32mI (29) boot: ESP-IDF v5.1.2 2nd stage bootloader\033[0m\r\n"
                            "\033[0;32mI (31) boot: chip revision: v0.3\033[0m\r\n"
                            "\033[0;33mW (45) boot: main core reset by the watchdog\033[0m\r\n"
                            "\033[0;31mE (52) flash: no valid image at 0x10000\033[0m\r\n"
                            "\033[1;36mkelpo-boot>\033[0m \033[38;5;208mwaiting for the image\033[0m\r\n";
// state(): Open's text; is it checked, enabled; are Refresh, ports, rates, Download, Cancel enabled.
const QString CLOSED("Open 0111100"), OPEN("Close 1100010"), SENDING("Close 1000001"), LOST("Close 1100000");

// What a console is fed: the program's own lines start with '[', the rest is what the device printed.
void feed(Console &console, const QByteArrayList &steps)
{
    for (const QByteArray &step : steps)
        step.startsWith('[') ? console.appendOwnLine(QString(step)) : console.appendDeviceBytes(step);
}

QMap<QString, QString> iniContents(const QString &path)
{
    const QSettings ini(path, QSettings::IniFormat);
    QMap<QString, QString> contents;
    for (const QString &key : ini.allKeys())
        contents.insert(key, ini.value(key).toString());
    return contents;
}

// The console's text with its looks: "{fg/bg*}" before each run that looks otherwise than the one before,
// colours as #rrggbb where the device set them, * for bold; "{}" is the console's own look.
QString looks(const QTextDocument *document)
{
    QString shown, last;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        if (block != document->begin())
            shown += QLatin1Char('\n');
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            QString look;
            if (format.hasProperty(QTextFormat::ForegroundBrush))
                look += format.foreground().color().name();
            if (format.hasProperty(QTextFormat::BackgroundBrush))
                look += QLatin1Char('/') + format.background().color().name();
            if (format.fontWeight() == QFont::Bold)
                look += QLatin1Char('*');
            if (look != last)
                shown += QLatin1Char('{') + look + QLatin1Char('}');
            last = look;
            shown += it.fragment().text();
        }
    }
    return shown;
}

// Qt's offscreen platform never deletes its screen; held here, it is not reported as a leak at exit.
QScreen *volatile offscreenScreen = nullptr;

// The window on a port list the test sets; message boxes get Ok (text kept), the file dialog gets pick.
struct Window
{
    explicit Window(const QStringList &present = {}, int pollMs = 10)
        : ports(present), window([this] { return ports; }, pollMs)
    {
        QObject::connect(&modals, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                warnings << box->text();
                box->button(QMessageBox::Ok)->click();
            } else if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                dialog->selectFile(pick);
                static_cast<QDialog *>(dialog)->accept();
            }
        });
        modals.start(5);
    }
    QString state() const
    {
        QString text = open->text() + QLatin1Char(' ');
        for (bool on : { open->isChecked(), open->isEnabled(), refresh->isEnabled(), names->isEnabled(),
                 bauds->isEnabled(), upload->isEnabled(), stop->isEnabled() })
            text += QLatin1Char(on ? '1' : '0');
        return text;
    }

    QStringList ports;
    MainWindow window;
    QPlainTextEdit *console = window.findChild<QPlainTextEdit *>("textBrowser");
    QComboBox *names = window.findChild<QComboBox *>("cb_names");
    QComboBox *bauds = window.findChild<QComboBox *>("cb_bauds");
    QPushButton *refresh = window.findChild<QPushButton *>("bt_refresh");
    QPushButton *open = window.findChild<QPushButton *>("bt_open");
    QLineEdit *file = window.findChild<QLineEdit *>("le_file");
    QPushButton *upload = window.findChild<QPushButton *>("bt_upload");
    QPushButton *stop = window.findChild<QPushButton *>("bt_stopUpdate");
    QProgressBar *progress = window.findChild<QProgressBar *>("progressBar");
    QComboBox *protocol = window.findChild<QComboBox *>("cb_protocol");
    QStringList warnings;
    QString pick;
    QTimer modals;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_firmware = writeFile(m_dir.filePath(QStringLiteral("zImage")), randomBytes(37 * 1024 + 300, 1));

private slots:
    void initTestCase()
    {
        offscreenScreen = QGuiApplication::primaryScreen();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    }
    void init() { LocalSetting::instance()->reset(); }

    void consoleShowsTextAsTerminal()
    {
        const std::pair<QByteArrayList, QString> cases[] = {
            { { "a", ".", ".\n", "ok" }, "a..\nok" }, // pieces stay on a line
            { { "one\ntwo\r", "\nthree\n" }, "one\ntwo\nthree\n" }, // LF and CR LF end lines
            { { "10%\r20%", "\r100%\n" }, "100%\n" }, // a lone CR overwrites
            { { "boo\b \bt\n\bx" }, "bot\nx" }, // backspace takes back a character
            { { QByteArray("a\a\001b\0c", 6) }, "abc" }, // other controls show nothing
            { { "gr\xc3", "\xbc\xc3\x9f" }, "gr\u00fc\u00df" }, // a character split
            { { "[a]", "[b]", "x", "[c]", "y\n" }, "[a]\n[b]\nx\n[c]\ny\n" }, // own lines apart
            { { "a", "[b]", "\nc\n" }, "a\n[b]\nc\n" }, // LF ends a line cut by an own line
            { { "a\n", "[b]", "\nc" }, "a\n[b]\n\nc" }, // LF after an own line is a line
            { { "held", "[a]" }, "held\n[a]" }, // waiting text shows above an own line
        };
        for (const auto &[steps, shown] : cases) {
            Console console;
            feed(console, steps);
            QTRY_COMPARE(console.toPlainText(), shown);
        }
    }

    void consoleRendersControlSequences_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown"); // Each time followed by an own line, "[x]".
        QTest::newRow("colours and reset") << QByteArray("\033[31mred\033[0m plain \033[32mgreen\033[m.")
                                           << "{#cd3131}red{} plain {#0dbc79}green{}.\n[x]";
        QTest::newRow("bold, bright, background") << QByteArray("\033[1;92;44mA\033[22mB\033[39;49mC")
                                                  << "{#23d18b/#2472c8*}A{#23d18b/#2472c8}B{}C\n[x]";
        QTest::newRow("256 colours") << QByteArray("\033[38;5;196mX\033[48;5;240mY\033[38;5;4;49mZ")
                                     << "{#ff0000}X{#ff0000/#585858}Y{#2472c8}Z\n{}[x]";
        QTest::newRow("24-bit colours") << QByteArray("\033[38;2;1;2;3mX\033[48:2::4:5:6mY\033[38:2:7:8:9mZ")
                                        << "{#010203}X{#010203/#040506}Y{#070809/#040506}Z\n{}[x]";
        QTest::newRow("colour across lines")
            << QByteArray("\033[33mone\ntwo\r\nthree") << "{#e5e510}one\ntwo\nthree\n{}[x]";
        QTest::newRow("erase in line")
            << QByteArray("10%\r\033[K20%\nabc\033[2Kd\nxyz\033[1K!") << "20%\n   d\n   !\n[x]";
        QTest::newRow("cursor to column")
            << QByteArray("12345\033[3GX\nab\033[5GY\033[GZ\n") << "12X45\nZb  Y\n[x]";
        QTest::newRow("clear screen keeps the colour")
            << QByteArray("old\n\033[31m\033[2Jnew") << "{#cd3131}new\n{}[x]";
        QTest::newRow("reset clears all") << QByteArray("old\033[31m\033cnew") << "new\n[x]";
        QTest::newRow("swallowed") << QByteArray(
            "a\033[?25lb\033]0;title\ac\033]8;;http://x\033\\d\033(Be\033[1;2Hf\033=g\033[2 qh")
                                   << "abcdefgh\n[x]";
        QTest::newRow("cancelled, never ended") << QByteArray("a\033[12\x18"
                                                              "b\033]0;no end\nc")
                                                << "ab\nc\n[x]";
        QTest::newRow("character split in colour")
            << QByteArray("\033[32mgr\xc3\xbc\xc3\x9f") << "{#0dbc79}gr\u00fc\u00df\n{}[x]";
    }

    // In one read, in two reads split at every byte, and a byte a read; each read shown before the next.
    void consoleRendersControlSequences()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        QVector<QByteArrayList> feeds { { bytes } };
        for (int i = 1; i < bytes.size(); ++i)
            feeds.append({ bytes.left(i), bytes.mid(i) });
        feeds.append(QByteArrayList());
        for (const char byte : bytes)
            feeds.last().append(QByteArray(1, byte));
        for (const QByteArrayList &reads : feeds) {
            Console console;
            for (const QByteArray &read : reads) {
                console.appendDeviceBytes(read);
                // What the console's timer does once the read has waited its turn.
                QVERIFY(QMetaObject::invokeMethod(&console, "slotShowPending"));
            }
            console.appendOwnLine(QStringLiteral("[x]"));
            const QString actual = looks(console.document());
            QVERIFY2(actual == shown, qPrintable(reads.join('|') + QLatin1String(" shows ") + actual));
        }
    }

    // Text shown at once below own lines, in one flood, or a turn at a time: the last lines stay.
    void consoleKeepsLastParagraphs()
    {
        QByteArray lines;
        for (int i = 0; i < Console::MAX_PARAGRAPHS + 150; ++i)
            lines += "line " + QByteArray::number(i) + '\n';
        const int line400 = lines.indexOf("line 400");
        Console console;
        feed(console, { lines.left(line400), "[a]", lines.mid(line400), "[b]", lines, "[c]" });
        QVERIFY(console.toPlainText().endsWith(QLatin1String("line 648\nline 649\n[c]")));
        feed(console, { lines.left(line400) });
        QTRY_VERIFY(console.toPlainText().endsWith(QLatin1String("line 398\nline 399\n")));
        QCOMPARE(console.document()->blockCount(), Console::MAX_PARAGRAPHS);
        // A flood in one piece keeps its last lines whole, the first of them too.
        Console flooded;
        feed(flooded, { lines });
        QTRY_VERIFY(flooded.toPlainText().startsWith(QLatin1String("line 151\nline 152\n")));
    }

    void consoleSendsKeys()
    {
        Console console;
        QByteArray sent;
        connect(&console, &Console::sigSend, &console, [&](const QByteArray &bytes) { sent += bytes; });
        QTest::keyClicks(&console, QStringLiteral("x"));
        console.setInputEnabled(true);
        QTest::keyClick(&console, Qt::Key_Control);
        for (const auto &[key, text] : { std::pair(Qt::Key_A, "a"), { Qt::Key_Eacute, "\u00e9" },
                 { Qt::Key_Return, "\r" }, { Qt::Key_C, "\x03" } })
            QTest::sendKeyEvent(QTest::Click, &console, key, QString::fromUtf8(text), Qt::NoModifier);
        QCOMPARE(sent, QByteArray("a\xc3\xa9\r\x03"));
        QCOMPARE(console.toPlainText(), QStringLiteral("INPUT:a\nINPUT:\u00e9\nINPUT:^M\nINPUT:^C"));
    }

    void progressTextSays()
    {
        const std::pair<TransferProgress, QString> cases[] = {
            { { 0, 0, 1000, 0 }, "0 %" }, // before the first figures
            { { 1, 1024, 100000, 0 }, "1 %" }, // no time measured yet
            { { 1, 1024, 102400, 1 }, "1 % · 1.0 KiB/s · 1:39 left" },
            { { 42, 11469, 25232, 1 }, "42 % · 11.2 KiB/s · 0:02 left" },
            { { 20, 1 << 21, 81 << 21, 1 }, "20 % · 2.0 MiB/s · 1:20 left" },
            { { 1, 100, 36100, 10 }, "1 % · 10 B/s · 1:00:00 left" },
        };
        for (const auto &[progress, text] : cases)
            QCOMPARE(progressText(progress), text);
    }

    // A port not there; then open, keys typed, a download cancelled, one whose adapter is unplugged, Close.
    void controlsFollowState()
    {
        PtyPair device;
        SKIP_UNLESS_VALID_PTY(device);
        Window u({ "/no/such/port:gone" });
        QTest::mouseClick(u.open, Qt::LeftButton);
        QTRY_COMPARE(u.warnings.size(), 1);
        QVERIFY2(u.warnings.first().startsWith("There is no serial port"), qPrintable(u.warnings.first()));
        QCOMPARE(u.state(), CLOSED);

        u.ports = QStringList { device.slavePath() + QStringLiteral(":pseudo terminal") };
        QTRY_COMPARE(u.names->currentText(), u.ports.first());
        u.file->setText(m_firmware);
        QTest::mouseClick(u.open, Qt::LeftButton);
        QTRY_COMPARE(u.state(), OPEN);
        QTest::keyClicks(u.console, QStringLiteral("ab"));
        QCOMPARE(device.read(2), QByteArray("ab"));

        QTest::mouseClick(u.upload, Qt::LeftButton);
        QCOMPARE(u.state(), SENDING);
        QTRY_VERIFY(u.console->toPlainText().contains(PREPARE));
        QTest::keyClicks(u.console, QStringLiteral("x")); // would break into the packets: not sent
        QTest::mouseClick(u.stop, Qt::LeftButton);
        QCOMPARE(device.read(5), QByteArray(5, '\x18'));
        QTRY_COMPARE(u.state(), OPEN);
        QVERIFY2(u.progress->text().startsWith(QLatin1String("Failed: ")), qPrintable(u.progress->text()));

        QTest::mouseClick(u.upload, Qt::LeftButton);
        QTRY_COMPARE(u.console->toPlainText().count(PREPARE), 2);
        device.hangUp();
        QTRY_COMPARE(u.state(), LOST);
        QVERIFY2(u.warnings.last().contains(QLatin1String("lost")), qPrintable(u.warnings.last()));
        QTest::mouseClick(u.open, Qt::LeftButton);
        QTRY_COMPARE(u.state(), CLOSED);

        // Plugged in again: the next download goes through without a packet sent twice.
        PtyReceiver receiver({ .damagePacket = -1 });
        u.ports = QStringList { receiver.portPath() };
        QTRY_COMPARE(u.names->currentText(), u.ports.first());
        QTest::mouseClick(u.open, Qt::LeftButton);
        QTRY_COMPARE(u.state(), OPEN);
        QTest::mouseClick(u.upload, Qt::LeftButton);
        QTRY_COMPARE(u.console->toPlainText().count(PREPARE), 3);
        receiver.run();
        QTRY_COMPARE(u.progress->text(), QStringLiteral("Done"));
        QVERIFY(receiver.completed && receiver.file == readFile(m_firmware) && receiver.duplicates == 0);
        const QString shown = u.console->toPlainText();
        QVERIFY2(!shown.contains(QRegularExpression("Resend|retransmission")), qPrintable(shown));
    }

    // Closing the window in the middle of a download: the device is told, and the port is let go.
    void closingCancelsDownload()
    {
        PtyPair device;
        SKIP_UNLESS_VALID_PTY(device);
        {
            Window u({ device.slavePath() });
            u.file->setText(m_firmware);
            QTest::mouseClick(u.open, Qt::LeftButton);
            QTRY_COMPARE(u.state(), OPEN);
            QTest::mouseClick(u.upload, Qt::LeftButton);
            QTRY_VERIFY(u.console->toPlainText().contains(PREPARE) && device.write("C"));
            QCOMPARE(device.read(3), QByteArray("\x01\x00\xff", 3));
            u.window.close();
        }
        QCOMPARE(device.read(1029 + 5).right(5), QByteArray(5, '\x18'));
        QVERIFY(device.isSlaveClosed());
    }

    // Adapters plugged in or out show while the port is closed, the choice stays; Refresh also sets the rate.
    void portListFollowsAdapters()
    {
        for (bool refresh : { false, true }) {
            Window u({ "ttyS0:built-in", "ttyUSB0:FT232R" }, refresh ? 3600 * 1000 : 10);
            u.names->setCurrentIndex(1);
            u.bauds->setCurrentText(QStringLiteral("9600"));
            u.ports = QStringList { "ttyACM0:CDC", "ttyUSB0:FT232R" };
            if (refresh)
                QTest::mouseClick(u.refresh, Qt::LeftButton);
            QTRY_COMPARE(u.names->itemText(0), u.ports.first());
            QCOMPARE(u.names->currentText(), u.ports.last());
            QCOMPARE(u.bauds->currentText(), refresh ? "115200" : "9600");
        }
    }

    // Port and rate picked with keys (the port still there, or gone), or a rate typed and the port opened.
    void choicesRestoredInNextWindow()
    {
        for (const auto &[byOpening, portStays, rate] :
            { std::tuple(false, true, "128000"), { false, false, "128000" }, { true, true, "1843200" } }) {
            LocalSetting::instance()->reset();
            PtyPair device;
            SKIP_UNLESS_VALID_PTY(device);
            const QStringList ports = { "ttyS0:built-in", device.slavePath() + ":pseudo terminal" };
            {
                Window u(ports);
                if (byOpening) { // Opening makes the port and rate shown the operator's choice.
                    u.names->setCurrentIndex(1);
                    u.bauds->setCurrentText(rate);
                    QTest::mouseClick(u.open, Qt::LeftButton);
                    QTRY_COMPARE(u.state(), OPEN);
                } else {
                    QTest::keyClick(u.names, Qt::Key_Down);
                    QTest::keyClick(u.bauds, Qt::Key_Down);
                    QTest::keyClick(u.protocol, Qt::Key_End);
                }
                QTest::keyClicks(u.file, m_firmware);
            }
            LocalSetting::instance()->load();
            Window next(portStays ? ports : QStringList(ports.first()));
            QCOMPARE(next.names->currentText(), portStays ? ports.last() : ports.first());
            QCOMPARE(next.bauds->currentText(), QString(rate));
            QCOMPARE(next.file->text(), m_firmware);
            // kelpo-send reads the protocol from the same key.
            QCOMPARE(next.protocol->currentText().toLower(),
                LocalSetting::instance()->transferValue("protocol").toString());
            QCOMPARE(next.protocol->currentIndex(), byOpening ? 0 : next.protocol->count() - 1);
        }
    }

    void settingsDialogWritesOnlyChanges_data()
    {
        QTest::addColumn<QString>("box"); // Empty: Restore Defaults is clicked.
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("key"); // What OK writes; empty: nothing.
        QTest::addColumn<QString>("written");
        QTest::newRow("reply time-out") << "sb_replyTimeout"
                                        << "2.5"
                                        << "TRANSFER/reply_timeout"
                                        << "2.5";
        QTest::newRow("packets") << "cb_packets"
                                 << "1"
                                 << "TRANSFER/packets"
                                 << "1k";
        QTest::newRow("left as it was") << "sb_startTimeout"
                                        << "0"
                                        << ""
                                        << "";
        QTest::newRow("log level") << "cb_logLevel"
                                   << "3"
                                   << "LOG/log_level"
                                   << "3";
        QTest::newRow("log label") << "le_logLabel"
                                   << "bench"
                                   << "LOG/log_str"
                                   << "bench";
        QTest::newRow("defaults restored") << ""
                                           << ""
                                           << "TRANSFER/first_reply_timeout"
                                           << "60";
    }

    // The file was edited by hand before the dialog opened (first-reply time-out) and while it was open
    // (retries): OK writes the one key changed in the dialog and keeps the rest of the file as it is.
    void settingsDialogWritesOnlyChanges()
    {
        QFETCH(QString, box);
        QFETCH(QString, value);
        QFETCH(QString, key);
        QFETCH(QString, written);
        const QString path = LocalSetting::instance()->getIniPath();
        QSettings(path, QSettings::IniFormat).setValue("TRANSFER/first_reply_timeout", "5");
        SettingsDialog dialog(LocalSetting::instance());
        QSettings(path, QSettings::IniFormat).setValue("TRANSFER/retries", "7");
        QMap<QString, QString> expected = iniContents(path);
        auto *buttons = dialog.findChild<QDialogButtonBox *>();
        QWidget *widget = dialog.findChild<QWidget *>(box);
        if (auto *spin = qobject_cast<QDoubleSpinBox *>(widget))
            spin->setValue(value.toDouble());
        else if (auto *combo = qobject_cast<QComboBox *>(widget))
            combo->setCurrentIndex(value.toInt());
        else if (auto *line = qobject_cast<QLineEdit *>(widget))
            line->setText(value);
        else
            buttons->button(QDialogButtonBox::RestoreDefaults)->click();
        buttons->button(QDialogButtonBox::Ok)->click();
        if (!key.isEmpty())
            expected.insert(key, written);
        QCOMPARE(iniContents(path), expected);
    }

    // Dropped anywhere, the file field too, a local file becomes the file to flash; a folder does not.
    void dropChoosesFile()
    {
        Window u;
        for (const QString &dropped : { m_dir.path(), m_firmware }) {
            QMimeData mime;
            mime.setUrls({ QUrl::fromLocalFile(dropped) });
            QDragEnterEvent enter({}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(u.file, &enter);
            QCOMPARE(enter.isAccepted(), dropped == m_firmware);
            QDropEvent drop({}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(u.file, &drop);
            QCOMPARE(u.file->text(), dropped == m_firmware ? m_firmware : QString());
        }
    }

    void operatorDownloads_data()
    {
        QTest::addColumn<QString>("receiver");
        QTest::newRow("YMODEM") << QString(RbReceiver::RB);
        QTest::newRow("XMODEM") << "rx -b zImage"; // Without -c rx asks for checksums.
        QTest::newRow("XMODEM-1K") << "rx -b -c zImage";
    }

    // A whole download with the protocol picked beside Download, the file picked in the dialog, into lrzsz
    // after a coloured boot log; KELPO_SCREENSHOT names a picture of its end.
    void operatorDownloads()
    {
        QFETCH(QString, receiver);
        SKIP_UNLESS_INSTALLED(receiver.section(' ', 0, 0), "socat");
        const QString protocol = QTest::currentDataTag();
        RbReceiver rb(receiver);
        rb.setBanner(BOOT_LOG);
        QVERIFY2(rb.start(), qPrintable(rb.errorString()));
        Window u({ rb.portPath() });
        u.window.show();
        QTest::keyClicks(u.protocol, protocol);
        QCOMPARE(u.protocol->currentText(), protocol);
        QTest::mouseClick(u.open, Qt::LeftButton);
        QTRY_COMPARE(u.state(), OPEN);
        QTest::mouseClick(u.upload, Qt::LeftButton);
        QCOMPARE(u.warnings, QStringList { "Please choose to upgrade firmware" });

        u.pick = m_firmware;
        u.file->actions().first()->trigger();
        QStringList texts;
        connect(u.progress, &QProgressBar::valueChanged, u.progress, [&] { texts << u.progress->text(); });
        QTest::mouseClick(u.upload, Qt::LeftButton);
        QTRY_VERIFY(u.console->toPlainText().contains(PREPARE));
        rb.release();
        QTRY_VERIFY2_WITH_TIMEOUT(!u.stop->isEnabled(), rb.diagnostics().constData(), 30000);
        QVERIFY2(rb.waitForFinished(), rb.diagnostics().constData());
        // XMODEM has no file size: the receiver keeps the last packet's padding.
        const QByteArray sent = readFile(m_firmware);
        const QByteArray received = readFile(QDir(rb.receiveDir()).filePath(QStringLiteral("zImage")));
        QCOMPARE(received.left(sent.size()), sent);
        const int padding = protocol == "YMODEM" ? 0 : (128 - sent.size() % 128) % 128;
        QCOMPARE(received.mid(sent.size()), QByteArray(padding, '\x1a'));
        QCOMPARE(u.progress->value(), 100);
        QCOMPARE(u.progress->text(), QStringLiteral("Done"));
        QVERIFY2(texts.filter(QStringLiteral(" left")).size() > 0, qPrintable(texts.join('|')));
        const QString shown = u.console->toPlainText();
        QVERIFY2(shown.contains("[info]Sending with " + protocol + ": ")
                && shown.contains("E (52) flash: no valid image at 0x10000\n") && !shown.contains("[0;"),
            qPrintable(shown));
        if (const QString screenshot = qEnvironmentVariable("KELPO_SCREENSHOT"); !screenshot.isEmpty())
            QVERIFY(u.window.grab().save(screenshot));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
