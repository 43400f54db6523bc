// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include <QCoreApplication>
#include <QFocusEvent>
#include <QImage>
#include <QList>
#include <QPointF>
#include <QRectF>
#include <QRgb>
#include <QtTest>

#include "windowprobe.h"

class tst_OpenGLWindow : public QObject
{
    Q_OBJECT

public:
    // Called before the application object exists, as the program's main does.
    static void initMain() { OpenGLWindow::configureProcess(); }

private slots:
    void drawsSquareStretchedToWindow_data();
    void drawsSquareStretchedToWindow();
    void movesWhileKeysAreHeld_data();
    void movesWhileKeysAreHeld();
};

void tst_OpenGLWindow::drawsSquareStretchedToWindow_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("500 x 500, the size it opens with") << QSize(500, 500);
    QTest::newRow("800 x 400") << QSize(800, 400);
    QTest::newRow("1 x 1") << QSize(1, 1);
}

void tst_OpenGLWindow::drawsSquareStretchedToWindow()
{
    QFETCH(QSize, size);
    WindowProbe window;
    // It opens 500 x 500 with its title and asks for a frame per refresh.
    QCOMPARE(window.title(), QStringLiteral("QOpenGLWindow, OpenGL 2.1, C++"));
    QCOMPARE(window.size(), QSize(500, 500));
    QCOMPARE(window.requestedFormat().swapInterval(), 1);
    // Hidden and shown again first, so the frame loop must also have started
    // again by itself.
    QVERIFY(window.showActive());
    window.prepareToHide();
    window.hide();
    window.show();
    window.resize(size);
    const QSizeF deviceSize = QSizeF(size) * window.devicePixelRatio();
    if (deviceSize != deviceSize.toSize())
        QSKIP("At this scale the window has fractional device pixels: Qt's viewport and framebuffer round them apart.");
    // Three frames of the new size: after a show, the expose and a frame held
    // before the hide may draw one each, but only a running frame loop draws
    // a third. A reparenting window manager may still resize the window behind
    // Qt's back for a moment; frames of another size are its doing. (Not
    // QTRY_COMPARE: it would wait for a frame at every try.)
    QImage frame;
    for (int i = 0; i < 3; ++i) {
        const bool sized = QTest::qWaitFor([&] {
            frame = window.nextFrame();
            return frame.isNull() || frame.size() == deviceSize.toSize();
        });
        QVERIFY(!frame.isNull());
        if (!sized) // a tiling one, say
            QSKIP("The window manager keeps the window at another size.");
    }

    // The 5 x 5 square in the middle of the 100 x 100 world, stretched: every
    // device pixel whose centre lies inside it is red, every other one dark
    // grey, but for centres on its very edge (within the rasteriser's
    // precision).
    const QRectF square(0.475 * frame.width(), 0.475 * frame.height(), 0.05 * frame.width(), 0.05 * frame.height());
    const qreal edge = 1.0 / 64;
    int wrong = 0;
    for (int y = 0; y < frame.height(); ++y) {
        for (int x = 0; x < frame.width(); ++x) {
            if (square.adjusted(edge, edge, -edge, -edge).contains(QPointF(x + 0.5, y + 0.5)))
                wrong += frame.pixel(x, y) != qRgb(255, 0, 0);
            else if (!square.adjusted(-edge, -edge, edge, edge).contains(QPointF(x + 0.5, y + 0.5)))
                wrong += frame.pixel(x, y) != qRgb(51, 51, 51);
        }
    }
    QCOMPARE(wrong, 0);
}

