// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include "openglwindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QScreen>
#include <QString>
#include <QSurfaceFormat>
#include <QVector3D>

#include <algorithm>
#include <iterator>

namespace {

// Each direction has a letter key and an arrow key that act as one: pressing
// or releasing either of them presses or releases both.
struct Direction
{
    int letterKey;
    int arrowKey;
    float dx;
    float dy;
};

// In the order the frame applies them. Up is negative y: y grows downward.
constexpr Direction directions[] = {
    { Qt::Key_W, Qt::Key_Up, 0.0f, -1.0f },
    { Qt::Key_A, Qt::Key_Left, -1.0f, 0.0f },
    { Qt::Key_S, Qt::Key_Down, 0.0f, 1.0f },
    { Qt::Key_D, Qt::Key_Right, 1.0f, 0.0f },
};

// Two triangles covering the unit square centred on the origin.
// clang-format off
constexpr float squareVertices[] = {
    -0.5f, -0.5f, 0.0f,
    -0.5f, 0.5f, 0.0f,
    0.5f, -0.5f, 0.0f,
    0.5f, -0.5f, 0.0f,
    -0.5f, 0.5f, 0.0f,
    0.5f, 0.5f, 0.0f,
};
// clang-format on

} // namespace

OpenGLWindow::OpenGLWindow(QWindow *parent)
    : QOpenGLWindow(QOpenGLWindow::NoPartialUpdate, parent)
{
    resize(500, 500);
    setTitle(QString::fromUtf8("QOpenGLWindow, OpenGL 2.1, C++"));

    QSurfaceFormat format;
    format.setSwapInterval(1);
    setFormat(format);

    m_timer.start();
    m_frameDelay.setSingleShot(true);
    m_frameDelay.setTimerType(Qt::PreciseTimer);
    // A held frame is drawn when its time comes, without asking Qt for it
    // again, which would take another round of the event loop.
    connect(&m_frameDelay, &QTimer::timeout, this, [this] {
        if (isExposed()) {
            QEvent request(QEvent::UpdateRequest);
            QCoreApplication::sendEvent(this, &request);
        }
    });
}

void OpenGLWindow::configureProcess()
{
    // Qt waits before every update request: 5 ms, or from 6.8 5 ms scaled
    // down by the rate the screen reports. Either can be longer than a
    // refresh: of a display faster than about 190 Hz, or of one that reports
    // less than it refreshes at. holdFrame() decides every wait itself. Qt
    // reads this once, at the first update request.
    if (!qEnvironmentVariableIsSet("QT_QPA_UPDATE_IDLE_TIME"))
        qputenv("QT_QPA_UPDATE_IDLE_TIME", "0");
}

void OpenGLWindow::initializeGL()
{
    if (!isValid()) {
        qCritical("OpenGL could not be initialised: no OpenGL context could be created for the window.");
        // Queued, so that it ends the event loop even if the window is first
        // painted before the loop runs.
        QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
        return;
    }

    initializeOpenGLFunctions();
    glClearColor(0.2f, 0.2f, 0.2f, 1.0f);
    // Every presented frame asks for the next, paced by the swap interval.
    connect(this, SIGNAL(frameSwapped()), this, SLOT(update()));

    m_program.addShaderFromSourceFile(QOpenGLShader::Vertex, ":/assets/shaders/default.vert");
    m_program.addShaderFromSourceFile(QOpenGLShader::Fragment, ":/assets/shaders/default.frag");
    m_program.link();

    // The buffer binding and attribute set-up stay in the context for every frame.
    m_vbo.create();
    m_vbo.bind();
    m_vbo.allocate(squareVertices, sizeof(squareVertices));

    m_program.bind();
    const int positionLoc = m_program.attributeLocation("aPosition");
    m_program.setAttributeBuffer(positionLoc, GL_FLOAT, 0, 3, 0);
    m_program.enableAttributeArray(positionLoc);
    m_mvpMatrixLoc = m_program.uniformLocation("uMvpMatrix");

    // The 100 x 100 world with y growing downward, seen from 40 units in front.
    m_projMatrix.ortho(0.0f, 100.0f, 100.0f, 0.0f, 50.0f, 0.0f);
    m_viewMatrix.lookAt(QVector3D(0, 0, 40), QVector3D(0, 0, 0), QVector3D(0, 1, 0));
    m_projViewMatrix = m_projMatrix * m_viewMatrix;

    m_lastFrame = now();
}

void OpenGLWindow::resizeGL(int w, int h)
{
    // Qt calls this right after initializeGL, even when that found no context.
    if (!isValid())
        return;
    // The projection stays as it is: the world stretches to the window.
    glViewport(0, 0, w, h);
}

