// Reads the ANSI/VT100 control sequences that bootloaders and shells put into their text: colours, erasing
// a line, moving along it, clearing the screen. What the console does not act on is swallowed whole, never
// shown as text, and a sequence split between two reads is taken up where it stopped.
#pragma once

#include <QColor>
#include <QString>
#include <QTextCharFormat>
#include <QVarLengthArray>

class AnsiParser
{
public:
    // What the text asks of the screen, in order.
    class Screen
    {
    public:
        enum Erase { ToEnd, ToStart, WholeLine };

        // Printable text and the C0 controls other than ESC (line feeds, CR, backspace), in format.
        virtual void showText(const QString &text, const QTextCharFormat &format) = 0;
        virtual void eraseInLine(Erase erase) = 0;
        // Counted from 0.
        virtual void moveToColumn(int column) = 0;
        virtual void clearScreen() = 0;

    protected:
        ~Screen() = default;
    };

    // A device asking for column 100000 gets this one: the line is padded with blanks up to it.
    static constexpr int MAX_COLUMN = 500;

    // Without a screen only the state follows the text: the colours in force and a sequence begun.
    void parse(const QString &text, Screen *screen);
    QTextCharFormat format() const;

    // 0 to 15 the console's own colours (chosen to read well on black), 16 to 255 xterm's cube and greys.
    static QColor color(int index);

private:
    enum State { Ground, Escape, EscapeTail, Csi, String, StringEscape };
    // The colours in force as plain values: a flood sets them twice a line, mostly in text that scrolls out
    // unseen, and a character format costs far more to change.
    struct Look
    {
        QRgb foreground = 0, background = 0;
        bool hasForeground = false, hasBackground = false, bold = false;
    };
    // A CSI's numbers; a subparameter (after ':') belongs to the parameter before it.
    struct Parameter
    {
        int value = 0;
        bool sub = false;
    };

    // Returns false when c ends the sequence without belonging to it, so that it is read again as text.
    bool step(ushort c, Screen *screen);
    void finishCsi(ushort final, Screen *screen);
    void applySgr();
    bool extendedColor(int from, int to, QRgb *rgb) const;

    State m_state = Ground;
    QString m_parameters;
    bool m_overlong = false;
    QVarLengthArray<Parameter, 16> m_numbers;
    Look m_look;
};
