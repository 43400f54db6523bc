// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

// Measures how the frame loop keeps up with the display and with the keyboard.
// On displays that report 60, 144, 240 and 360 Hz (Xorg with the dummy video
// driver), with each swap held as vsync holds it (vsync.cpp, preloaded:
// swaps that wait for the refresh, or a queue of 1 or 2 frames), it counts
// the refreshes that get a new frame. Throughout, keys are pressed through
// the X server at every phase of the refresh, and the time from each press
// to the refresh that shows the first frame drawn after it is noted: key to
// photon. On the current display, where the swap returns at once (Xvfb under
// quickstart.sh), it measures that latency, frames per second and the CPU
// time they cost. Every row runs the program's window and, beside it, the
// same window in Qt's own loop: drawing at every update request as Qt
// delivers it, with Qt's own delay.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QStringList>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <sys/resource.h>
// Xlib's macro, which would replace QEvent::KeyPress below.
#undef KeyPress

#include "openglwindow.h"
#include "unpaced.h"

namespace {

constexpr double warmUpSeconds = 0.5;
constexpr double measuredSeconds = 3.0;
constexpr int runsPerWindow = 3;
constexpr double pressSpacingSeconds = 0.05;
const QList<int> refreshRates { 60, 144, 240, 360 };
// Screens that report a rate other than the one the swap is paced at: reported, real.
const QList<QPair<int, int>> misreportedRates { { 60, 144 }, { 144, 240 }, { 144, 60 }, { 240, 60 } };
// Frames that may wait to be shown before the swap blocks: 0 blocks every swap.
const QList<int> queueDepths { 0, 1, 2 };
// Rates at which some frames also take 2 ms longer: one in this many.
const QList<int> slowFrameRates { 60, 144 };
constexpr int slowFrameEvery = 10;

// Targets: the share of refreshes with a new frame, at every rate and queue,
// and no more than this below Qt's own loop; median key to photon, in
// refreshes, with the swap blocking, by rate, and without vsync; CPU time per
// frame at 60 Hz with the swap blocking, against Qt's own loop's.
constexpr double refreshTarget = 0.98;
constexpr double belowQtAtMost = 0.005;
const QMap<int, double> latencyTargets { { 60, 1.25 }, { 144, 1.6 }, { 360, 2.6 } };
constexpr double noVsyncLatencyTargetMs = 12.0;
constexpr double cpuPerFrameAtMost = 1.15;

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

void sleepUntil(qint64 ns)
{
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns)));
}

// User and system time of the whole process, the GL driver's threads included.
qint64 cpuNs()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval &t) { return qint64(t.tv_sec) * 1000000000 + qint64(t.tv_usec) * 1000; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

// Unlike QTest::qWait, which sleeps 10 ms at a time between rounds of events.
void runEventLoop(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// The value below which the share `q` of `values` lies.
double quantile(QList<double> values, double q)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0.0 : values.at(qRound(q * double(values.size() - 1)));
}

// Presses D and A in turn through the X server, as a keyboard does, from its
// own thread and X connection, so that each press comes when planned whatever
// the window is doing. Returns when each press was sent.
QList<qint64> pressKeys(qint64 firstNs, double apartNs, int count)
{
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return {};
    const KeyCode keys[] = { XKeysymToKeycode(display, XK_d), XKeysymToKeycode(display, XK_a) };
    QList<qint64> sentNs;
    for (int i = 0; i < count; ++i) {
        const qint64 pressNs = firstNs + qint64(i * apartNs);
        sleepUntil(pressNs);
        sentNs.append(monotonicNs());
        XTestFakeKeyEvent(display, keys[i % 2], True, CurrentTime);
        XFlush(display);
        sleepUntil(pressNs + qint64(apartNs / 2));
        XTestFakeKeyEvent(display, keys[i % 2], False, CurrentTime);
        XFlush(display);
    }
    XCloseDisplay(display);
    return sentNs;
}

// Notes, for each key press that reaches the window, in order, when the first
// frame drawn after it is shown.
class KeyToPhoton : public QObject
{
public:
    explicit KeyToPhoton(QWindow *window) { window->installEventFilter(this); }

    void frameShown(qint64 ns)
    {
        for (; m_pressesNotShown > 0; --m_pressesNotShown)
            m_shownNs.append(ns);
    }
    const QList<qint64> &shownNs() const { return m_shownNs; }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && !static_cast<QKeyEvent *>(event)->isAutoRepeat())
            ++m_pressesNotShown;
        return false;
    }

