#include "textencoding.h"

#include <QTextCodec>

// Windows' local code page cannot hold every file name; the console is switched to UTF-8 to match.
void useUtf8Text()
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
}
