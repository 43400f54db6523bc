#include <QApplication>

#include "openglwindow.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    OpenGLWindow window;
    window.show();
    return QApplication::exec();
}
