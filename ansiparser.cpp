#include "ansiparser.h"

#include <QFont>

namespace {

constexpr ushort ESC = 0x1b, BEL = 0x07, CAN = 0x18, SUB = 0x1a, DEL = 0x7f, ST = 0x9c;
// No sequence a terminal acts on is longer; a longer one is swallowed without being kept.
constexpr int MAX_PARAMETERS = 64;

// The usual colours of a terminal on a dark background: the classic ones (dark blue above all) are hard to
// read on black.
constexpr QRgb PALETTE[16] = { 0x000000, 0xcd3131, 0x0dbc79, 0xe5e510, 0x2472c8, 0xbc3fbc, 0x11a8cd, 0xe5e5e5,
    0x666666, 0xf14c4c, 0x23d18b, 0xf5f543, 0x3b8eea, 0xd670d6, 0x29b8db, 0xffffff };

int number(const QString &text, int fallback)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? value : fallback;
}

// The colour after 38 or 48: "5, n" for one of the 256, "2, r, g, b" (with the colon form's colour space
// before r, when given) for 24 bits; invalid when it is neither.
QColor extendedColor(const QStringList &spec)
{
    const int kind = number(spec.value(0), -1);
    if (kind == 5 && spec.size() >= 2) {
        const int index = number(spec.at(1), -1);
        return index >= 0 && index < 256 ? AnsiParser::color(index) : QColor();
    }
    if (kind != 2 || spec.size() < 4)
        return QColor();
    int rgb[3];
    for (int i = 0; i < 3; ++i) {
        rgb[i] = number(spec.at(spec.size() - 3 + i), -1);
        if (rgb[i] < 0 || rgb[i] > 255)
            return QColor();
    }
    return QColor(rgb[0], rgb[1], rgb[2]);
}

} // namespace

QColor AnsiParser::color(int index)
{
    if (index < 16)
        return QColor(PALETTE[index]);
    if (index < 232) {
        index -= 16;
        const auto level = [](int step) { return step == 0 ? 0 : 55 + 40 * step; };
        return QColor(level(index / 36), level(index / 6 % 6), level(index % 6));
    }
    const int grey = 8 + 10 * (index - 232);
    return QColor(grey, grey, grey);
}

void AnsiParser::parse(const QString &text, Screen *screen)
{
    int i = 0;
    while (i < text.size()) {
        if (m_state == Ground) {
            // Everything up to the next ESC goes out in one piece.
            int end = text.indexOf(QChar(ESC), i);
            if (end < 0)
                end = text.size();
            if (screen && end > i)
                screen->showText(text.mid(i, end - i), m_format);
            if (end < text.size())
                m_state = Escape;
            i = end + 1;
        } else if (step(text.at(i).unicode(), screen)) {
            ++i;
        } else {
            m_state = Ground;
        }
    }
}

bool AnsiParser::step(ushort c, Screen *screen)
{
    if (c == CAN || c == SUB) {
        m_state = Ground;
        return true;
    }
    if (c == ESC) {
        m_state = m_state == String ? StringEscape : Escape;
        return true;
    }
    if (m_state == String) {
        // A string the device never ends stops at the end of its line: a device reset in the middle of a
        // window title must not hide all that follows.
        if (c == '\n' || c == '\r')
            return false;
        if (c == BEL || c == ST)
            m_state = Ground;
        return true;
    }
    if (m_state == StringEscape) {
        m_state = Escape;
        if (c == '\\') {
            m_state = Ground;
            return true;
        }
    }
    // Controls inside a sequence take effect as they would outside it.
    if (c < 0x20) {
        if (screen)
            screen->showText(QString(QChar(c)), m_format);
        return true;
    }
    if (c == DEL)
        return true;
    switch (m_state) {
    case Escape:
        if (c == '[') {
            m_state = Csi;
            m_parameters.clear();
            m_overlong = false;
        } else if (c == ']' || c == 'P' || c == 'X' || c == '^' || c == '_') {
            m_state = String;
        } else if (c == 'c') {
            m_state = Ground;
            m_format = QTextCharFormat();
            if (screen)
                screen->clearScreen();
        } else if (c < 0x30) {
            m_state = EscapeTail; // Charset designations and the like: ESC, intermediates, one final.
        } else if (c < DEL) {
            m_state = Ground;
        } else {
            return false;
        }
        return true;
    case EscapeTail:
        if (c >= 0x30 && c < DEL)
            m_state = Ground;
        return c < DEL;
    case Csi:
        if (c >= DEL)
            return false;
        if (c >= 0x40) {
            m_state = Ground;
            if (!m_overlong)
                finishCsi(c, screen);
        } else if (m_parameters.size() < MAX_PARAMETERS) {
            m_parameters += QChar(c);
        } else {
            m_overlong = true;
        }
        return true;
    case Ground:
    case String:
    case StringEscape:
        break;
    }
    return true;
}

void AnsiParser::finishCsi(ushort final, Screen *screen)
{
    // Private forms (ESC[?25l) and those with intermediates (ESC[2 q) are about the terminal, not the text.
    for (const QChar ch : qAsConst(m_parameters)) {
        if (!ch.isDigit() && ch != QLatin1Char(';') && ch != QLatin1Char(':'))
            return;
    }
    const QStringList parameters = m_parameters.split(QLatin1Char(';'));
    const int first = number(parameters.first(), 0);
    if (final == 'm')
        applySgr(parameters);
    else if (!screen)
        return;
    else if (final == 'K' && first <= Screen::WholeLine)
        screen->eraseInLine(Screen::Erase(first));
    else if (final == 'G' || final == '`')
        screen->moveToColumn(qBound(1, first, MAX_COLUMN + 1) - 1);
    else if (final == 'J' && (first == 2 || first == 3))
        screen->clearScreen();
}

void AnsiParser::applySgr(const QStringList &parameters)
{
    for (int i = 0; i < parameters.size(); ++i) {
        const QStringList sub = parameters.at(i).split(QLatin1Char(':'));
        const int code = number(sub.first(), 0);
        if (code == 38 || code == 48) {
            QStringList spec = sub.mid(1);
            if (spec.isEmpty()) {
                // The semicolon form takes the parameters that follow: 5;n or 2;r;g;b.
                const int kind = number(parameters.value(i + 1), -1);
                const int count = kind == 5 ? 2 : kind == 2 ? 4 : 1;
                spec = parameters.mid(i + 1, count);
                i += count;
            }
            const QColor color = extendedColor(spec);
            if (color.isValid() && code == 38)
                m_format.setForeground(color);
            else if (color.isValid())
                m_format.setBackground(color);
        } else if (code == 0) {
            m_format = QTextCharFormat();
        } else if (code == 1) {
            m_format.setFontWeight(QFont::Bold);
        } else if (code == 22) {
            m_format.clearProperty(QTextFormat::FontWeight);
        } else if (code >= 30 && code <= 37) {
            m_format.setForeground(color(code - 30));
        } else if (code == 39) {
            m_format.clearForeground();
        } else if (code >= 40 && code <= 47) {
            m_format.setBackground(color(code - 40));
        } else if (code == 49) {
            m_format.clearBackground();
        } else if (code >= 90 && code <= 97) {
            m_format.setForeground(color(code - 90 + 8));
        } else if (code >= 100 && code <= 107) {
            m_format.setBackground(color(code - 100 + 8));
        }
    }
}
