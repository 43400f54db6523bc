// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include "windowprobe.h"

#include <QBitmap>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QRectF>
#include <QRegion>
#include <QRgb>
#include <QTest>

WindowProbe::WindowProbe()
{
    // Room for minutes of frames, in memory touched now, so that noting one
    // neither allocates nor grows resident memory while the benchmark
    // measures them.
    m_frames.resize(1 << 18);
    m_frames.clear();
    m_clock.start();
}

bool WindowProbe::showActive()
{
    show();
    requestActivate();
    // Not QTest::qWaitForWindowActive, which warns where Qt cannot activate
    // windows itself (Wayland), although the window system may.
    return QTest::qWaitFor([this] { return isActive(); }) && !nextFrame().isNull();
}

QImage WindowProbe::nextFrame()
{
    m_captureNext = true;
    return QTest::qWaitFor([this] { return !m_captureNext; }) ? m_capture : QImage();
}

Ms WindowProbe::frameTime(Ms start)
{
    const Ms time = OpenGLWindow::frameTime(start) * m_timeScale;
    m_frames.append({ m_clock.nsecsElapsed(), time.count() });
    return time;
}

void WindowProbe::paintOverGL()
{
    if (m_captureNext) {
        m_capture = grabFramebuffer();
        m_captureNext = false;
    }
}

QPointF squareCentre(const QImage &frame)
{
    // The red pixels are the set bits of this mask (with Qt::MaskOutColor,
    // those of the given colour).
    const QImage red
            = frame.convertToFormat(QImage::Format_RGB32).createMaskFromColor(qRgb(255, 0, 0), Qt::MaskOutColor);
    const QPointF centre = QRectF(QRegion(QBitmap::fromImage(red)).boundingRect()).center();
    return { centre.x() * 100 / frame.width(), centre.y() * 100 / frame.height() };
}

void sendKeys(QWindow *window, QEvent::Type type, const QList<int> &keys)
{
    for (int key : keys) {
        QKeyEvent event(type, key, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &event);
    }
}
