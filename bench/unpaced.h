// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <QEvent>
#include <QOpenGLWindow>

// The program's window (or a subclass of it) without its pacing to the
// display: it draws at every update request as soon as Qt delivers it, so
// that a benchmark can run it faster than the display refreshes or set the
// pace itself.
template <typename Window>
class Unpaced : public Window
{
protected:
    bool event(QEvent *event) override
    {
        // Past the window's own event(), on purpose.
        // NOLINTNEXTLINE(bugprone-parent-virtual-call)
        return event->type() == QEvent::UpdateRequest ? QOpenGLWindow::event(event) : Window::event(event);
    }
};