private:
    int m_pressesNotShown = 0;
    QList<qint64> m_shownNs;
};

// The child process: shows one window, presses keys and prints what it
// measured as JSON.
int measureWindow(bool program)
{
    const std::unique_ptr<OpenGLWindow> owner(program ? new OpenGLWindow : new Unpaced<OpenGLWindow>);
    OpenGLWindow &window = *owner;
    // When vsync.cpp shows each frame; without it the swap shows it at once.
    using ShownAt = long long (*)();
    const auto vsyncShownNs = reinterpret_cast<ShownAt>(dlsym(RTLD_DEFAULT, "glsquareVsyncLastShownNs"));
    const double vsyncHz = qEnvironmentVariable("GLSQUARE_VSYNC_HZ").toDouble();
    QList<qint64> shownNs;
    shownNs.reserve(1 << 16);
    KeyToPhoton keyToPhoton(&window);
    QObject::connect(&window, &QOpenGLWindow::frameSwapped, &window, [&] {
        shownNs.append(vsyncShownNs ? vsyncShownNs() : monotonicNs());
        keyToPhoton.frameShown(shownNs.last());
    });
    window.show();
    window.requestActivate();
    runEventLoop(warmUpSeconds);
    const double hz = vsyncHz > 0 ? vsyncHz : window.screen()->refreshRate();

    const qint64 startNs = monotonicNs();
    const qint64 startCpuNs = cpuNs();
    const qint64 framesBefore = shownNs.size();
    // The presses are a whole number of refreshes and a golden section of one
    // apart, so that they sample every phase of the refresh, and of any frame
    // loop running near its rate, about evenly. They begin on a refresh and
    // end well before the measurement does.
    const double pressApartNs = (std::round(pressSpacingSeconds * hz) + 0.618034) * 1e9 / hz;
    const auto firstPressNs = qint64(std::ceil(std::ceil(double(startNs) * hz / 1e9) * 1e9 / hz));
    const int presses = int(measuredSeconds * 1e9 / pressApartNs) - 2;
    QList<qint64> sentNs;
    std::thread presser([&] { sentNs = pressKeys(firstPressNs, pressApartNs, presses); });
    runEventLoop(measuredSeconds);
    presser.join();
    const qint64 endNs = monotonicNs();
    const double seconds = double(endNs - startNs) / 1e9;

    QSet<qint64> refreshesWithNewFrame;
    for (qint64 ns : std::as_const(shownNs)) {
        if (ns > startNs && ns <= endNs)
            refreshesWithNewFrame.insert(qRound64(double(ns) * hz / 1e9));
    }
    const double refreshes = std::floor(double(endNs) * hz / 1e9) - std::floor(double(startNs) * hz / 1e9);
    const QList<qint64> &keysShownNs = keyToPhoton.shownNs();
    if (sentNs.size() != presses || keysShownNs.size() != presses) {
        std::fprintf(stderr, "pacing_bench: %d key presses planned, %d sent, %d shown\n", presses, int(sentNs.size()),
                     int(keysShownNs.size()));
        return 1;
    }
    QList<double> latenciesMs;
    for (int i = 0; i < presses; ++i)
        latenciesMs.append(double(keysShownNs.at(i) - sentNs.at(i)) / 1e6);

    const QJsonObject result {
        { "screenHz", window.screen()->refreshRate() },
        { "refreshMs", 1000.0 / hz },
        { "framesPerSecond", double(shownNs.size() - framesBefore) / seconds },
        { "cpuMsPerSecond", double(cpuNs() - startCpuNs) / 1e6 / seconds },
        { "newFrameShare", vsyncHz > 0 ? double(refreshesWithNewFrame.size()) / refreshes : 0.0 },
        { "latencyMedianMs", quantile(latenciesMs, 0.5) },
        { "latency90Ms", quantile(latenciesMs, 0.9) },
    };
    std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    return 0;
}

