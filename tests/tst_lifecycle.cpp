// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include <QByteArray>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QPoint>
#include <QPointF>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScopedPointer>
#include <QScreen>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <xcb/xcb.h>

#include "windowprobe.h"

namespace {

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const auto cookie = xcb_intern_atom(connection, false, uint16_t(qstrlen(name)), name);
    // xcb's replies are malloc'ed.
    const QScopedPointer<xcb_intern_atom_reply_t, QScopedPointerPodDeleter> reply(
            xcb_intern_atom_reply(connection, cookie, nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// Runs one of the window system's tools; true if it succeeded. Not with the
// sanitizer runtime that the tests may be preloaded with: its leak check would
// fail the tool.
bool run(const QString &tool, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start("env", QStringList { "-u", "LD_PRELOAD", tool } + arguments);
    const bool succeeded = process.waitForFinished() && process.exitCode() == 0;
    if (output)
        *output = process.readAllStandardOutput();
    return succeeded;
}

} // namespace

// The program as a process, used from outside as a user uses it: how it
// starts, takes keys and ends.
class tst_Lifecycle : public QObject
{
    Q_OBJECT

private slots:
    void runsThenExits_data();
    void runsThenExits();
};

void tst_Lifecycle::runsThenExits_data()
{
    QTest::addColumn<bool>("withGL");
    QTest::addColumn<bool>("keys");
    QTest::newRow("draws, then closed as the user closes it") << true << false;
    QTest::newRow("without GL, exits with a message") << false << false;
    QTest::newRow("a key held through the compositor moves the square until the focus leaves") << true << true;
}

void tst_Lifecycle::runsThenExits()
{
    QFETCH(bool, withGL);
    QFETCH(bool, keys);
    const bool sway = QGuiApplication::platformName() == "wayland" && qEnvironmentVariableIsSet("SWAYSOCK");
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    // XWayland, whose screens Qt names after it, leaves its root window's pixels black.
    if (!sway && (!x11 || QGuiApplication::primaryScreen()->name().startsWith("XWAYLAND")))
        QSKIP("The program's pixels and window are reached through an X server or sway; this session has neither.");
    if (keys && !sway)
        QSKIP("Keys go through the compositor with wtype, under sway only; the window test sends them to the window.");
    // The packaging test points this at the program unpacked from the package.
    QProcess program;
    program.setProgram(qEnvironmentVariable("GLSQUARE_EXECUTABLE", QStringLiteral(GLSQUARE_EXECUTABLE)));
    const QTemporaryDir runtimeDir;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", sway ? "wayland" : "xcb");
    if (!sway) // as in a desktop session; Qt warns without it
        environment.insert("XDG_RUNTIME_DIR", runtimeDir.path());
    if (!withGL)
        environment.insert(sway ? "QT_WAYLAND_CLIENT_BUFFER_INTEGRATION" : "QT_XCB_GL_INTEGRATION", "none");
    program.setProcessEnvironment(environment);
    program.start();
    if (withGL) {
        // The window, found by its process; under sway made full screen, so
        // that the screen shows nothing else.
        const QString criteria = QString("[pid=%1]").arg(program.processId());
        QByteArray windowId;
        if (sway)
            QTRY_VERIFY(run("swaymsg", { criteria + " fullscreen enable" }));
        else
            QTRY_VERIFY(run("xdotool", { "search", "--onlyvisible", "--pid", QString::number(program.processId()) },
                            &windowId));
        const xcb_window_t window = windowId.trimmed().toUInt();
        const auto shown = [&] {
            QByteArray screenshot;
            return sway ? (run("grim", { "-" }, &screenshot), QImage::fromData(screenshot))
                        : QGuiApplication::primaryScreen()->grabWindow(window).toImage();
        };
        // The square, centred (in world units, to a pixel).
        QTRY_COMPARE(squareCentre(shown()).toPoint(), QPoint(50, 50));
        // The ID that docks and software centres match with the desktop file.
        const QString appId = QStringLiteral(GLSQUARE_APP_ID);
        QVERIFY2(!sway || run("swaymsg", { criteria.chopped(1) + " app_id=" + appId + "] focus" }),
                 qPrintable("The window's app_id is not " + appId));
        if (keys) {
            // D held from 0.2 s to 1.7 s, past the compositor's key repeat
            // delay; the focus elsewhere from 1.1 s to 1.4 s.
            QProcess typist;
            typist.start("wtype", { "-s", "200", "-P", "d", "-s", "1500", "-p", "d" });
            QTest::qWait(1100);
            QVERIFY(run("swaymsg", { "workspace elsewhere" }));
            QTest::qWait(300);
            QVERIFY(run("swaymsg", { "workspace back_and_forth" }));
            QTest::qWait(200);
            const QPointF stopped = squareCentre(shown());
            QTest::qWait(400);
            // About 45 units to the right, then no further.
            QVERIFY2(stopped.x() > 75 && qRound(stopped.y()) == 50, qPrintable(QDebug::toString(stopped)));
            QCOMPARE(squareCentre(shown()), stopped);
            typist.waitForFinished();
        }
        if (sway) {
            QVERIFY(run("swaymsg", { criteria + " kill" }));
        } else { // as a window manager closes it, with WM_DELETE_WINDOW
            xcb_connection_t *connection = x11->connection();
            xcb_client_message_event_t message {
                XCB_CLIENT_MESSAGE, 32, 0, window, atom(connection, "WM_PROTOCOLS"), {}
            };
            message.data.data32[0] = atom(connection, "WM_DELETE_WINDOW");
            xcb_send_event(connection, false, window, XCB_EVENT_MASK_NO_EVENT,
                           reinterpret_cast<const char *>(&message));
            xcb_flush(connection);
        }
    }
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    const QByteArray errors = program.readAllStandardError();
    QVERIFY2(withGL ? errors.isEmpty() : errors.contains("OpenGL could not be initialised"), errors.constData());
    QCOMPARE(program.exitCode(), withGL ? 0 : 1);
}

QTEST_MAIN(tst_Lifecycle)
#include "tst_lifecycle.moc"