void OpenGLWindow::paintGL()
{
    // The square moves to where it is at the time this frame is for, read
    // before any GL call, which may wait for the driver to finish the last
    // frame. Not whole milliseconds, which would drop a fraction of every
    // frame and slow the square down at high frame rates.
    const Ms frame = frameTime(now());
    m_dt = float(std::chrono::duration<double>(frame - m_lastFrame).count());
    m_lastFrame = frame;

    glClear(GL_COLOR_BUFFER_BIT);

    const float step = m_speed * m_dt;
    for (const Direction &direction : directions) {
        if (m_keys[direction.letterKey] || m_keys[direction.arrowKey]) {
            m_x += direction.dx * step;
            m_y += direction.dy * step;
        }
    }

    m_modelMatrix.setToIdentity();
    m_modelMatrix.translate(m_x, m_y, 0.0f);
    m_modelMatrix.scale(5.0f, 5.0f, 1.0f);
    m_mvpMatrix = m_projViewMatrix * m_modelMatrix;

    m_program.bind();
    m_program.setUniformValue(m_mvpMatrixLoc, m_mvpMatrix);
    glDrawArrays(GL_TRIANGLES, 0, 6);
}

bool OpenGLWindow::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::Expose:
    case QEvent::Paint:
    case QEvent::UpdateRequest: {
        if (m_preparingToHide) {
            if (event->type() == QEvent::UpdateRequest)
                m_preparingToHide->quit();
            return true;
        }
        // Qt's own paint path makes GL calls before and after paintGL; without a
        // context they would crash, so nothing is painted until the loop ends.
        if (context() && !isValid())
            return true;
        if (event->type() == QEvent::UpdateRequest && holdFrame())
            return true;
        const bool handled = QOpenGLWindow::event(event);
        m_frameClock.frameSwapped(now()); // a frame drawn now has been swapped
        return handled;
    }
    default:
        return QOpenGLWindow::event(event);
    }
}

void OpenGLWindow::closeEvent(QCloseEvent *event)
{
    prepareToHide();
    QOpenGLWindow::closeEvent(event);
}

void OpenGLWindow::prepareToHide()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
    // Qt's Wayland client before 6.5 races with its frame thread when the
    // window is hidden or destroyed while the thread answers the last frame's
    // callback: the process aborts. Qt delivers an update request only once
    // no callback waits, and asks for the next only once the thread has let
    // go of the window: wait for two, drawing nothing, for no longer than Qt
    // waits for a callback before it takes the window as hidden.
    constexpr int callbackTimeoutMs = 100;
    if (QGuiApplication::platformName() != QLatin1String("wayland") || !isExposed() || m_preparingToHide)
        return;
    m_frameDelay.stop();
    const QDeadlineTimer deadline(callbackTimeoutMs);
    for (int requests = 0; requests < 2 && !deadline.hasExpired(); ++requests) {
        QEventLoop waiting;
        m_preparingToHide = &waiting;
        QTimer::singleShot(deadline.remainingTime(), &waiting, &QEventLoop::quit);
        requestUpdate();
        waiting.exec();
    }
    m_preparingToHide = nullptr;
#endif
}

// Holds the frame asked for now until the frame clock says it starts.
bool OpenGLWindow::holdFrame()
{
    if (m_frameHeld) {
        m_frameHeld = false;
        return false;
    }
    const QScreen *screen = this->screen();
    const int delayMs = m_frameClock.delayMs(now(), screen ? screen->refreshRate() : 0.0);
    if (delayMs < 1)
        return false;
    m_frameDelay.start(delayMs);
    m_frameHeld = true;
    return true;
}

void OpenGLWindow::keyPressEvent(QKeyEvent *event)
{
    setKeyPairHeld(event->key(), true);
}

void OpenGLWindow::keyReleaseEvent(QKeyEvent *event)
{
    setKeyPairHeld(event->key(), false);
}

void OpenGLWindow::focusOutEvent(QFocusEvent *event)
{
    // The releases of keys held now go to another window: stop the square.
    for (bool &held : m_keys)
        held = false;
    QOpenGLWindow::focusOutEvent(event);
}

void OpenGLWindow::setKeyPairHeld(int key, bool held)
{
    const auto direction = std::find_if(std::begin(directions), std::end(directions),
                                        [key](const Direction &d) { return key == d.letterKey || key == d.arrowKey; });
    if (direction == std::end(directions))
        return;
    m_keys[direction->letterKey] = held;
    m_keys[direction->arrowKey] = held;
}
