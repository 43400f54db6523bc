// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include <QByteArray>
#include <QFile>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLShaderProgram>
#include <QtTest>

class tst_Shaders : public QObject
{
    Q_OBJECT

private slots:
    void compiledInByteForByte_data();
    void compiledInByteForByte();
    void linkWithOnePositionAndOneMatrix();
};

void tst_Shaders::compiledInByteForByte_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("source");
    QTest::newRow("vertex") << ":/assets/shaders/default.vert"
                            << QByteArray("\r\nattribute vec3 aPosition;\r\nuniform mat4 uMvpMatrix;\r\n\r\n"
                                          "void main()\r\n{\r\n"
                                          "    gl_Position = uMvpMatrix * vec4(aPosition, 1.0);\r\n}\r\n");
    QTest::newRow("fragment") << ":/assets/shaders/default.frag"
                              << QByteArray("\r\nvoid main()\r\n{\r\n"
                                            "    gl_FragColor = vec4(1.0, 0.0, 0.0, 1.0);\r\n}\r\n");
}

void tst_Shaders::compiledInByteForByte()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, source);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), source);
}

void tst_Shaders::linkWithOnePositionAndOneMatrix()
{
    QOffscreenSurface surface;
    surface.create();
    QOpenGLContext context;
    QVERIFY(context.create() && context.makeCurrent(&surface));
    QOpenGLShaderProgram program;
    QVERIFY(program.addShaderFromSourceFile(QOpenGLShader::Vertex, ":/assets/shaders/default.vert"));
    QVERIFY(program.addShaderFromSourceFile(QOpenGLShader::Fragment, ":/assets/shaders/default.frag"));
    QVERIFY2(program.link(), qPrintable(program.log()));

    // Exactly one active attribute and one active uniform, by these names.
    GLint attributes = 0;
    GLint uniforms = 0;
    context.functions()->glGetProgramiv(program.programId(), GL_ACTIVE_ATTRIBUTES, &attributes);
    context.functions()->glGetProgramiv(program.programId(), GL_ACTIVE_UNIFORMS, &uniforms);
    QCOMPARE(attributes, 1);
    QCOMPARE(uniforms, 1);
    QVERIFY(program.attributeLocation("aPosition") >= 0);
    QVERIFY(program.uniformLocation("uMvpMatrix") >= 0);
}

QTEST_MAIN(tst_Shaders)
#include "tst_shaders.moc"
