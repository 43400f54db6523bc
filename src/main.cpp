// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include <QApplication>

#include "openglwindow.h"

int main(int argc, char **argv)
{
    OpenGLWindow::configureProcess();
    QApplication app(argc, argv);
    OpenGLWindow window;
    window.show();
    return QApplication::exec();
}
