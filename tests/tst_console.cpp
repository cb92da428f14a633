#include "console.h"

#include <QApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTextCodec>
#include <QVBoxLayout>
#include <QtTest>

namespace {

// A step of a console's input: bytes from the device, or one of the program's own lines.
struct Step
{
    bool own;
    QByteArray text;
};
using Steps = QList<Step>;

Step device(const QByteArray &bytes)
{
    return { false, bytes };
}

Step own(const QByteArray &line)
{
    return { true, line };
}

// A key event as the platform delivers it.
struct Key
{
    QEvent::Type type;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    QString text;
};
using Keys = QList<Key>;

Key press(Qt::Key key, Qt::KeyboardModifiers modifiers, const QString &text = QString())
{
    return { QEvent::KeyPress, key, modifiers, text };
}

Key release(Qt::Key key, Qt::KeyboardModifiers modifiers, const QString &text = QString())
{
    return { QEvent::KeyRelease, key, modifiers, text };
}

// Qt's offscreen platform never deletes its screen; held here, the screen counts as still in use at exit
// instead of showing up in the sanitizer's leak report.
QScreen *volatile offscreenScreen = nullptr;

} // namespace
Q_DECLARE_METATYPE(Steps)
Q_DECLARE_METATYPE(Keys)

class TestConsole : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void showsTextAsTerminal_data();
    void showsTextAsTerminal();
    void keepsLastParagraphs_data();
    void keepsLastParagraphs();
    void keysSendTheirText_data();
    void keysSendTheirText();
    void keysNeedFocusAndInput();

private:
    static void feed(Console &console, const Steps &steps);
};

void TestConsole::initTestCase()
{
    offscreenScreen = QGuiApplication::primaryScreen();
    // The console decodes and encodes in the locale's encoding; these tests speak UTF-8 wherever they run.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
}

void TestConsole::feed(Console &console, const Steps &steps)
{
    for (const Step &step : steps) {
        if (step.own)
            console.appendOwnLine(QString::fromUtf8(step.text));
        else
            console.appendDeviceBytes(step.text);
    }
}

void TestConsole::showsTextAsTerminal_data()
{
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<QString>("shown");

    QTest::newRow("dots in pieces stay on one line") << Steps { device("Erasing"), device("."), device("."),
        device(". done\n"), device("ok") } << "Erasing... done\nok";
    QTest::newRow("LF and CR LF end lines") << Steps { device("one\ntwo\r\nthree\n") } << "one\ntwo\nthree\n";
    QTest::newRow("CR LF split between reads") << Steps { device("one\r"), device("\ntwo") } << "one\ntwo";
    QTest::newRow("lone CR overwrites the line")
        << Steps { device("Erasing 10%\rErasing 20%"), device("\rErasing 100%\n") } << "Erasing 100%\n";
    QTest::newRow("backspace takes back a character") << Steps { device("boo\b \bt\n") } << "bot\n";
    QTest::newRow("other control characters show nothing") << Steps { device(QByteArray("a\x07\x1b"
                                                                                        "b\x00"
                                                                                        "c",
        6)) } << "abc";
    QTest::newRow("character split between reads") << Steps { device("gr\xc3"), device("\xbc\xc3"),
        device("\x9f\n") } << QStringLiteral("gr\u00fc\u00df\n");
    QTest::newRow("markup shows as text") << Steps { device("<b>boot</b> &amp; <img src=\"x\"> a < b") }
                                          << "<b>boot</b> &amp; <img src=\"x\"> a < b";
    QTest::newRow("own lines stand alone") << Steps { own("[info]first"), own("[info]second"), device("boot"),
        own("INPUT:a"), device("ed\n") } << "[info]first\n[info]second\nboot\nINPUT:a\ned\n";
    QTest::newRow("LF after an own line ends the cut device line") << Steps { device("Erasing"),
        own("[info]Prepare"), device("\nready\n") } << "Erasing\n[info]Prepare\nready\n";
    QTest::newRow("LF after an own line below a whole line is a blank line") << Steps { device("Erasing\n"),
        own("[info]Prepare"), device("\nready") } << "Erasing\n[info]Prepare\n\nready";
    QTest::newRow("device text waiting shows above an own line")
        << Steps { device("held"), own("[info]Cancel the update.") } << "held\n[info]Cancel the update.";
}

void TestConsole::showsTextAsTerminal()
{
    QFETCH(Steps, steps);
    QFETCH(QString, shown);

    Console console;
    feed(console, steps);
    QTRY_COMPARE(console.toPlainText(), shown);
}

void TestConsole::keepsLastParagraphs_data()
{
    QTest::addColumn<Steps>("steps");

    const int lines = Console::MAX_PARAGRAPHS + 150;
    Steps ownLines;
    QByteArray flood;
    QByteArray batch;
    Steps batches;
    for (int i = 0; i < lines; ++i) {
        const QByteArray line = "line " + QByteArray::number(i);
        ownLines << own(line);
        flood += line + '\n';
        batch += line + '\n';
        if (i % 10 == 9) {
            batches << device(batch);
            batch.clear();
        }
    }
    QTest::newRow("own lines") << ownLines;
    QTest::newRow("device lines in one flood") << Steps { device(flood) };
    QTest::newRow("device lines in batches") << batches;
}

