// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

// Measures how the frame loop keeps up with the display and with the keyboard.
// On displays that report 60, 144, 240 and 360 Hz (Xorg with the dummy video
// driver), with each swap held as vsync holds it (vsync.cpp, preloaded:
// swaps that wait for the refresh, or a queue of 1 or 2 frames), it counts
// the refreshes that get a new frame. Throughout, keys are pressed through
// the X server at every phase of the refresh, and the time from each press
// to the refresh that shows the first frame drawn after it is noted: key to
// photon. On the display it runs on, with the swap as that display's driver
// makes it, it measures the same. Every row notes frames per second and CPU
// time, and runs the program's window and, beside it, the same window in
// Qt's own loop: drawing at every update request as Qt delivers it, with
// Qt's own delay.

#include <QtGui>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>

#include "benchmark.h"
#include "openglwindow.h"

// After Qt's headers, whose names Xlib's macros would replace.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#undef KeyPress // Xlib's, which would replace QEvent::KeyPress

namespace {

// Each window is measured from its second second: in its first, the program
// finds the display's refreshes and whether frames wait.
constexpr double warmUpSeconds = 1.0;
constexpr double measuredSeconds = 3.0;
constexpr int runsPerWindow = 3;
constexpr double pressSpacingSeconds = 0.05;
constexpr int slowFrameEvery = 10;

// Targets: the share of refreshes with a new frame, at every rate and queue,
// and no more than this below Qt's own loop; median key to photon, in
// refreshes, by rate with the swap blocking, with frames waiting at 60 Hz,
// elsewhere a refresh more for each frame that may wait, and without vsync;
// CPU time per frame at 60 Hz with the swap blocking, against Qt's own
// loop's.
constexpr double refreshTarget = 0.98;
constexpr double belowQtAtMost = 0.005;
const QMap<int, double> latencyTargets { { 60, 0.8 }, { 144, 1.1 }, { 240, 1.3 }, { 360, 2.5 } };
constexpr double waitingLatencyTargetAt60 = 1.0;
constexpr double noVsyncLatencyTargetMs = 12.0;
constexpr double cpuPerFrameAtMost = 1.15;

qint64 monotonicNs()
{
    return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

void sleepUntil(qint64 ns)
{
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns)));
}

// Presses D and A in turn through the X server, as a keyboard does, from its
// own thread and X connection, so that each press comes when planned whatever
// the window is doing. Returns when each press was sent.
QList<qint64> pressKeys(qint64 firstNs, double apartNs, int count)
{
    Display *display = XOpenDisplay(nullptr);
    const KeyCode keys[] = { XKeysymToKeycode(display, XK_d), XKeysymToKeycode(display, XK_a) };
    QList<qint64> sentNs;
    for (int i = 0; display && i < 2 * count; ++i) {
        sleepUntil(firstNs + qint64(i * apartNs / 2)); // pressed, then released half-way to the next
        if (i % 2 == 0)
            sentNs.append(monotonicNs());
        XTestFakeKeyEvent(display, keys[i / 2 % 2], i % 2 == 0, CurrentTime);
        XFlush(display);
    }
    if (display)
        XCloseDisplay(display);
    return sentNs;
}

// Counts the key presses that reach the window it filters.
struct KeyPresses : public QObject
{
    int count = 0;

    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == QEvent::KeyPress && !static_cast<QKeyEvent *>(event)->isAutoRepeat();
        return false;
    }
};

