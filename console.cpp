#include "console.h"

#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCodec>
#include <QTextCursor>

namespace {

// Control characters in the echo of a key, in caret notation: Enter shows as ^M, not as a line break.
QString visible(const QString &text)
{
    QString shown;
    for (const QChar ch : text) {
        if (ch.unicode() < 0x20)
            shown += QLatin1Char('^') + QChar(ch.unicode() + 0x40);
        else if (ch.unicode() == 0x7f)
            shown += QLatin1String("^?");
        else
            shown += ch;
    }
    return shown;
}

bool isControl(ushort c)
{
    return (c < 0x20 && c != '\t') || c == 0x7f;
}

} // namespace

Console::Console(QWidget *parent)
    : QPlainTextEdit(parent), m_codec(QTextCodec::codecForLocale()), m_decoder(m_codec->makeDecoder())
{
    setReadOnly(true);
    // Read-only for the mouse and the clipboard, yet it takes the keyboard focus when clicked into.
    setFocusPolicy(Qt::StrongFocus);
    document()->setUndoRedoEnabled(false);
    document()->setMaximumBlockCount(MAX_PARAGRAPHS);
    m_showTimer.setSingleShot(true);
    connect(&m_showTimer, &QTimer::timeout, this, &Console::slotShowPending);
}

Console::~Console() = default;

void Console::appendDeviceBytes(const QByteArray &bytes)
{
    m_pending += m_decoder->toUnicode(bytes);
    if (!m_pending.isEmpty() && !m_showTimer.isActive())
        m_showTimer.start(SHOW_DELAY_MS);
}

void Console::appendOwnLine(const QString &line)
{
    // What the device printed before stays above the line.
    showPending(0);
    QScrollBar *bar = verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum();
    QTextCursor cursor = endOfText();
    if (!cursor.block().text().isEmpty()) {
        if (!m_ownLineLast)
            m_deviceLineCut = true;
        cursor.insertBlock();
    }
    // Inserted as plain text, so markup in it is not rendered, and in a look of its own whatever colour the
    // device left on.
    cursor.insertText(line, QTextCharFormat());
    m_ownLineLast = true;
    m_pendingCr = false;
    m_column = -1;
    if (atBottom)
        bar->setValue(bar->maximum());
}

void Console::slotShowPending()
{
    showPending(LINES_PER_TURN);
}

// Shows up to maxLines lines of the text gathered (0: all of it); the rest follows on the next turn of the
// event loop, so that the window keeps answering while the device floods the console.
void Console::showPending(int maxLines)
{
    m_showTimer.stop();
    if (m_pending.isEmpty())
        return;
    QScrollBar *bar = verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum();

    // Text that would scroll out of the kept paragraphs at once is never laid out: in a flood that is most
    // of it.
    int breaks = 0;
    for (int i = m_pending.size() - 1; i >= 0; --i) {
        if (m_pending.at(i) == QLatin1Char('\n') && ++breaks == MAX_PARAGRAPHS) {
            clearScreen();
            // The colour the dropped text leaves on still holds for what follows.
            m_parser.parse(m_pending.left(i + 1), nullptr);
            m_pending.remove(0, i + 1);
            break;
        }
    }

    int end = m_pending.size();
    breaks = 0;
    for (int i = 0; i < m_pending.size(); ++i) {
        if (m_pending.at(i) == QLatin1Char('\n') && ++breaks == maxLines) {
            end = i + 1;
            break;
        }
    }
    const QString text = m_pending.left(end);
    m_pending.remove(0, end);

    // Trimmed in one piece beforehand, the top goes much faster than block by block behind the inserts.
    const int surplus = document()->blockCount() + breaks - MAX_PARAGRAPHS;
    if (surplus > 0) {
        QTextCursor top(document());
        top.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, surplus);
        top.removeSelectedText();
    }
    QTextCursor edit(document());
    edit.beginEditBlock();
    m_parser.parse(text, this);
    edit.endEditBlock();
    if (atBottom)
        bar->setValue(bar->maximum());
    if (!m_pending.isEmpty())
        m_showTimer.start(0);
}

