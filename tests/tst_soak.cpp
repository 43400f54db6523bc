// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include <QElapsedTimer>
#include <QImage>
#include <QList>
#include <QPointF>
#include <QRandomGenerator>
#include <QSize>
#include <QtTest>

#include "windowprobe.h"

namespace {

// What the window should make of the input it received: a letter key and its
// arrow key move one way and are held or released together; a focus loss
// releases everything.
class KeyModel
{
public:
    void apply(const WindowProbe::Input &input)
    {
        for (int d = 0; d < 4; ++d) {
            if (input.type == QEvent::FocusOut)
                m_held[d] = false;
            else if (input.key == directions[d].letterKey || input.key == directions[d].arrowKey)
                m_held[d] = input.type == QEvent::KeyPress;
        }
    }

    bool anyHeld() const { return m_held[0] || m_held[1] || m_held[2] || m_held[3]; }

    QPointF velocity() const
    {
        QPointF velocity;
        for (int d = 0; d < 4; ++d) {
            if (m_held[d])
                velocity += directions[d].step * 50;
        }
        return velocity;
    }

    static constexpr struct
    {
        int letterKey;
        int arrowKey;
        QPointF step;
    } directions[4] = { { Qt::Key_W, Qt::Key_Up, { 0, -1 } },
                        { Qt::Key_A, Qt::Key_Left, { -1, 0 } },
                        { Qt::Key_S, Qt::Key_Down, { 0, 1 } },
                        { Qt::Key_D, Qt::Key_Right, { 1, 0 } } };

private:
    bool m_held[4] = {};
};

// Replays what the window received against the time its frames counted.
struct Expected
{
    QPointF position;
    bool moving;
};

Expected expected(const WindowProbe &window)
{
    KeyModel keys;
    Expected e { QPointF(50, 50), false };
    const QList<WindowProbe::Frame> &frames = window.frames();
    const QList<WindowProbe::Input> &inputs = window.inputs();
    int next = 0;
    for (int i = 0; i < frames.size(); ++i) {
        for (; next < inputs.size() && inputs.at(next).frame <= i; ++next)
            keys.apply(inputs.at(next));
        if (i > 0)
            e.position += keys.velocity() * (double(frames.at(i).startNs - frames.at(i - 1).startNs) / 1e9);
    }
    for (; next < inputs.size(); ++next)
        keys.apply(inputs.at(next));
    e.moving = keys.anyHeld();
    return e;
}

void releaseMovementKeys(QWindow *window)
{
    for (const auto &direction : KeyModel::directions)
        sendKey(window, QEvent::KeyRelease, direction.letterKey);
}

} // namespace

class tst_Soak : public QObject
{
    Q_OBJECT

private slots:
    void survivesEventStorm();
};

// Runs for SOAK_SECONDS (20 by default); SOAK_SEED repeats a run.
void tst_Soak::survivesEventStorm()
{
    const quint32 seed = qEnvironmentVariableIsSet("SOAK_SEED") ? quint32(qEnvironmentVariable("SOAK_SEED").toUInt())
                                                                : QRandomGenerator::global()->generate();
    const int seconds = qEnvironmentVariableIsSet("SOAK_SECONDS") ? qEnvironmentVariableIntValue("SOAK_SECONDS") : 20;
    qInfo("Soak for %d s with SOAK_SEED=%u", seconds, seed);
    QRandomGenerator random(seed);

    WindowProbe window;
    QVERIFY(window.showActive());
    QWindow other; // takes the focus away
    other.setGeometry(0, 0, 50, 50);
    other.show();

    const QList<int> otherKeys { Qt::Key_Space,   Qt::Key_Escape,  Qt::Key_1, Qt::Key_Shift,
                                 Qt::Key_Control, Qt::Key_unknown, 0,         0x01ffffff };
    const QList<Qt::KeyboardModifiers> modifiers { Qt::NoModifier, Qt::ShiftModifier, Qt::ControlModifier,
                                                   Qt::AltModifier | Qt::KeypadModifier };
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000LL) {
        // Keep the square in view, so that where it ends can be seen.
        const QPointF position = expected(window).position;
        if (qAbs(position.x() - 50) > 30 || qAbs(position.y() - 50) > 30)
            releaseMovementKeys(&window);

        const auto type = random.bounded(2) ? QEvent::KeyPress : QEvent::KeyRelease;
        const Qt::KeyboardModifiers modifier = modifiers.at(random.bounded(int(modifiers.size())));
        const bool autoRepeat = random.bounded(4) == 0;
        switch (random.bounded(10)) {
        case 0:
        case 1:
        case 2: {
            const auto &direction = KeyModel::directions[random.bounded(4)];
            const int key = random.bounded(2) ? direction.letterKey : direction.arrowKey;
            if (QPointF::dotProduct(direction.step, position - QPointF(50, 50)) <= 0 || type == QEvent::KeyRelease)
                sendKey(&window, type, key, modifier, autoRepeat);
            break;
        }
        case 3:
            sendKey(&window, type, otherKeys.at(random.bounded(int(otherKeys.size()))), modifier, autoRepeat);
            break;
        case 4:
            window.resize(1 + random.bounded(4000), 1 + random.bounded(3000));
            break;
        case 5: {
            window.hide();
            QTest::qWait(random.bounded(100));
            const int drawn = window.framesDrawn();
            window.show();
            // The frame loop starts again by itself.
            QTRY_VERIFY_WITH_TIMEOUT(window.framesDrawn() >= drawn + 3, 5000);
            break;
        }
        case 6:
            window.showMinimized();
            QTest::qWait(random.bounded(50));
            window.showNormal();
            break;
        case 7:
            if (random.bounded(2))
                other.requestActivate();
            else
                window.requestActivate();
            break;
        default:
            if (!expected(window).moving && window.isExposed() && window.width() * window.height() <= 1 << 21) {
                const QImage before = window.nextFrame();
                QTest::qWait(30);
                const QImage after = window.nextFrame();
                // A resize asked for earlier may land in between; pixels then round differently.
                if (after.size() == before.size())
                    QCOMPARE(squareCentre(after), squareCentre(before));
            }
            break;
        }
        QTest::qWait(random.bounded(1, 30));
    }

    releaseMovementKeys(&window);
    window.showNormal();
    window.resize(500, 500);
    QTRY_COMPARE_WITH_TIMEOUT(window.nextFrame().size(), QSize(500, 500), 10000);
    const QPointF drawn = squareCentre(window.nextFrame());
    const QPointF modelled = expected(window).position;
    // Half a unit: a pixel is 0.2 units, and the program sums in float.
    QVERIFY2(qAbs(drawn.x() - modelled.x()) <= 0.5 && qAbs(drawn.y() - modelled.y()) <= 0.5,
             qPrintable(QString::asprintf("square at (%g, %g), model says (%g, %g); SOAK_SEED=%u", drawn.x(), drawn.y(),
                                          modelled.x(), modelled.y(), seed)));
    QVERIFY2(window.framesDrawn() > 100, "the frame loop stalled");
}

QTEST_MAIN(tst_Soak)
#include "tst_soak.moc"