// The child process: shows one window, presses keys and prints what it
// measured as JSON.
int measureWindow(bool program)
{
    const std::unique_ptr<OpenGLWindow> window(program ? new OpenGLWindow : new Unpaced<OpenGLWindow>);
    // When vsync.cpp shows each frame; without it the swap shows it at once.
    const auto vsyncShownNs = reinterpret_cast<long long (*)()>(dlsym(RTLD_DEFAULT, "glsquareVsyncLastShownNs"));
    const double vsyncHz = qEnvironmentVariable("GLSQUARE_VSYNC_HZ").toDouble();
    QList<qint64> shownNs;
    QList<qint64> keysShownNs; // for each press, when the first frame drawn after it is shown
    KeyPresses keyPresses;
    window->installEventFilter(&keyPresses);
    QObject::connect(window.get(), &QOpenGLWindow::frameSwapped, window.get(), [&] {
        shownNs.append(vsyncShownNs ? vsyncShownNs() : monotonicNs());
        while (keysShownNs.size() < keyPresses.count)
            keysShownNs.append(shownNs.last());
    });
    window->show();
    window->requestActivate();
    runEventLoop(warmUpSeconds);
    const double hz = vsyncHz > 0 ? vsyncHz : window->screen()->refreshRate();

    const qint64 startNs = monotonicNs();
    // CPU time of the whole process, the GL driver's threads included.
    const std::clock_t startCpu = std::clock();
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
    if (sentNs.size() != presses || keysShownNs.size() != presses) {
        qWarning("pacing_bench: %d presses, %d sent, %d shown", presses, int(sentNs.size()), int(keysShownNs.size()));
        return 1;
    }
    QList<double> latenciesMs;
    for (int i = 0; i < presses; ++i)
        latenciesMs.append(double(keysShownNs.at(i) - sentNs.at(i)) / 1e6);
    // The stand-in shows each frame at a refresh of its own.
    const auto refreshesWithNewFrame
            = std::count_if(shownNs.cbegin(), shownNs.cend(), [&](qint64 ns) { return ns > startNs && ns <= endNs; });
    const double refreshes = std::floor(double(endNs) * hz / 1e9) - std::floor(double(startNs) * hz / 1e9);
    const auto frames = double(shownNs.size() - framesBefore);
    const double cpuMs = double(std::clock() - startCpu) * 1000 / CLOCKS_PER_SEC;
    const double medianMs = quantile(latenciesMs, 0.5), p90Ms = quantile(latenciesMs, 0.9);
    QJsonObject result { { "screenHz", window->screen()->refreshRate() },
                         { "framesPerSecond", frames / seconds },
                         { "cpuMsPerSecond", cpuMs / seconds },
                         { "cpuMsPerFrame", cpuMs / frames },
                         { "latencyMedianMs", medianMs },
                         { "latency90Ms", p90Ms },
                         { "latencyMedianRefreshes", medianMs * hz / 1000 },
                         { "latency90Refreshes", p90Ms * hz / 1000 } };
    if (vsyncHz > 0)
        result.insert("newFramePercent", 100 * double(refreshesWithNewFrame) / refreshes);
    std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    return 0;
}

// Runs the program's window and Qt's own loop in turn, several times each, in
// child processes on `display`, with the vsync stand-in as the row says, and
// keeps each figure's median, so that a burst of load on the machine during
// one run does not decide a row.
void measure(QJsonObject &row, const QString &display)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", display);
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.remove("QT_QPA_UPDATE_IDLE_TIME");
    static const QTemporaryDir runtimeDir; // as in a desktop session; Qt warns without it
    environment.insert("XDG_RUNTIME_DIR", runtimeDir.path());
    if (row["vsyncHz"].toInt() > 0) {
        environment.insert("LD_PRELOAD", VSYNC_PRELOAD);
        environment.insert("GLSQUARE_VSYNC_HZ", QString::number(row["vsyncHz"].toInt()));
        environment.insert("GLSQUARE_VSYNC_QUEUE", QString::number(row["queueDepth"].toInt()));
        environment.insert("GLSQUARE_VSYNC_SLOW_EVERY", QString::number(row["slowEvery"].toInt()));
    }
    QMap<QString, QMap<QString, QList<double>>> figures; // by window and name, one per run
    for (int run = 0; run < 2 * runsPerWindow; ++run) {
        const QString window = run % 2 ? "qt" : "program";
        QProcess child;
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), { "--window", window });
        child.waitForFinished(int((warmUpSeconds + measuredSeconds) * 1000) + 30000);
        const QJsonObject result = QJsonDocument::fromJson(child.readAllStandardOutput()).object();
        for (auto it = result.constBegin(); it != result.constEnd(); ++it)
            figures[window][it.key()].append(it.value().toDouble());
    }
    for (auto window = figures.cbegin(); window != figures.cend(); ++window) {
        QJsonObject median;
        for (auto figure = window->cbegin(); figure != window->cend(); ++figure)
            median.insert(figure.key(), quantile(figure.value(), 0.5));
        row.insert(window.key(), median);
    }
}