// As a terminal shows it: LF and CR LF end the line, a lone CR lets the next text overwrite it, a backspace
// takes back the last character; other control characters show nothing.
void Console::showText(const QString &text, const QTextCharFormat &format)
{
    QTextCursor cursor = endOfText();
    int runStart = 0;
    const auto insertRun = [&](int end) {
        if (end > runStart)
            put(text.mid(runStart, end - runStart), format);
    };
    // Plain text and its LFs go in as runs, one insert each; the cursor is only moved at the rest.
    for (int i = 0; i < text.size(); ++i) {
        const ushort c = text.at(i).unicode();
        if (c == '\n' && m_column >= 0) {
            // A line feed leaves the rest of a line written over as it stands.
            insertRun(i);
            runStart = i;
            m_column = -1;
        }
        if (c == '\n' || !isControl(c)) {
            if (i != runStart)
                continue;
            if (m_ownLineLast) {
                const bool onlyEndsCutLine = c == '\n' && m_deviceLineCut;
                startDeviceLine(cursor);
                if (onlyEndsCutLine) {
                    runStart = i + 1;
                    continue;
                }
            }
            if (m_pendingCr && c != '\n') {
                cursor.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
                cursor.removeSelectedText();
            }
            m_pendingCr = false;
            continue;
        }
        insertRun(i);
        runStart = i + 1;
        if (c == '\r') {
            m_pendingCr = true;
            m_column = -1;
        } else if (c == '\b' && m_column > 0) {
            --m_column;
        } else if (c == '\b' && m_column < 0 && !m_ownLineLast && !m_pendingCr
            && cursor.positionInBlock() > 0) {
            cursor.deletePreviousChar();
        }
    }
    insertRun(text.size());
}

// At the line's end, or over what stands from the column the device moved to, with blanks up to it.
void Console::put(const QString &text, const QTextCharFormat &format)
{
    QTextCursor cursor = endOfText();
    if (m_column >= 0) {
        const int length = cursor.positionInBlock();
        if (m_column > length)
            cursor.insertText(QString(m_column - length, QLatin1Char(' ')), QTextCharFormat());
        const int lineEnd = cursor.position();
        cursor.setPosition(cursor.block().position() + m_column);
        cursor.setPosition(qMin(cursor.position() + text.size(), lineEnd), QTextCursor::KeepAnchor);
        m_column = cursor.position() == lineEnd ? -1 : m_column + text.size();
    }
    cursor.insertText(text, format);
}

void Console::eraseInLine(Erase erase)
{
    // The device's next text starts a line below our own anyway, and ours are not the device's to erase.
    if (m_ownLineLast)
        return;
    QTextCursor cursor = endOfText();
    const int length = cursor.positionInBlock();
    const int column = m_pendingCr ? 0 : m_column < 0 ? length : m_column;
    const int lineStart = cursor.block().position();
    if (erase == ToStart) {
        const int end = qMin(column + 1, length);
        cursor.setPosition(lineStart);
        cursor.setPosition(lineStart + end, QTextCursor::KeepAnchor);
        cursor.insertText(QString(end, QLatin1Char(' ')), QTextCharFormat());
    } else {
        cursor.setPosition(
            erase == WholeLine ? lineStart : lineStart + qMin(column, length), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    m_pendingCr = false;
    m_column = column;
}

void Console::moveToColumn(int column)
{
    m_pendingCr = false;
    m_column = column;
}

void Console::clearScreen()
{
    QTextCursor all(document());
    all.select(QTextCursor::Document);
    all.removeSelectedText();
    m_pendingCr = m_ownLineLast = m_deviceLineCut = false;
    m_column = -1;
}

void Console::startDeviceLine(QTextCursor &cursor)
{
    cursor.insertBlock();
    m_ownLineLast = false;
    m_deviceLineCut = false;
    m_pendingCr = false;
}

QTextCursor Console::endOfText()
{
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    return cursor;
}

void Console::keyPressEvent(QKeyEvent *event)
{
    // Keys without text (modifiers, arrows, page keys) keep their usual meaning in the text view.
    const QString text = event->text();
    if (text.isEmpty() || !m_inputEnabled) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    appendOwnLine(QStringLiteral("INPUT:") + visible(text));
    emit sigSend(m_codec->fromUnicode(text));
}

void Console::contextMenuEvent(QContextMenuEvent *event)
{
    const std::unique_ptr<QMenu> menu(createStandardContextMenu(event->pos()));
    if (!actions().isEmpty()) {
        menu->addSeparator();
        menu->addActions(actions());
    }
    menu->exec(event->globalPos());
}
