// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <QElapsedTimer>
#include <QMap>
#include <QMatrix4x4>
#include <QOpenGLBuffer>
#include <QOpenGLFunctions>
#include <QOpenGLShaderProgram>
#include <QOpenGLWindow>
#include <QTimer>

#include "frameclock.h"
#include "timing.h"

class QCloseEvent;
class QEvent;
class QEventLoop;
class QFocusEvent;
class QKeyEvent;

// Draws a red square on dark grey in a 100 x 100 world, stretched to the
// window, and moves it while W, A, S, D or an arrow key is held.
class OpenGLWindow : public QOpenGLWindow, private QOpenGLFunctions
{
    Q_OBJECT

public:
    explicit OpenGLWindow(QWindow *parent = nullptr);

    // Process-wide settings the window's frame pacing relies on: call once,
    // before the application object exists.
    static void configureProcess();

    // Makes hiding or destroying the window safe now. Call it before either,
    // but for closing the window, which calls it itself.
    void prepareToHide();

protected:
    // The time the frame starting at `start` is for: the square is drawn
    // where it is then.
    virtual Ms frameTime(Ms start) { return m_frameClock.frameStarted(start); }

    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    void setKeyPairHeld(int key, bool held);
    bool holdFrame();
    Ms now() const { return std::chrono::nanoseconds(m_timer.nsecsElapsed()); }

    QOpenGLShaderProgram m_program;
    QOpenGLBuffer m_vbo;
    int m_mvpMatrixLoc = -1;
    QMatrix4x4 m_projMatrix;
    QMatrix4x4 m_viewMatrix;
    QMatrix4x4 m_projViewMatrix;
    QMatrix4x4 m_modelMatrix;
    QMatrix4x4 m_mvpMatrix;
    float m_x = 50.0f;
    float m_y = 50.0f;
    float m_speed = 50.0f;
    QElapsedTimer m_timer; // the frame clock's time
    float m_dt = 0.0f;
    QMap<int, bool> m_keys;
    FrameClock m_frameClock;
    Ms m_lastFrame {}; // the time the frame drawn last is for
    QTimer m_frameDelay;
    bool m_frameHeld = false;                // the next frame is one that was held
    QEventLoop *m_preparingToHide = nullptr; // waits for an update request, drawing nothing
};
