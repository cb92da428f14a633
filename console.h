// The terminal between downloads: shows what the device prints as a terminal would, in its colours, the
// session's own lines and the echo of the keys sent, and turns the keys typed into it into bytes for the
// device.
#pragma once

#include "ansiparser.h"

#include <QByteArray>
#include <QPlainTextEdit>
#include <QString>
#include <QTimer>
#include <memory>

class QTextCodec;
class QTextDecoder;

class Console : public QPlainTextEdit, private AnsiParser::Screen
{
    Q_OBJECT

public:
    // Enough to read back a whole download and the device's boot text without growing without bound.
    static constexpr int MAX_PARAGRAPHS = 500;
    // Device text is gathered this long before it is shown, so that a flood costs one layout per turn.
    static constexpr int SHOW_DELAY_MS = 20;
    // Lines shown in one turn of the event loop, so that a turn stays short whatever the device sends.
    static constexpr int LINES_PER_TURN = 50;

    explicit Console(QWidget *parent = nullptr);
    ~Console() override;

    // Bytes the device printed, in the locale's encoding; a character may be split between two calls.
    void appendDeviceBytes(const QByteArray &bytes);
    // A line of the program's own, such as "[info]…": always on a line of its own.
    void appendOwnLine(const QString &line);
    // Whether typed keys go to the device; while off they do nothing.
    void setInputEnabled(bool enabled) { m_inputEnabled = enabled; }

signals:
    // The bytes a key typed into the console stands for, to be written to the device.
    void sigSend(QByteArray bytes);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    // The actions added to the console follow the usual copy and select entries.
    void contextMenuEvent(QContextMenuEvent *event) override;

private slots:
    void slotShowPending();

private:
    void showPending(int maxLines);
    void showText(const QString &text, const QTextCharFormat &format) override;
    void eraseInLine(Erase erase) override;
    void moveToColumn(int column) override;
    void clearScreen() override;
    void put(const QString &text, const QTextCharFormat &format);
    void startDeviceLine(QTextCursor &cursor);
    QTextCursor endOfText();

    QTextCodec *m_codec = nullptr;
    std::unique_ptr<QTextDecoder> m_decoder;
    QString m_pending;
    QTimer m_showTimer;
    AnsiParser m_parser;
    bool m_inputEnabled = false;
    // A CR not yet followed by anything: the next character decides between a line break and an overwrite.
    bool m_pendingCr = false;
    // Where the device's next text goes on its line, over what stands there; -1: at the line's end.
    int m_column = -1;
    // The last line is one of our own, so the device's next text starts a new one.
    bool m_ownLineLast = false;
    // An own line was put below a device line the device had not ended; its LF only ends that line.
    bool m_deviceLineCut = false;
};