void tst_OpenGLWindow::movesWhileKeysAreHeld_data()
{
    QTest::addColumn<QList<int>>("pressed");
    QTest::addColumn<QList<int>>("released");
    QTest::addColumn<QPointF>("velocity"); // world units per second while held
    QTest::addColumn<double>("timeScale"); // of the times frames are for

    const auto row = [](const char *name, const QList<int> &pressed, QPointF velocity, const QList<int> &released,
                        double timeScale = 1) { QTest::newRow(name) << pressed << released << velocity << timeScale; };
    // Each key's direction is checked alone or beside a key whose direction
    // another row checks, and each row catches a fault that no other does.
    const QPointF up(0, -50), left(-50, 0), down(0, 50), right(50, 0), still;
    const QList<int> otherKeys { Qt::Key_Space, Qt::Key_Escape, Qt::Key_1, Qt::Key_Shift };
    row("A", { Qt::Key_A }, left, { Qt::Key_A });
    row("Left", { Qt::Key_Left }, left, { Qt::Key_Left });
    row("Down", { Qt::Key_Down }, down, { Qt::Key_Down });
    row("W held, other keys pressed", QList<int> { Qt::Key_W } + otherKeys, up, QList<int> { Qt::Key_W } + otherKeys);
    row("other keys", otherKeys, still, otherKeys);
    row("W and S cancel", { Qt::Key_W, Qt::Key_S }, still, { Qt::Key_W, Qt::Key_S });
    row("W and D, full speed on each axis", { Qt::Key_W, Qt::Key_D }, up + right, { Qt::Key_W, Qt::Key_D });
    // A letter key and its arrow key act as one key.
    row("W and Up, no faster than one", { Qt::Key_W, Qt::Key_Up }, up, { Qt::Key_W, Qt::Key_Up });
    row("W held, Up released", { Qt::Key_W }, up, { Qt::Key_Up });
    row("Up held, W released", { Qt::Key_Up }, up, { Qt::Key_W });
    // No release: the releases of keys held go to the window that takes the focus.
    row("D held, focus lost", { Qt::Key_D }, right, {});
    // The square moves by the time each frame is for, which where the display
    // paces the loop is when it is shown, not when it starts.
    row("Right, frames for times 1.5 times as far apart as their starts", { Qt::Key_Right }, right, { Qt::Key_Right },
        1.5);
}

void tst_OpenGLWindow::movesWhileKeysAreHeld()
{
    QFETCH(QList<int>, pressed);
    QFETCH(QList<int>, released);
    QFETCH(QPointF, velocity);
    QFETCH(double, timeScale);
    WindowProbe window;
    window.setTimeScale(timeScale);
    QVERIFY(window.showActive());

    const QPointF start = squareCentre(window.nextFrame());
    const int pressedAt = window.framesDrawn();
    sendKeys(&window, QEvent::KeyPress, pressed);
    QTest::qWait(500);
    const int releasedAt = window.framesDrawn();
    sendKeys(&window, QEvent::KeyRelease, released);
    QFocusEvent focusOut(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    if (released.isEmpty())
        QCoreApplication::sendEvent(&window, &focusOut);
    const QPointF end = squareCentre(window.nextFrame());

    // The frames drawn while held move the square by exactly the time they
    // count, give or take a pixel (0.2 units) at each end of the measurement.
    // That is the time that passed, but for the refreshes by which, with
    // vsync, the frames shown at either end follow their starts: up to three
    // refreshes (a frame's own and two for frames waiting before it), 50 ms
    // at 60 Hz, in the clock's own time, before the scale.
    const double counted = window.secondsCounted(pressedAt, releasedAt);
    const double elapsed = window.secondsElapsed(pressedAt, releasedAt);
    QVERIFY2(qAbs(counted / timeScale - elapsed) < 0.06,
             qPrintable(QString::asprintf("%.3f s counted, %.3f s passed", counted, elapsed)));
    const QPointF expected = velocity * counted;
    const QPointF moved = end - start;
    const auto near = [](double got, double want) { return qAbs(got - want) <= 0.01 * qAbs(want) + 0.25; };
    QVERIFY2(near(moved.x(), expected.x()) && near(moved.y(), expected.y()),
             qPrintable(QDebug::toString(moved) + " moved, expected " + QDebug::toString(expected)));

    QTest::qWait(100);
    QCOMPARE(squareCentre(window.nextFrame()), end);
}

QTEST_MAIN(tst_OpenGLWindow)
#include "tst_openglwindow.moc"
