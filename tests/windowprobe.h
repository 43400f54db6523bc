// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <QElapsedTimer>
#include <QEvent>
#include <QImage>
#include <QList>
#include <QPointF>
#include <QRect>

#include "openglwindow.h"

class QWindow;

// The program's window watched from outside: it times every frame and reads
// back the picture of a frame on request, wrapping Qt's frame functions
// without changing what the program does in them.
class WindowProbe : public OpenGLWindow
{
public:
    struct Frame
    {
        qint64 startNs; // when the program's frame function was entered
        qint64 costNs;  // the time spent inside it
    };

    // A key event or focus loss as the window received it.
    struct Input
    {
        int frame; // the first frame drawn after it
        QEvent::Type type;
        int key;
    };

    WindowProbe();

    const QList<Frame> &frames() const { return m_frames; }
    const QList<Input> &inputs() const { return m_inputs; }
    int framesDrawn() const { return int(m_frames.size()); }
    // The time the program counts for frames first .. end - 1: each frame
    // counts the time since the one before it.
    double secondsCounted(int first, int end) const;

    // Shows the window, makes it the active one and waits for a frame.
    bool showActive();
    // The next frame as drawn, read back before it is presented; null if
    // none comes within five seconds.
    QImage nextFrame();

protected:
    bool event(QEvent *event) override;
    void paintGL() override;
    void paintOverGL() override;

private:
    QElapsedTimer m_clock;
    QList<Frame> m_frames;
    QList<Input> m_inputs;
    bool m_captureNext = false;
    QImage m_capture;
};

// The bounding box of the red pixels in a frame.
QRect redArea(const QImage &frame);
// The square's centre in world units: a frame spans 100 x 100 of them.
QPointF squareCentre(const QImage &frame);
// Sends key events straight to the window with no event processing in
// between (QTest's key functions process events), so that the frames counted
// from here on are exactly the frames that saw these keys.
void sendKey(QWindow *window, QEvent::Type type, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
             bool autoRepeat = false);
void sendKeys(QWindow *window, QEvent::Type type, const QList<int> &keys);
