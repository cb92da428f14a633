// One step run on a port before or after the transfer, as given with --before or --after.
#pragma once

#include <QByteArray>
#include <QString>

struct FileFacts;

class Step
{
public:
    enum Kind { Send, Expect, Lines, Wait };

    // Reads "send:TEXT", "expect:REGEX", "lines:dtr=0|1,rts=0|1" or "wait:MS"; false, with what was wrong
    // and what is accepted in *error, when text is none of them.
    static bool parse(const QString &text, Step *step, QString *error);
    // What every kind looks like, for usage errors and --help.
    static QString accepted();

    // The step with the file's values in place of {size}, {size_hex}, {crc32} and {name}.
    Step resolved(const FileFacts &facts) const;

    Kind kind() const { return m_kind; }
    // As given on the command line, for reports.
    QString text() const { return m_text; }
    QByteArray bytes() const { return m_bytes; }
    QString pattern() const { return m_pattern; }
    // 1 raises the line, 0 lowers it, -1 leaves it as it is.
    int dtr() const { return m_dtr; }
    int rts() const { return m_rts; }
    int milliseconds() const { return m_milliseconds; }

private:
    bool parseLines(const QString &argument, QString *error);

    Kind m_kind = Send;
    QString m_text;
    QByteArray m_bytes;
    QString m_pattern;
    int m_dtr = -1;
    int m_rts = -1;
    int m_milliseconds = 0;
};
