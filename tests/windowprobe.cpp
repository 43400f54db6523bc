#include "windowprobe.h"

#include <QColor>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QRectF>
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
    QRect area;
    for (int y = 0; y < frame.height(); ++y) {
        for (int x = 0; x < frame.width(); ++x) {
            const QColor c = frame.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 60 && c.blue() < 60)
                area |= QRect(x, y, 1, 1);
        }
    }
    return area;
}

QPointF squareCentre(const QImage &frame)
{
    const QPointF centre = QRectF(redArea(frame)).center();
    return QPointF(centre.x() * 100 / frame.width(), centre.y() * 100 / frame.height());
}

void sendKeys(QWindow *window, QEvent::Type type, const QList<int> &keys)
{
    for (int key : keys) {
        QKeyEvent event(type, key, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &event);
    }
}
