#include "mainwindow.h"
#include "textencoding.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    useUtf8Text();
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
