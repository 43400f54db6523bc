// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include <QColor>
#include <QImage>
#include <QList>
#include <QPointF>
#include <QRect>
#include <QtTest>

#include "openglwindow.h"
#include "windowprobe.h"

namespace {

QString describe(const QRect &r)
{
    return QStringLiteral("%1 x %2 at (%3, %4)").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
}

} // namespace

class tst_OpenGLWindow : public QObject
{
    Q_OBJECT

private slots:
    void opensWithTitleSizeAndVsync();
    void drawsSquareStretchedToWindow_data();
    void drawsSquareStretchedToWindow();
    void movesWhileKeysAreHeld_data();
    void movesWhileKeysAreHeld();
    void stopsWhenFocusIsLost();
};

void tst_OpenGLWindow::opensWithTitleSizeAndVsync()
{
    OpenGLWindow window;
    QCOMPARE(window.title(), QStringLiteral("QOpenGLWindow, OpenGL 2.1, C++"));
    QCOMPARE(window.size(), QSize(500, 500));
    QCOMPARE(window.requestedFormat().swapInterval(), 1);
}

void tst_OpenGLWindow::drawsSquareStretchedToWindow_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("square");
    QTest::newRow("first frame, 500 x 500") << QSize(500, 500) << QRect(237, 237, 25, 25);
    QTest::newRow("resized to 800 x 400") << QSize(800, 400) << QRect(380, 190, 40, 20);
}

void tst_OpenGLWindow::drawsSquareStretchedToWindow()
{
    QFETCH(QSize, size);
    QFETCH(QRect, square);
    WindowProbe window;
    QVERIFY(window.showActive());
    window.resize(size);
    QTRY_COMPARE(window.nextFrame().size(), size);

    const QImage frame = window.nextFrame();
    const QColor darkGrey(51, 51, 51);
    QCOMPARE(frame.pixelColor(0, 0), darkGrey);
    QCOMPARE(frame.pixelColor(size.width() - 1, size.height() - 1), darkGrey);
    // Edges may round either way by a pixel.
    const QRect found = redArea(frame);
    const QMargins slack(1, 1, 1, 1);
    QVERIFY2(found.contains(square - slack) && (square + slack).contains(found),
             qPrintable(QStringLiteral("red square is %1, expected %2").arg(describe(found), describe(square))));
}

void tst_OpenGLWindow::movesWhileKeysAreHeld_data()
{
    QTest::addColumn<QList<int>>("pressed");
    QTest::addColumn<QList<int>>("released");
    QTest::addColumn<QPointF>("velocity"); // world units per second while held

    const auto row = [](const char *name, const QList<int> &pressed, QPointF velocity, const QList<int> &released) {
        QTest::newRow(name) << pressed << released << velocity;
    };
    const QPointF up(0, -50), left(-50, 0), down(0, 50), right(50, 0), still;
    row("W", { Qt::Key_W }, up, { Qt::Key_W });
    row("A", { Qt::Key_A }, left, { Qt::Key_A });
    row("S", { Qt::Key_S }, down, { Qt::Key_S });
    row("D", { Qt::Key_D }, right, { Qt::Key_D });
    row("Up", { Qt::Key_Up }, up, { Qt::Key_Up });
    row("Left", { Qt::Key_Left }, left, { Qt::Key_Left });
    row("Down", { Qt::Key_Down }, down, { Qt::Key_Down });
    row("Right", { Qt::Key_Right }, right, { Qt::Key_Right });
    row("W and Up, no faster than one", { Qt::Key_W, Qt::Key_Up }, up, { Qt::Key_W, Qt::Key_Up });
    row("W and S cancel", { Qt::Key_W, Qt::Key_S }, still, { Qt::Key_W, Qt::Key_S });
    row("W and D, full speed on each axis", { Qt::Key_W, Qt::Key_D }, up + right, { Qt::Key_W, Qt::Key_D });
    row("Space", { Qt::Key_Space }, still, { Qt::Key_Space });
    row("Escape", { Qt::Key_Escape }, still, { Qt::Key_Escape });
    row("digit", { Qt::Key_1 }, still, { Qt::Key_1 });
    row("Shift", { Qt::Key_Shift }, still, { Qt::Key_Shift });
    // A letter key and its arrow key act as one: releasing either stops both.
    row("W held, Up released", { Qt::Key_W }, up, { Qt::Key_Up });
    row("Up held, W released", { Qt::Key_Up }, up, { Qt::Key_W });
}

void tst_OpenGLWindow::movesWhileKeysAreHeld()
{
    QFETCH(QList<int>, pressed);
    QFETCH(QList<int>, released);
    QFETCH(QPointF, velocity);
    WindowProbe window;
    QVERIFY(window.showActive());

    const QPointF start = squareCentre(window.nextFrame());
    const int pressedAt = window.framesDrawn();
    sendKeys(&window, QEvent::KeyPress, pressed);
    QTest::qWait(500);
    const int releasedAt = window.framesDrawn();
    sendKeys(&window, QEvent::KeyRelease, released);
    const QPointF end = squareCentre(window.nextFrame());

    // The frames drawn while held move the square by exactly the time they
    // count, give or take a pixel (0.2 units) at each end of the measurement.
    const QPointF expected = velocity * window.secondsCounted(pressedAt, releasedAt);
    const QPointF moved = end - start;
    const auto near = [](double got, double want) { return qAbs(got - want) <= 0.01 * qAbs(want) + 0.25; };
    QVERIFY2(near(moved.x(), expected.x()) && near(moved.y(), expected.y()),
             qPrintable(QString::asprintf("moved by (%g, %g), expected (%g, %g)", moved.x(), moved.y(), expected.x(),
                                          expected.y())));

    QTest::qWait(100);
    QCOMPARE(squareCentre(window.nextFrame()), end);
}

void tst_OpenGLWindow::stopsWhenFocusIsLost()
{
    WindowProbe window;
    QVERIFY(window.showActive());
    QTest::keyPress(&window, Qt::Key_D);
    QTest::qWait(100);

    // The release of D would go to this other window.
    QWindow other;
    other.setGeometry(600, 0, 100, 100);
    other.show();
    other.requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&other));

    const QPointF stopped = squareCentre(window.nextFrame());
    QVERIFY(stopped.x() > 51);
    QTest::qWait(200);
    QCOMPARE(squareCentre(window.nextFrame()), stopped);
}

QTEST_MAIN(tst_OpenGLWindow)
#include "tst_openglwindow.moc"
