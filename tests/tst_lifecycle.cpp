// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <cstring>
#include <memory>

#include <xcb/xcb.h>

namespace {

template <typename Reply>
using XcbReply = std::unique_ptr<Reply, decltype(&std::free)>;

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const XcbReply<xcb_intern_atom_reply_t> reply(
            xcb_intern_atom_reply(connection, xcb_intern_atom(connection, false, uint16_t(qstrlen(name)), name),
                                  nullptr),
            &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The top-level window that the process `pid` has put on the screen, if any.
xcb_window_t windowOfProcess(xcb_connection_t *connection, qint64 pid)
{
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_atom_t pidAtom = atom(connection, "_NET_WM_PID");
    const XcbReply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr), &std::free);
    if (!tree)
        return XCB_WINDOW_NONE;
    const xcb_window_t *children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        const XcbReply<xcb_get_property_reply_t> property(
                xcb_get_property_reply(
                        connection, xcb_get_property(connection, false, children[i], pidAtom, XCB_ATOM_CARDINAL, 0, 1),
                        nullptr),
                &std::free);
        if (property && xcb_get_property_value_length(property.get()) == 4
            && *static_cast<const quint32 *>(xcb_get_property_value(property.get())) == quint32(pid))
            return children[i];
    }
    return XCB_WINDOW_NONE;
}

// One pixel of a window as 0xRRGGBB, on the 24-bit TrueColor visual that Xvfb
// and desktops use.
quint32 pixelOf(xcb_connection_t *connection, xcb_window_t window, int x, int y)
{
    const XcbReply<xcb_get_image_reply_t> image(
            xcb_get_image_reply(
                    connection,
                    xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, int16_t(x), int16_t(y), 1, 1, ~0u),
                    nullptr),
            &std::free);
    if (!image || xcb_get_image_data_length(image.get()) < 4)
        return 0;
    quint32 pixel = 0;
    std::memcpy(&pixel, xcb_get_image_data(image.get()), sizeof(pixel));
    return pixel & 0xffffff;
}

// Asks the window to close the way a window manager does, with WM_DELETE_WINDOW.
void sendDeleteWindow(xcb_connection_t *connection, xcb_window_t window)
{
    xcb_client_message_event_t message = {};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom(connection, "WM_PROTOCOLS");
    message.data.data32[0] = atom(connection, "WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection, false, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&message));
    xcb_flush(connection);
}

} // namespace

// The program as a process: how it starts and how it ends.
class tst_Lifecycle : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void withoutOpenGLExitsWithMessage_data();
    void withoutOpenGLExitsWithMessage();
    void drawsThenClosesCleanly();

private:
    QTemporaryDir m_runtimeDir;
    QProcess m_program;
};

void tst_Lifecycle::init()
{
    // As in a desktop session; without it Qt warns on stderr.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", m_runtimeDir.path());
    m_program.setProcessEnvironment(environment);
    // The packaging test points this at the program unpacked from the package.
    m_program.setProgram(qEnvironmentVariable("GLSQUARE_EXECUTABLE", QStringLiteral(GLSQUARE_EXECUTABLE)));
}

void tst_Lifecycle::withoutOpenGLExitsWithMessage_data()
{
    QTest::addColumn<QStringList>("environment"); // "NAME=value"; "NAME=" unsets it
    QTest::newRow("X server without GL") << QStringList { "QT_QPA_PLATFORM=xcb", "QT_XCB_GL_INTEGRATION=none" };
    QTest::newRow("offscreen, no display") << QStringList { "QT_QPA_PLATFORM=offscreen", "DISPLAY=" };
}

void tst_Lifecycle::withoutOpenGLExitsWithMessage()
{
    QFETCH(QStringList, environment);
    QProcessEnvironment env = m_program.processEnvironment();
    for (const QString &assignment : environment) {
        const QString name = assignment.section('=', 0, 0);
        const QString value = assignment.section('=', 1);
        if (value.isEmpty())
            env.remove(name);
        else
            env.insert(name, value);
    }
    m_program.setProcessEnvironment(env);

    m_program.start();
    QVERIFY(m_program.waitForFinished(10000));
    QCOMPARE(m_program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_program.exitCode(), 1);
    QVERIFY(m_program.readAllStandardError().contains("OpenGL could not be initialised"));
}

void tst_Lifecycle::drawsThenClosesCleanly()
{
    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(xcb_connect(nullptr, nullptr),
                                                                                  &xcb_disconnect);
    QVERIFY2(!xcb_connection_has_error(connection.get()), "no X server to run the program on");

    m_program.start();
    QVERIFY(m_program.waitForStarted());
    QTRY_VERIFY(windowOfProcess(connection.get(), m_program.processId()) != XCB_WINDOW_NONE);
    const xcb_window_t window = windowOfProcess(connection.get(), m_program.processId());
    QTRY_COMPARE(pixelOf(connection.get(), window, 250, 250), 0xff0000u); // the red square, centred
    QCOMPARE(pixelOf(connection.get(), window, 5, 5), 0x333333u);         // on dark grey

    // Closed the way a window manager closes it.
    sendDeleteWindow(connection.get(), window);
    QVERIFY(m_program.waitForFinished(10000));
    QCOMPARE(m_program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_program.readAllStandardError(), QByteArray());
    QCOMPARE(m_program.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_Lifecycle)
#include "tst_lifecycle.moc"
