// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include <QApplication>

#include "openglwindow.h"

int main(int argc, char **argv)
{
    OpenGLWindow::configureProcess();
    // Desktops find the program's menu entry and icon for its window by this
    // name: on Wayland it is the window's app_id.
    QApplication::setDesktopFileName(QStringLiteral(GLSQUARE_APP_ID));
    QApplication app(argc, argv);
    OpenGLWindow window;
    window.show();
    return QApplication::exec();
}
