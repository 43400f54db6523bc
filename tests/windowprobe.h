// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <QElapsedTimer>
#include <QEvent>
#include <QImage>
#include <QList>
#include <QPointF>

#include "openglwindow.h"

class QWindow;

// The program's window watched from outside: it notes when each frame is
// presented and reads back the picture of a frame on request, without
// changing what the program does.
class WindowProbe : public OpenGLWindow
{
public:
    WindowProbe();

    int framesDrawn() const { return int(m_frameTimes.size()); }
    // The time the program counts for frames first .. end - 1, each of which
    // counts the time since the one before it: frames are presented at the
    // pace they are drawn.
    double secondsCounted(int first, int end) const;

    // Shows the window, makes it the active one and waits for a frame.
    bool showActive();
    // The next frame as drawn, read back before it is presented; null if
    // none comes within five seconds.
    QImage nextFrame();

protected:
    void paintOverGL() override;

private:
    QElapsedTimer m_clock;
    QList<qint64> m_frameTimes; // when each frame was presented, in ns on m_clock
    bool m_captureNext = false;
    QImage m_capture;
};

// The centre of the red square's bounding box in world units: a frame spans
// 100 x 100 of them.
QPointF squareCentre(const QImage &frame);
// Sends key events straight to the window with no event processing in
// between (QTest's key functions process events), so that the frames counted
// from here on are exactly the frames that saw these keys.
void sendKeys(QWindow *window, QEvent::Type type, const QList<int> &keys);