// Xorg with the dummy video driver (xorg-dummy.conf): a display whose refresh
// rate is read from its video mode, as on a real monitor, and switched with
// xrandr.
class DummyDisplay
{
public:
    ~DummyDisplay()
    {
        m_server.terminate();
        m_server.waitForFinished();
    }

    // The X display name, or an empty string with the reason in `error`.
    QString start(QString &error)
    {
        // Xorg writes its display's number to standard output once it takes clients.
        m_server.start("Xorg",
                       { "-displayfd", "1", "-config", QStringLiteral(XORG_DUMMY_CONF), "-logfile", "/dev/null",
                         "-noreset", "-nolisten", "tcp" });
        if (!m_server.waitForReadyRead(10000)) {
            error = "Xorg with the dummy driver did not start (it needs root, xserver-xorg-core and "
                    "xserver-xorg-video-dummy): "
                    + QString::fromLocal8Bit(m_server.readAllStandardError()).trimmed().section('\n', -1);
            return {};
        }
        m_display = ":" + QString::fromLatin1(m_server.readAllStandardOutput()).trimmed();
        return m_display;
    }

    bool setRefreshRate(int hz)
    {
        QProcess xrandr;
        xrandr.setProcessChannelMode(QProcess::MergedChannels); // quiet while the server starts
        xrandr.start("xrandr", { "-display", m_display, "--output", "DUMMY0", "--mode", modeName(hz) });
        return xrandr.waitForFinished() && xrandr.exitStatus() == QProcess::NormalExit && xrandr.exitCode() == 0;
    }

private:
    static QString modeName(int hz) { return QStringLiteral("1024x768_%1").arg(hz); }

    QProcess m_server;
    QString m_display;
};

struct Row
{
    QString display;
    int hz = 0; // of the vsync stand-in, 0 without vsync
    int queueDepth = 0;
    int slowEvery = 0; // one frame in this many takes 2 ms longer, 0 for none
    QJsonObject program;
    QJsonObject qt;
};

// Runs measureWindow in a child process on `display`, with the vsync stand-in
// as the row says unless its rate is 0.
QJsonObject runWindow(bool program, const QString &display, const Row &row)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", display);
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.remove("QT_QPA_UPDATE_IDLE_TIME");
    static const QTemporaryDir runtimeDir; // as in a desktop session; Qt warns without it
    environment.insert("XDG_RUNTIME_DIR", runtimeDir.path());
    if (row.hz > 0) {
        environment.insert("LD_PRELOAD", QStringLiteral(VSYNC_PRELOAD));
        environment.insert("GLSQUARE_VSYNC_HZ", QString::number(row.hz));
        environment.insert("GLSQUARE_VSYNC_QUEUE", QString::number(row.queueDepth));
        environment.insert("GLSQUARE_VSYNC_SLOW_EVERY", QString::number(row.slowEvery));
    }
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                { "--window", program ? QStringLiteral("program") : QStringLiteral("qt") });
    child.waitForFinished(int((warmUpSeconds + measuredSeconds) * 1000) + 30000);
    return QJsonDocument::fromJson(child.readAllStandardOutput()).object();
}

// Every figure's median over the runs that gave figures.
QJsonObject medianOf(QList<QJsonObject> runs)
{
    runs.removeIf([](const QJsonObject &run) { return run.isEmpty(); });
    QJsonObject median;
    for (const QString &key : runs.value(0).keys()) {
        QList<double> values;
        for (const QJsonObject &run : std::as_const(runs))
            values.append(run[key].toDouble());
        median.insert(key, quantile(values, 0.5));
    }
    return median;
}

// Runs the program's window and Qt's own loop in turn, several times each,
// and keeps the medians, so that a burst of load on the machine during one
// run does not decide a row.
void measure(Row &row, const QString &display)
{
    QList<QJsonObject> program;
    QList<QJsonObject> qt;
    for (int i = 0; i < runsPerWindow; ++i) {
        program.append(runWindow(true, display, row));
        qt.append(runWindow(false, display, row));
    }
    row.program = medianOf(program);
    row.qt = medianOf(qt);
}

