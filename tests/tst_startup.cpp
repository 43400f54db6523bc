#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QtTest>

// The program started where no OpenGL context can be had.
class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void withoutOpenGLExitsWithMessage_data();
    void withoutOpenGLExitsWithMessage();
};

void tst_Startup::withoutOpenGLExitsWithMessage_data()
{
    QTest::addColumn<QStringList>("environment"); // "NAME=value"; "NAME=" unsets it
    QTest::newRow("X server without GL") << QStringList{ "QT_QPA_PLATFORM=xcb", "QT_XCB_GL_INTEGRATION=none" };
    QTest::newRow("offscreen, no display") << QStringList{ "QT_QPA_PLATFORM=offscreen", "DISPLAY=" };
}

void tst_Startup::withoutOpenGLExitsWithMessage()
{
    QFETCH(QStringList, environment);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &assignment : environment) {
        const QString name = assignment.section('=', 0, 0);
        const QString value = assignment.section('=', 1);
        if (value.isEmpty())
            env.remove(name);
        else
            env.insert(name, value);
    }

    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(GLSQUARE_EXECUTABLE), {});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    QVERIFY(program.readAllStandardError().contains("OpenGL could not be initialised"));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
