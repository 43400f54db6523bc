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

// The program's window watched from outside: it notes when each frame starts
// and reads back the picture of a frame on request, wrapping Qt's frame
// functions without changing what the program does in them.
class WindowProbe : public OpenGLWindow
{
public:
    WindowProbe();
    ~WindowProbe() override { prepareToHide(); }

    int framesDrawn() const { return int(m_frames.size()); }
    // The time the program counts for frames first .. end - 1 (each frame
    // counts the time since the one before it), and the time that passed
    // between their starts, the one before first's and end - 1's.
    double secondsCounted(int first, int end) const
    {
        return (m_frames.at(end - 1).timeMs - m_frames.at(first - 1).timeMs) / 1e3;
    }
    double secondsElapsed(int first, int end) const
    {
        return double(m_frames.at(end - 1).startNs - m_frames.at(first - 1).startNs) / 1e9;
    }

    // Shows the window, makes it the active one and waits for a frame.
    bool showActive();
    // The next frame as drawn, read back before it is presented; null if
    // none comes within five seconds.
    QImage nextFrame();

    // Frames are then for the time the program gives them, that many times
    // as far from its start.
    void setTimeScale(double scale) { m_timeScale = scale; }

protected:
    Ms frameTime(Ms start) override;
    void paintOverGL() override;

private:
    struct Frame
    {
        qint64 startNs; // on m_clock
        double timeMs;  // the time the program drew it for
    };
    QElapsedTimer m_clock;
    QList<Frame> m_frames;
    double m_timeScale = 1;
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
