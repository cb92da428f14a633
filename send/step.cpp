#include "step.h"

#include "filefacts.h"

#include <QRegularExpression>
#include <QStringList>

namespace {
int hexDigit(char c)
{
    return QByteArrayLiteral("0123456789abcdef").indexOf(char(QChar::toLower(uint(uchar(c)))));
}

// Turns \r, \n, \t, \\ and \xHH into their bytes; false, naming the escape, for any other.
bool unescape(const QString &text, QByteArray *bytes, QString *error)
{
    const QByteArray utf8 = text.toUtf8();
    bytes->clear();
    for (int i = 0; i < utf8.size(); ++i) {
        if (utf8.at(i) != '\\') {
            bytes->append(utf8.at(i));
            continue;
        }
        const char next = i + 1 < utf8.size() ? utf8.at(i + 1) : '\0';
        if (next == 'r' || next == 'n' || next == 't' || next == '\\') {
            bytes->append(next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : '\\');
            ++i;
        } else if (next == 'x' && i + 3 < utf8.size() && hexDigit(utf8.at(i + 2)) >= 0
            && hexDigit(utf8.at(i + 3)) >= 0) {
            bytes->append(char(hexDigit(utf8.at(i + 2)) * 16 + hexDigit(utf8.at(i + 3))));
            i += 3;
        } else {
            *error = QStringLiteral("unknown escape \"%1\" (accepted: \\r, \\n, \\t, \\\\, \\xHH)")
                         .arg(QString::fromUtf8(utf8.mid(i, 4)));
            return false;
        }
    }
    return true;
}
} // namespace

QString Step::accepted()
{
    return QStringLiteral("send:TEXT, expect:REGEX, lines:dtr=0|1,rts=0|1 (either or both) or wait:MS");
}

bool Step::parse(const QString &text, Step *step, QString *error)
{
    const QString kind = text.section(QLatin1Char(':'), 0, 0);
    const QString argument = text.section(QLatin1Char(':'), 1);
    *step = Step();
    step->m_text = text;
    if (!text.contains(QLatin1Char(':'))) {
        *error = QStringLiteral("has no kind before a colon; accepted: ") + accepted();
        return false;
    }
    if (kind == QLatin1String("send")) {
        step->m_kind = Send;
        return unescape(argument, &step->m_bytes, error);
    }
    if (kind == QLatin1String("expect")) {
        step->m_kind = Expect;
        step->m_pattern = argument;
        // The values put in later are escaped, so any file's values leave a valid pattern valid.
        const QRegularExpression probe(FileFacts().substituted(argument, true));
        if (argument.isEmpty() || !probe.isValid()) {
            *error = argument.isEmpty()
                ? QStringLiteral("has an empty pattern; give a regular expression")
                : QStringLiteral("is not a valid regular expression: ") + probe.errorString();
            return false;
        }
        return true;
    }
    if (kind == QLatin1String("lines")) {
        step->m_kind = Lines;
        return step->parseLines(argument, error);
    }
    if (kind == QLatin1String("wait")) {
        step->m_kind = Wait;
        bool ok = false;
        step->m_milliseconds = argument.toInt(&ok);
        if (!ok || step->m_milliseconds < 0) {
            *error = QStringLiteral("waits \"%1\"; give whole milliseconds, 0 or more").arg(argument);
            return false;
        }
        return true;
    }
    *error = QStringLiteral("has the unknown kind \"%1\"; accepted: ").arg(kind) + accepted();
    return false;
}

bool Step::parseLines(const QString &argument, QString *error)
{
    const QRegularExpression setting(QStringLiteral("^(dtr|rts)=([01])$"));
    for (const QString &part : argument.split(QLatin1Char(','))) {
        const QRegularExpressionMatch match = setting.match(part);
        int &line = match.captured(1) == QLatin1String("dtr") ? m_dtr : m_rts;
        if (!match.hasMatch() || line >= 0) {
            *error
                = QStringLiteral("sets \"%1\"; accepted: dtr=0|1, rts=0|1 or both, each once, separated by a "
                                 "comma")
                      .arg(part);
            return false;
        }
        line = match.captured(2).toInt();
    }
    return true;
}

Step Step::resolved(const FileFacts &facts) const
{
    Step step = *this;
    step.m_bytes = facts.substituted(m_bytes);
    step.m_pattern = facts.substituted(m_pattern, true);
    return step;
}
