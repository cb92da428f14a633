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
                screen->showText(text.mid(i, end - i), format());
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
            screen->showText(QString(QChar(c)), format());
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
            m_look = Look();
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

QTextCharFormat AnsiParser::format() const
{
    QTextCharFormat format;
    if (m_look.hasForeground)
        format.setForeground(QColor(m_look.foreground));
    if (m_look.hasBackground)
        format.setBackground(QColor(m_look.background));
    if (m_look.bold)
        format.setFontWeight(QFont::Bold);
    return format;
}

void AnsiParser::finishCsi(ushort final, Screen *screen)
{
    // Private forms (ESC[?25l) and those with intermediates (ESC[2 q) are about the terminal, not the text.
    m_numbers.clear();
    m_numbers.append(Parameter());
    for (const QChar ch : qAsConst(m_parameters)) {
        const ushort c = ch.unicode();
        if (c == ';' || c == ':')
            m_numbers.append({ 0, c == ':' });
        else if (c >= '0' && c <= '9')
            m_numbers.last().value = qMin(m_numbers.last().value * 10 + (c - '0'), 1000000);
        else
            return;
    }
    const int first = m_numbers.first().value;
    if (final == 'm')
        applySgr();
    else if (!screen)
        return;
    else if (final == 'K' && first <= Screen::WholeLine)
        screen->eraseInLine(Screen::Erase(first));
    else if (final == 'G' || final == '`')
        screen->moveToColumn(qBound(1, first, MAX_COLUMN + 1) - 1);
    else if (final == 'J' && (first == 2 || first == 3))
        screen->clearScreen();
}

// The colour in m_numbers[from, to) after 38 or 48: "5, n" for one of the 256, "2, r, g, b" (with the colon
// form's colour space before r, when given) for 24 bits.
bool AnsiParser::extendedColor(int from, int to, QRgb *rgb) const
{
    const int count = to - from;
    const int kind = count > 0 ? m_numbers.at(from).value : -1;
    if (kind == 5 && count >= 2 && m_numbers.at(from + 1).value < 256) {
        *rgb = color(m_numbers.at(from + 1).value).rgb();
        return true;
    }
    if (kind != 2 || count < 4)
        return false;
    const int red = m_numbers.at(to - 3).value, green = m_numbers.at(to - 2).value,
              blue = m_numbers.at(to - 1).value;
    if (red > 255 || green > 255 || blue > 255)
        return false;
    *rgb = qRgb(red, green, blue);
    return true;
}

void AnsiParser::applySgr()
{
    const int count = m_numbers.size();
    for (int i = 0; i < count;) {
        const int code = m_numbers.at(i).value;
        int next = i + 1;
        while (next < count && m_numbers.at(next).sub)
            ++next;
        if (code == 38 || code == 48) {
            int from = i + 1;
            if (from == next) {
                // The semicolon form takes the parameters that follow: 5;n or 2;r;g;b.
                const int kind = next < count ? m_numbers.at(next).value : -1;
                next = qMin(count, next + (kind == 5 ? 2 : kind == 2 ? 4 : 1));
            }
            QRgb rgb = 0;
            if (extendedColor(from, next, &rgb)) {
                (code == 38 ? m_look.foreground : m_look.background) = rgb;
                (code == 38 ? m_look.hasForeground : m_look.hasBackground) = true;
            }
        } else if (code == 0) {
            m_look = Look();
        } else if (code == 1 || code == 22) {
            m_look.bold = code == 1;
        } else if ((code >= 30 && code <= 37) || (code >= 90 && code <= 97)) {
            m_look.foreground = PALETTE[code % 10 + (code >= 90 ? 8 : 0)];
            m_look.hasForeground = true;
        } else if ((code >= 40 && code <= 47) || (code >= 100 && code <= 107)) {
            m_look.background = PALETTE[code % 10 + (code >= 100 ? 8 : 0)];
            m_look.hasBackground = true;
        } else if (code == 39) {
            m_look.hasForeground = false;
        } else if (code == 49) {
            m_look.hasBackground = false;
        }
        i = next;
    }
}