QString rowName(const Row &row)
{
    if (row.hz == 0)
        return row.display;
    const QString slow = row.slowEvery > 0 ? QStringLiteral(", 1 in %1 slow").arg(row.slowEvery) : QString();
    if (row.queueDepth == 0)
        return row.display + ", swap blocks" + slow;
    return QStringLiteral("%1, %2 frame%3 wait%4")
            .arg(row.display)
            .arg(row.queueDepth)
            .arg(row.queueDepth > 1 ? "s" : "", slow);
}

void printTable(const char *title, const QList<Row> &rows, const std::function<bool(const Row &)> &include,
                const std::function<QString(const QJsonObject &)> &figure)
{
    std::printf("\n%s\n%-40s %-28s %s\n", title, "", "program", "Qt's own loop");
    for (const Row &row : rows) {
        if (include(row)) {
            std::printf("%-40s %-28s %s\n", qPrintable(rowName(row)), qPrintable(figure(row.program)),
                        row.qt.isEmpty() ? "-" : qPrintable(figure(row.qt)));
        }
    }
}

QString latencyFigure(const QJsonObject &run)
{
    const double refreshMs = run["refreshMs"].toDouble();
    return QString::asprintf("%5.1f / %4.1f (%.2f / %.2f)", run["latencyMedianMs"].toDouble(),
                             run["latency90Ms"].toDouble(), run["latencyMedianMs"].toDouble() / refreshMs,
                             run["latency90Ms"].toDouble() / refreshMs);
}

// The targets each row misses, as sentences.
QStringList missedTargets(const Row &row)
{
    QStringList missed;
    const QString name = rowName(row);
    if (row.program.isEmpty())
        return { name + ": no figures" };
    if (row.hz > 0) {
        const double share = row.program["newFrameShare"].toDouble();
        if (share < refreshTarget)
            missed << QString::asprintf("%s: %.1f%% of refreshes with a new frame", qPrintable(name), share * 100);
        if (!row.qt.isEmpty() && share < row.qt["newFrameShare"].toDouble() - belowQtAtMost)
            missed << QString::asprintf("%s: %.1f%% of refreshes, Qt's own loop %.1f%%", qPrintable(name), share * 100,
                                        row.qt["newFrameShare"].toDouble() * 100);
        const double median = row.program["latencyMedianMs"].toDouble() / row.program["refreshMs"].toDouble();
        if (row.queueDepth == 0 && row.slowEvery == 0 && median > latencyTargets.value(row.hz, qInf()))
            missed << QString::asprintf("%s: key to photon %.2f refreshes", qPrintable(name), median);
        const auto cpuPerFrame = [](const QJsonObject &run) {
            return run["cpuMsPerSecond"].toDouble() / run["framesPerSecond"].toDouble();
        };
        if (row.hz == 60 && row.queueDepth == 0 && row.slowEvery == 0 && !row.qt.isEmpty()
            && cpuPerFrame(row.program) > cpuPerFrameAtMost * cpuPerFrame(row.qt))
            missed << QString::asprintf("%s: %.2f ms of CPU a frame, Qt's own loop %.2f", qPrintable(name),
                                        cpuPerFrame(row.program), cpuPerFrame(row.qt));
    } else if (!row.qt.isEmpty()) {
        if (row.program["latencyMedianMs"].toDouble() > noVsyncLatencyTargetMs)
            missed << QString::asprintf("%s: key to photon %.1f ms", qPrintable(name),
                                        row.program["latencyMedianMs"].toDouble());
        if (row.program["cpuMsPerSecond"].toDouble() > row.qt["cpuMsPerSecond"].toDouble())
            missed << QString::asprintf("%s: more CPU time than Qt's own loop", qPrintable(name));
    }
    return missed;
}

