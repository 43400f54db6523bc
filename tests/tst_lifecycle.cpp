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
#include <QRgb>
#include <QScopeGuard>
#include <QScopedPointer>
#include <QScreen>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <utility>

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
    // Whatever the test's outcome, no process it started outlives it.
    QProcess program, keyboard, typist;
    const auto endAll = qScopeGuard([&] {
        for (QProcess *process : { &program, &keyboard, &typist }) {
            process->kill();
            process->waitForFinished();
        }
    });
    if (keys) {
        // A keyboard for the seat before the program starts, so that Qt has
        // set it up by the time a key comes: a key pressed while a new
        // keyboard is being set up reaches Qt only as held when the focus
        // came, which moves nothing.
        keyboard.start("wtype", { "-s", "600000" });
        const auto keyboardListed = [] {
            QByteArray inputs;
            return run("swaymsg", { "-t", "get_inputs" }, &inputs) && inputs.contains("\"keyboard\"");
        };
        QVERIFY(QTest::qWaitFor(keyboardListed));
    }
    // The packaging test points this at the program unpacked from the package.
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
        // The window, found by its process once it is shown; under sway made
        // full screen, so that the screen shows nothing else. Each wait runs
        // its tool once a try and takes the first success (not QTRY_VERIFY,
        // which runs it again after): xdotool exits with an X error when a
        // window it walks past is destroyed meanwhile, as one is by the
        // program's GL set-up right after its window is mapped.
        const QString criteria = QString("[pid=%1]").arg(program.processId());
        QByteArray windowId;
        QVERIFY2(QTest::qWaitFor([&] {
                     return sway ? run("swaymsg", { criteria + " fullscreen enable" })
                                 : run("xdotool",
                                       { "search", "--onlyvisible", "--pid", QString::number(program.processId()) },
                                       &windowId);
                 }),
                 "The program showed no window.");
        const xcb_window_t window = windowId.trimmed().toUInt();
        // The square's centre as shown, and as shown the try before, and
        // whether the window filled the screen then (its dark grey in the
        // corner), until `when` holds of them.
        QPointF centre, before;
        bool filled = false, filledBefore = false;
        const auto waitUntilShown = [&](auto when) {
            return QTest::qWaitFor([&] {
                QByteArray screenshot;
                const QImage shown = sway ? (run("grim", { "-" }, &screenshot), QImage::fromData(screenshot))
                                          : QGuiApplication::primaryScreen()->grabWindow(window).toImage();
                before = std::exchange(centre, squareCentre(shown));
                filledBefore = std::exchange(filled, !shown.isNull() && shown.pixel(0, 0) == qRgb(51, 51, 51));
                return when();
            });
        };
        // The square, centred (in world units, to a pixel).
        QVERIFY2(waitUntilShown([&] { return filled && centre.toPoint() == QPoint(50, 50); }),
                 qPrintable(QDebug::toString(centre)));
        // The ID that docks and software centres match with the desktop file.
        const QString appId = QStringLiteral(GLSQUARE_APP_ID);
        QVERIFY2(!sway || run("swaymsg", { criteria.chopped(1) + " app_id=" + appId + "] focus" }),
                 qPrintable("The window's app_id is not " + appId));
        if (keys) {
            // D held: the square moves right. The window out of full screen
            // and the focus to the workspace while it is held: the square
            // stops (the same in two screenshots in a row), and stays where
            // it stopped, in view, when the window is full screen again.
            // Qt acts on a focus that leaves only if it does not come back
            // at once.
            typist.start("wtype", { "-P", "d", "-s", "600000" });
            QVERIFY2(waitUntilShown([&] { return filled && centre.x() > 55; }), qPrintable(QDebug::toString(centre)));
            QVERIFY(run("swaymsg", { criteria + " fullscreen disable, focus parent" }));
            QVERIFY(waitUntilShown([&] { return centre == before && !centre.isNull(); }));
            QVERIFY(run("swaymsg", { criteria + " fullscreen enable" }));
            QVERIFY(waitUntilShown([&] { return filled && filledBefore && centre == before; }));
            QVERIFY2(centre.x() > 55 && centre.x() < 95, qPrintable(QDebug::toString(centre)));
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
