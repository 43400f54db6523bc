// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include <QByteArray>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScopedPointer>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

#include <xcb/xcb.h>

namespace {

// xcb's replies are malloc'ed.
template <typename Reply>
using XcbReply = QScopedPointer<Reply, QScopedPointerPodDeleter>;

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const auto cookie = xcb_intern_atom(connection, false, uint16_t(qstrlen(name)), name);
    const XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookie, nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The window whose _NET_WM_PID is `pid` among the descendants of `parent`,
// wherever a window manager has put it, if any.
xcb_window_t windowOfProcess(xcb_connection_t *connection, xcb_window_t parent, qint64 pid)
{
    const XcbReply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(connection, xcb_query_tree(connection, parent), nullptr));
    for (int i = 0; tree && i < xcb_query_tree_children_length(tree.get()); ++i) {
        const xcb_window_t window = xcb_query_tree_children(tree.get())[i];
        const auto cookie
                = xcb_get_property(connection, false, window, atom(connection, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 0, 1);
        const XcbReply<xcb_get_property_reply_t> property(xcb_get_property_reply(connection, cookie, nullptr));
        if (property && xcb_get_property_value_length(property.get()) == 4
            && *static_cast<const quint32 *>(xcb_get_property_value(property.get())) == quint32(pid))
            return window;
        if (const xcb_window_t found = windowOfProcess(connection, window, pid))
            return found;
    }
    return XCB_WINDOW_NONE;
}

} // namespace

// The program as a process: how it starts and how it ends.
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
    QTest::newRow("draws, then closed as a window manager closes it") << true;
    QTest::newRow("without GL, exits with a message") << false;
}

void tst_Lifecycle::runsThenExits()
{
    QFETCH(bool, withGL);
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    // XWayland, whose screens Qt names after it, leaves its root window's pixels black.
    if (!x11 || QGuiApplication::primaryScreen()->name().startsWith("XWAYLAND"))
        QSKIP("The program's pixels and window are reached through an X server; this session's is Wayland.");
    // The packaging test points this at the program unpacked from the package.
    QProcess program;
    program.setProgram(qEnvironmentVariable("GLSQUARE_EXECUTABLE", QStringLiteral(GLSQUARE_EXECUTABLE)));
    const QTemporaryDir runtimeDir;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", runtimeDir.path()); // as in a desktop session; Qt warns without it
    environment.insert("QT_QPA_PLATFORM", "xcb");
    if (!withGL)
        environment.insert("QT_XCB_GL_INTEGRATION", "none");
    program.setProcessEnvironment(environment);
    program.start();
    if (withGL) {
        xcb_connection_t *connection = x11->connection();
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        QTRY_VERIFY(windowOfProcess(connection, root, program.processId()) != XCB_WINDOW_NONE);
        const xcb_window_t window = windowOfProcess(connection, root, program.processId());
        const auto pixel = [window](int x, int y) {
            return QGuiApplication::primaryScreen()->grabWindow(window, x, y, 1, 1).toImage().pixel(0, 0);
        };
        QTRY_COMPARE(pixel(250, 250), qRgb(255, 0, 0)); // the red square, centred
        QCOMPARE(pixel(5, 5), qRgb(51, 51, 51));        // on dark grey

        // Closed the way a window manager closes it, with WM_DELETE_WINDOW.
        xcb_client_message_event_t message { XCB_CLIENT_MESSAGE, 32, 0, window, atom(connection, "WM_PROTOCOLS"), {} };
        message.data.data32[0] = atom(connection, "WM_DELETE_WINDOW");
        xcb_send_event(connection, false, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&message));
        xcb_flush(connection);
    }
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    const QByteArray errors = program.readAllStandardError();
    QVERIFY2(withGL ? errors.isEmpty() : errors.contains("OpenGL could not be initialised"), errors.constData());
    QCOMPARE(program.exitCode(), withGL ? 0 : 1);
}

QTEST_MAIN(tst_Lifecycle)
#include "tst_lifecycle.moc"