// A row on the dummy display: the rate its mode reports, the rate the swap
// keeps to, the frames that may wait, and one frame in how many is slower.
QJsonObject displayRow(int reportedHz, int hz, int queueDepth, int slowEvery)
{
    const QString name = QStringLiteral("%1 Hz%2, %3%4")
                                 .arg(hz)
                                 .arg(reportedHz != hz ? QStringLiteral(" reported as %1").arg(reportedHz) : "",
                                      queueDepth > 0 ? QStringLiteral("%1 waiting").arg(queueDepth) : "swap blocks",
                                      slowEvery > 0 ? QStringLiteral(", 1 in %1 slow").arg(slowEvery) : "");
    return { { "name", name },
             { "reportedHz", reportedHz },
             { "vsyncHz", hz },
             { "queueDepth", queueDepth },
             { "slowEvery", slowEvery } };
}

// The targets `row` misses, said to `benchmark`.
void checkTargets(const QJsonObject &row, Benchmark &benchmark)
{
    const QJsonObject program = row["program"].toObject();
    const QJsonObject qt = row["qt"].toObject();
    const auto check = [&](const char *figure, bool met) {
        if (!met)
            benchmark.miss(QStringLiteral("%1: %2 %3, Qt's own loop %4")
                                   .arg(row["name"].toString(), figure)
                                   .arg(program[figure].toDouble(), 0, 'g', 3)
                                   .arg(qt[figure].toDouble(), 0, 'g', 3));
    };
    const int hz = row["vsyncHz"].toInt(), queueDepth = row["queueDepth"].toInt(), slowEvery = row["slowEvery"].toInt();
    const double latencyTarget
            = queueDepth > 0 && hz == 60 ? waitingLatencyTargetAt60 : latencyTargets.value(hz, qInf()) + queueDepth;
    const double share = program["newFramePercent"].toDouble();
    if (program.isEmpty() || qt.isEmpty()) {
        benchmark.miss(row["name"].toString() + ": no figures");
    } else if (hz > 0) {
        check("newFramePercent",
              share >= refreshTarget * 100 && share >= qt["newFramePercent"].toDouble() - belowQtAtMost * 100);
        check("latencyMedianRefreshes", slowEvery > 0 || program["latencyMedianRefreshes"].toDouble() <= latencyTarget);
        check("cpuMsPerFrame",
              slowEvery + queueDepth > 0 || hz != 60
                      || program["cpuMsPerFrame"].toDouble() <= cpuPerFrameAtMost * qt["cpuMsPerFrame"].toDouble());
    } else if (row["name"].toString().endsWith("no vsync")) {
        check("latencyMedianMs", program["latencyMedianMs"].toDouble() <= noVsyncLatencyTargetMs);
        check("cpuMsPerSecond", program["cpuMsPerSecond"].toDouble() <= qt["cpuMsPerSecond"].toDouble());
    }
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
    Benchmark benchmark("pacing-bench", "Measures how the frame loop keeps up with the display and the keyboard.",
                        parser);
    benchmark.printMachine({});

    // Every rate with the swap blocking or 1 or 2 frames waiting; at 60 and
    // 144 Hz one frame in ten also 2 ms slower; screens that report a rate
    // other than the one the swap keeps to.
    QList<QJsonObject> displayRows;
    for (int hz : { 60, 144, 240, 360 }) {
        for (int queueDepth : { 0, 1, 2 }) {
            displayRows.append(displayRow(hz, hz, queueDepth, 0));
            if (hz <= 144 && queueDepth < 2)
                displayRows.append(displayRow(hz, hz, queueDepth, slowFrameEvery));
        }
    }
    for (const auto &[reportedHz, hz] :
         { std::pair(60, 144), std::pair(144, 240), std::pair(144, 60), std::pair(240, 60) })
        displayRows << displayRow(reportedHz, hz, 0, 0) << displayRow(reportedHz, hz, 1, 0);

    // Xorg with the dummy video driver (xorg-dummy.conf): a display whose
    // refresh rate is read from its video mode, as on a real monitor, and
    // switched with xrandr. It writes its display's number once it takes
    // clients.
    QProcess xorg;
    xorg.start(
            "Xorg",
            { "-displayfd", "1", "-config", XORG_DUMMY_CONF, "-logfile", "/dev/null", "-noreset", "-nolisten", "tcp" });
    const QString dummy = xorg.waitForReadyRead(10000) ? ":" + QString(xorg.readAllStandardOutput()).trimmed() : "";
    if (dummy.isEmpty())
        benchmark.miss("no refresh rate measured: Xorg with the dummy driver (root, xserver-xorg-video-dummy) failed: "
                       + (xorg.error() == QProcess::FailedToStart
                                  ? xorg.errorString()
                                  : QString(xorg.readAllStandardError()).trimmed().section('\n', -1)));
    QJsonArray rows;
    for (QJsonObject &row : displayRows) {
        if (dummy.isEmpty())
            break;
        const QString mode = QStringLiteral("1024x768_%1").arg(row["reportedHz"].toInt());
        if (QProcess::execute("xrandr", { "-display", dummy, "--output", "DUMMY0", "--mode", mode }) == 0)
            measure(row, dummy);
        checkTargets(row, benchmark);
        rows.append(row);
    }
    xorg.terminate();
    xorg.waitForFinished();
    // The display this runs on, with its own swap: if Qt's own loop outruns
    // the rate it reports, nothing paces it.
    const QString here = qEnvironmentVariable("DISPLAY");
    QJsonObject hereRow { { "vsyncHz", 0 } };
    measure(hereRow, here);
    const QJsonObject qtHere = hereRow["qt"].toObject();
    const bool unpaced = qtHere["framesPerSecond"].toDouble() > 1.5 * qtHere["screenHz"].toDouble();
    hereRow["name"] = QStringLiteral("%1, %2 Hz reported, %3")
                              .arg(here)
                              .arg(qtHere["screenHz"].toDouble())
                              .arg(unpaced ? "no vsync" : "its own vsync");
    checkTargets(hereRow, benchmark);
    rows.append(hereRow);

    Benchmark::printTable("Refreshes with a new frame, key to photon in refreshes (median, 90th percentile) and CPU "
                          "time per frame, of the program and of Qt's own loop",
                          rows,
                          { "|name", "new frames|program.newFramePercent|%.1f%%", "Qt|qt.newFramePercent|%.1f%%",
                            "median|program.latencyMedianRefreshes|%.2f", "Qt|qt.latencyMedianRefreshes|%.2f",
                            "90%|program.latency90Refreshes|%.2f", "Qt|qt.latency90Refreshes|%.2f",
                            "CPU ms/frame|program.cpuMsPerFrame|%.2f", "Qt|qt.cpuMsPerFrame|%.2f" });
    Benchmark::printTable("Key to photon in ms (median, 90th percentile), frames and CPU time per second, of the "
                          "program and of Qt's own loop",
                          rows,
                          { "|name", "median|program.latencyMedianMs|%.1f", "Qt|qt.latencyMedianMs|%.1f",
                            "90%|program.latency90Ms|%.1f", "Qt|qt.latency90Ms|%.1f",
                            "frames/s|program.framesPerSecond|%.1f", "Qt|qt.framesPerSecond|%.1f",
                            "CPU ms/s|program.cpuMsPerSecond|%.0f", "Qt|qt.cpuMsPerSecond|%.0f" });
    benchmark.insert("rows", rows);
    return benchmark.finish();
}
