// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

// Qt Core as a whole, as in Qt's examples: the benchmarks use much of it.
#include <QOpenGLWindow>
#include <QtCore>

#include <algorithm>
#include <cstdio>

// What the benchmarks share: their command line, the machine line, the
// results as JSON, printed as tables and written to a file, and the verdict.
class Benchmark
{
public:
    // Adds --help and --json <file> to `parser`'s options and parses the
    // command line of the application object.
    Benchmark(const char *name, const QString &description, QCommandLineParser &parser)
        : m_name(name)
    {
        parser.setApplicationDescription(description);
        parser.addHelpOption();
        const QCommandLineOption json("json", "Write the figures to <file>.", "file", QString(name) + ".json");
        parser.addOption(json);
        parser.process(*QCoreApplication::instance());
        m_jsonPath = QFileInfo(parser.value(json)).absoluteFilePath();
    }

    // Prints the benchmark's name and the machine it runs on, with `more`.
    void printMachine(const QString &more)
    {
        const QString machine = QStringLiteral("%1 cores, %2, Qt %3%4")
                                        .arg(QThread::idealThreadCount())
                                        .arg(QSysInfo::prettyProductName(), qVersion(), more);
        m_results.insert("machine", machine);
        std::printf("glsquare %s on %s\n", m_name, qPrintable(machine));
    }

    // Prints a title, then the rows in aligned columns, each column given as
    // "header|key|format": the key of its figure in each row (a path such as
    // "program.speed") and the printf format of numbers. A row without the
    // figure shows "-".
    static void printTable(const QString &title, const QJsonArray &rows, const QStringList &columns)
    {
        QStringList lines(rows.size() + 1); // built a column at a time
        for (const QString &column : columns) {
            QStringList cells { column.section('|', 0, 0) };
            for (QJsonValue value : rows) {
                for (const QString &key : column.section('|', 1, 1).split('.'))
                    // cppcheck-suppress useStlAlgorithm ; a walk down a path reads better as a loop
                    value = value[key];
                cells.append(value.isString() ? value.toString()
                                     : value.isDouble()
                                     ? QString::asprintf(qPrintable(column.section('|', 2)), value.toDouble())
                                     : QStringLiteral("-"));
            }
            const auto longer = [](const QString &a, const QString &b) { return a.size() < b.size(); };
            const qsizetype width = std::max_element(cells.cbegin(), cells.cend(), longer)->size() + 2;
            for (qsizetype i = 0; i < cells.size(); ++i)
                lines[i] += cells[i].leftJustified(width);
        }
        std::printf("\n%s\n%s\n", qPrintable(title), qPrintable(lines.join('\n')));
    }

    void insert(const QString &key, const QJsonValue &value) { m_results.insert(key, value); }
    // A target missed, or a measurement that could not be made.
    void miss(const QString &what) { m_missed.append(what); }

    // Writes the results and prints the verdict; returns the exit status, 1
    // if anything was missed.
    int finish()
    {
        m_results.insert("missed", QJsonArray::fromStringList(m_missed));
        QFile json(m_jsonPath);
        if (!json.open(QIODevice::WriteOnly) || json.write(QJsonDocument(m_results).toJson()) < 0)
            m_missed.append("cannot write " + m_jsonPath);
        std::printf("\n%s\nResults written to %s\n",
                    m_missed.isEmpty() ? "All targets met." : qPrintable("MISSED:\n  " + m_missed.join("\n  ")),
                    qPrintable(m_jsonPath));
        return m_missed.isEmpty() ? 0 : 1;
    }

private:
    const char *m_name;
    QString m_jsonPath;
    QJsonObject m_results;
    QStringList m_missed;
};

// The value below which the share `q` of `values` lies.
inline double quantile(QList<double> values, double q)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0.0 : values.at(qRound(q * double(values.size() - 1)));
}

// Runs the event loop for that long. Unlike QTest::qWait, which sleeps 10 ms
// at a time between rounds of events, it lets frames run as they come.
inline void runEventLoop(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// The program's window (or a subclass of it) without its pacing to the
// display: it draws at every update request as soon as Qt delivers it, so
// that a benchmark can run it faster than the display refreshes or set the
// pace itself.
template <typename Window>
class Unpaced : public Window
{
protected:
    bool event(QEvent *event) override
    {
        // Past the window's own event(), on purpose.
        // NOLINTNEXTLINE(bugprone-parent-virtual-call)
        return event->type() == QEvent::UpdateRequest ? QOpenGLWindow::event(event) : Window::event(event);
    }
};