void TestConsole::keepsLastParagraphs()
{
    QFETCH(Steps, steps);

    Console console;
    feed(console, steps);
    QTRY_VERIFY(console.toPlainText().contains(QLatin1String("line 649")));
    const QStringList lines = console.toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(console.document()->blockCount(), Console::MAX_PARAGRAPHS);
    QCOMPARE(lines.size(), Console::MAX_PARAGRAPHS);
    const int last = lines.last().isEmpty() ? lines.size() - 2 : lines.size() - 1;
    QCOMPARE(lines.at(last), QStringLiteral("line 649"));
    QCOMPARE(lines.at(last - 1), QStringLiteral("line 648"));
}

void TestConsole::keysSendTheirText_data()
{
    QTest::addColumn<Keys>("keys");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("echo");

    QTest::newRow("letter") << Keys { press(Qt::Key_A, Qt::NoModifier, "a"),
        release(Qt::Key_A, Qt::NoModifier, "a") }
                            << QByteArray("a") << QStringList { "INPUT:a" };
    // Shift is let go before the key: the key's own release then says "a", "/".
    QTest::newRow("shift released first")
        << Keys { press(Qt::Key_Shift, Qt::NoModifier), press(Qt::Key_A, Qt::ShiftModifier, "A"),
               release(Qt::Key_Shift, Qt::ShiftModifier), release(Qt::Key_A, Qt::NoModifier, "a"),
               press(Qt::Key_Shift, Qt::NoModifier), press(Qt::Key_Question, Qt::ShiftModifier, "?"),
               release(Qt::Key_Shift, Qt::ShiftModifier), release(Qt::Key_Slash, Qt::NoModifier, "/") }
        << QByteArray("A?") << QStringList { "INPUT:A", "INPUT:?" };
    QTest::newRow("modifiers alone") << Keys { press(Qt::Key_Control, Qt::NoModifier),
        release(Qt::Key_Control, Qt::ControlModifier), press(Qt::Key_Alt, Qt::NoModifier),
        release(Qt::Key_Alt, Qt::AltModifier), press(Qt::Key_Shift, Qt::NoModifier),
        release(Qt::Key_Shift, Qt::ShiftModifier) }
                                     << QByteArray() << QStringList {};
    QTest::newRow("accented letter") << Keys { press(Qt::Key_Eacute, Qt::NoModifier, "\u00e9") }
                                     << QByteArray("\xc3\xa9") << QStringList { "INPUT:\u00e9" };
    QTest::newRow("enter and control keys")
        << Keys { press(Qt::Key_Return, Qt::NoModifier, "\r"), press(Qt::Key_C, Qt::ControlModifier, "\x03") }
        << QByteArray("\r\x03") << QStringList { "INPUT:^M", "INPUT:^C" };
}

void TestConsole::keysSendTheirText()
{
    QFETCH(Keys, keys);
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, echo);

    Console console;
    console.setInputEnabled(true);
    QSignalSpy spy(&console, &Console::sigSend);
    for (const Key &key : keys) {
        QKeyEvent event(key.type, key.key, key.modifiers, key.text);
        QApplication::sendEvent(&console, &event);
    }
    QByteArray bytes;
    for (const QList<QVariant> &signal : spy)
        bytes += signal.first().toByteArray();
    QCOMPARE(bytes, sent);
    const QString text = console.toPlainText();
    QCOMPARE(text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n')), echo);
}

// Keys reach the console only while it has the focus; while the port cannot take them they do nothing.
void TestConsole::keysNeedFocusAndInput()
{
    QWidget window;
    auto *console = new Console(&window);
    auto *other = new QLineEdit(&window);
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(console);
    layout->addWidget(other);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QSignalSpy spy(console, &Console::sigSend);

    console->setInputEnabled(true);
    QTest::mouseClick(other, Qt::LeftButton);
    QTest::keyClicks(static_cast<QWidget *>(nullptr), QStringLiteral("abc"));
    QCOMPARE(other->text(), QStringLiteral("abc"));
    QVERIFY(spy.isEmpty());

    QTest::mouseClick(console->viewport(), Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), console);
    console->setInputEnabled(false);
    QTest::keyClick(window.windowHandle(), Qt::Key_X);
    QVERIFY(spy.isEmpty());
    QVERIFY(console->toPlainText().isEmpty());

    console->setInputEnabled(true);
    QTest::keyClick(window.windowHandle(), Qt::Key_Y);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().first().toByteArray(), QByteArray("y"));
    QCOMPARE(other->text(), QStringLiteral("abc"));
}

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