int runBenchmark(const QString &jsonPath, const QRegularExpression &rowFilter)
{
    const QString machine = QStringLiteral("%1 cores, %2, Qt %3")
                                    .arg(QThread::idealThreadCount())
                                    .arg(QSysInfo::prettyProductName(), QString::fromLatin1(qVersion()));
    std::printf("glsquare pacing benchmark on %s\n", qPrintable(machine));
    QList<Row> rows;
    DummyDisplay dummy;
    QString error;
    const QString display = dummy.start(error);
    if (display.isEmpty())
        std::printf("Refresh rates skipped: %s\n", qPrintable(error));
    QList<QPair<int, int>> screens;
    for (int hz : refreshRates)
        screens.append({ hz, hz });
    screens += misreportedRates;
    for (const auto &[reportedHz, hz] : std::as_const(screens)) {
        if (display.isEmpty() || !dummy.setRefreshRate(reportedHz))
            break;
        for (int queueDepth : queueDepths) {
            for (int slowEvery : { 0, slowFrameEvery }) {
                Row row { QStringLiteral("%1 Hz").arg(hz), hz, queueDepth, slowEvery, {}, {} };
                if (reportedHz != hz)
                    row.display += QStringLiteral(" reported as %1").arg(reportedHz);
                // Frames slower at times, and screens that report another rate, with one frame waiting at most.
                const bool measured = (slowEvery == 0 || (reportedHz == hz && slowFrameRates.contains(hz)))
                        && (queueDepth < 2 || (reportedHz == hz && slowEvery == 0));
                if (measured && rowFilter.match(rowName(row)).hasMatch()) {
                    measure(row, display);
                    rows.append(row);
                }
            }
        }
    }
    const QString here = qEnvironmentVariable("DISPLAY");
    Row noVsync;
    measure(noVsync, here);
    noVsync.display = QStringLiteral("%1, %2 Hz, no vsync").arg(here).arg(noVsync.program["screenHz"].toDouble());
    rows.append(noVsync);

    printTable(
            "Refreshes that got a new frame, with the swap held as vsync holds it", rows,
            [](const Row &row) { return row.hz > 0; },
            [](const QJsonObject &run) { return QString::asprintf("%5.1f%%", run["newFrameShare"].toDouble() * 100); });
    printTable(
            "Key to photon, median / 90th percentile: ms (refreshes)", rows, [](const Row &) { return true; },
            latencyFigure);
    printTable(
            "Frames per second and CPU time per second", rows,
            [](const Row &row) { return row.hz == 0 || (row.hz == 60 && row.queueDepth == 0 && row.slowEvery == 0); },
            [](const QJsonObject &run) {
                return QString::asprintf("%6.1f %6.0f ms", run["framesPerSecond"].toDouble(),
                                         run["cpuMsPerSecond"].toDouble());
            });

    QStringList missed;
    QJsonArray rowsJson;
    for (const Row &row : rows) {
        missed << missedTargets(row);
        rowsJson.append(QJsonObject { { "display", row.display },
                                      { "vsyncHz", row.hz },
                                      { "queueDepth", row.queueDepth },
                                      { "slowEvery", row.slowEvery },
                                      { "program", row.program },
                                      { "qt", row.qt } });
    }
    const QJsonObject results { { "machine", machine }, { "rows", rowsJson }, { "onTarget", missed.isEmpty() } };
    QFile json(jsonPath);
    if (!json.open(QIODevice::WriteOnly) || json.write(QJsonDocument(results).toJson()) < 0) {
        std::fprintf(stderr, "pacing_bench: cannot write %s\n", qPrintable(jsonPath));
        return 1;
    }
    std::printf("\n%s\nResults written to %s\n",
                missed.isEmpty() ? "All targets met." : qPrintable("TARGETS MISSED:\n  " + missed.join("\n  ")),
                qPrintable(jsonPath));
    return missed.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    // Each window measured runs in a child process of its own, since Qt reads
    // its settings once per process: this program started again as
    // `pacing_bench --window program|qt`.
    if (argc == 3 && qstrcmp(argv[1], "--window") == 0) {
        const bool program = qstrcmp(argv[2], "program") == 0;
        if (program)
            OpenGLWindow::configureProcess();
        QGuiApplication app(argc, argv);
        return measureWindow(program);
    }
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Measures how the frame loop keeps up with the display and with the keyboard."));
    parser.addHelpOption();
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Write the figures to <file>."),
                                  QStringLiteral("file"), QStringLiteral("pacing-bench.json"));
    const QCommandLineOption rows(QStringLiteral("rows"),
                                  QStringLiteral("Measure only the display rows whose names match <regex>."),
                                  QStringLiteral("regex"));
    parser.addOptions({ json, rows });
    parser.process(app);
    return runBenchmark(QFileInfo(parser.value(json)).absoluteFilePath(), QRegularExpression(parser.value(rows)));
}
