// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include "windowprobe.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QRectF>
#include <QRgb>
#include <QTest>

WindowProbe::WindowProbe()
{
    // Room for minutes of frames, so that recording one allocates nothing
    // while the benchmark counts the frame's allocations.
    m_frames.reserve(1 << 17);
    m_clock.start();
}

double WindowProbe::secondsCounted(int first, int end) const
{
    return double(m_frames.at(end - 1).startNs - m_frames.at(first - 1).startNs) / 1e9;
}

bool WindowProbe::showActive()
{
    show();
    requestActivate();
    return QTest::qWaitForWindowActive(this) && !nextFrame().isNull();
}

QImage WindowProbe::nextFrame()
{
    m_captureNext = true;
    return QTest::qWaitFor([this] { return !m_captureNext; }) ? m_capture : QImage();
}

bool WindowProbe::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        m_inputs.append({ framesDrawn(), event->type(), static_cast<QKeyEvent *>(event)->key() });
        break;
    case QEvent::FocusOut:
        m_inputs.append({ framesDrawn(), event->type(), 0 });
        break;
    default:
        break;
    }
    return OpenGLWindow::event(event);
}

void WindowProbe::paintGL()
{
    const qint64 start = m_clock.nsecsElapsed();
    OpenGLWindow::paintGL();
    m_frames.append({ start, m_clock.nsecsElapsed() - start });
}

void WindowProbe::paintOverGL()
{
    if (m_captureNext) {
        m_capture = grabFramebuffer();
        m_captureNext = false;
    }
}

QRect redArea(const QImage &frame)
{
    const QImage pixels = frame.convertToFormat(QImage::Format_RGB32);
    QRect area;
    for (int y = 0; y < pixels.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(pixels.constScanLine(y));
        for (int x = 0; x < pixels.width(); ++x) {
            if (qRed(line[x]) > 200 && qGreen(line[x]) < 60 && qBlue(line[x]) < 60)
                area |= QRect(x, y, 1, 1);
        }
    }
    return area;
}

QPointF squareCentre(const QImage &frame)
{
    const QPointF centre = QRectF(redArea(frame)).center();
    return { centre.x() * 100 / frame.width(), centre.y() * 100 / frame.height() };
}

void sendKey(QWindow *window, QEvent::Type type, int key, Qt::KeyboardModifiers modifiers, bool autoRepeat)
{
    QKeyEvent event(type, key, modifiers, QString(), autoRepeat);
    QCoreApplication::sendEvent(window, &event);
}

void sendKeys(QWindow *window, QEvent::Type type, const QList<int> &keys)
{
    for (int key : keys)
        sendKey(window, type, key);
}
