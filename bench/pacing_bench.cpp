// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

// Measures how the frame loop keeps up with the display and with the keyboard.
// On displays that report 60, 144, 240 and 360 Hz (Xorg with the dummy video
// driver), with each swap held as vsync holds it (vsync.cpp, preloaded:
// swaps that wait for the refresh, or a queue of 1 or 2 frames), it counts
// the refreshes that get a new frame, and reads where the square is in each
// frame shown while A and D are held in turn: how evenly it steps from one
// refresh to the next. Meanwhile W and S are pressed together through the X
// server at every phase of the refresh, and the time from each press to the
// refresh that shows the first frame drawn after it is noted: key to photon.
// Every row notes the CPU time per frame, and runs the program's window and,
// beside it, the same window in Qt's own loop: drawing at every update
// request as Qt delivers it, with Qt's own delay, the square moved by the
// time between frame starts.

#include <QtGui>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

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
constexpr double pressSpacingSeconds = 0.05;
constexpr int slowFrameEvery = 10;
// A and D are held in turn this long, shorter than the X server's delay
// before it repeats a key; the steps of the square this soon after a change
// are not counted.
constexpr double holdSeconds = 0.5;
constexpr double turnSeconds = 0.12;

// Targets: the share of refreshes with a new frame, at every rate and queue;
// at 60 to 240 Hz, the steps more than 25 % off a refresh's worth, and the
// 95th percentile of that error against Qt's own loop's where it keeps up;
// median key to photon, in refreshes, by rate with the swap blocking, with
// frames waiting at 60 Hz, elsewhere a refresh more for each frame that may
// wait; its 90th percentile at 60 Hz; CPU time per frame at 60 Hz with the
// swap blocking, against Qt's own loop's.
constexpr double refreshTarget = 0.98, unevenStep = 0.25, unevenTarget = 0.01, stepErrorAboveQtAtMost = 0.02;
const QMap<int, double> latencyTargets { { 60, 0.8 }, { 144, 1.1 }, { 240, 1.3 }, { 360, 2.5 } };
constexpr double waitingLatencyTargetAt60 = 1.0, latency90TargetAt60 = 1.5, cpuPerFrameAtMost = 1.15;

qint64 monotonicNs()
{
    return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

// A key pressed or released through the X server at a planned time.
struct KeyEvent
{
    qint64 dueNs;
    KeySym key;
    bool press;
    bool operator<(const KeyEvent &other) const { return dueNs < other.dueNs; }
};

// Sends the key events in order, as a keyboard does, from its own thread and
// X connection, so that each comes when planned whatever the window is
// doing. Returns when each was sent.
QList<qint64> sendKeyEvents(const QList<KeyEvent> &events)
{
    Display *display = XOpenDisplay(nullptr);
    QList<qint64> sentNs;
    for (const KeyEvent &event : events) {
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(event.dueNs)));
        sentNs.append(monotonicNs());
        XTestFakeKeyEvent(display, XKeysymToKeycode(display, event.key), event.press, CurrentTime);
        XFlush(display);
    }
    XCloseDisplay(display);
    return sentNs;
}

// A window that reads, in each frame it draws, where the square is along the
// row through it: the middle of its red pixels, in world units; and counts
// the presses of W.
template <typename Window>
class SquareReader : public Window
{
public:
    double squareX = 50; // where the square starts, so that the first frame finds it too
    int wPresses = 0;

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        wPresses += event->key() == Qt::Key_W && !event->isAutoRepeat();
        Window::keyPressEvent(event);
    }

    void paintOverGL() override
    {
        // The row is found down the column through the square in the last
        // frame: W and S, pressed together, reach the window a frame apart
        // now and then on a busy machine, and move the square up or down.
        const int row = int(redMiddle(int(squareX * this->width() / 100), 0, 1, this->height()));
        squareX = redMiddle(0, row, this->width(), 1) * 100 / this->width();
    }

    // The middle of the red pixels along a row or a column of the frame, in
    // pixels; its own middle if there are none.
    double redMiddle(int x, int y, int width, int height)
    {
        std::vector<quint32> line(std::size_t(width) * std::size_t(height));
        this->context()->functions()->glReadPixels(x, y, width, height, GL_RGBA, GL_UNSIGNED_BYTE, line.data());
        const auto red = [](quint32 rgba) { return (qFromLittleEndian(rgba) & 0xff) > 128; };
        const auto first = std::find_if(line.cbegin(), line.cend(), red) - line.cbegin();
        const auto end = line.crend() - std::find_if(line.crbegin(), line.crend(), red);
        return double(first + end) / 2;
    }
};

// The child process: shows one window, holds keys, presses keys and prints
// what it measured as JSON.
int measureWindow(bool program)
{
    using Window = SquareReader<OpenGLWindow>;
    const std::unique_ptr<Window> window(program ? new Window : new Unpaced<Window>);
    // Wide, so that a refresh's step is several pixels.
    window->resize(3200, 60);
    // When vsync.cpp shows each frame, at the rate it keeps to.
    const auto vsyncShownNs = reinterpret_cast<long long (*)()>(dlsym(RTLD_DEFAULT, "glsquareVsyncLastShownNs"));
    const double hz = qEnvironmentVariable("GLSQUARE_VSYNC_HZ").toDouble();
    // For each frame, when it is shown and where the square is in it; for
    // each press of W, when the first frame drawn after it is shown.
    QList<qint64> shownNs, keysShownNs;
    QList<double> squareX;
    QObject::connect(window.get(), &QOpenGLWindow::frameSwapped, window.get(), [&] {
        shownNs.append(vsyncShownNs());
        squareX.append(window->squareX);
        while (keysShownNs.size() < window->wPresses)
            keysShownNs.append(shownNs.last());
    });
    window->show();
    window->requestActivate();
    runEventLoop(warmUpSeconds);

    const qint64 startNs = monotonicNs();
    // CPU time of the whole process, the GL driver's threads included.
    const std::clock_t startCpu = std::clock();
    // W and S are pressed together, so that the square does not move up or
    // down, and released half-way to the next press. The presses are a whole
    // number of refreshes and a golden section of one apart, so that they
    // sample every phase of the refresh, and of any frame loop running near
    // its rate, about evenly. They begin on a refresh and
    // end well before the measurement does. A and D are held in turn
    // throughout, so that the square goes left and right about the middle.
    const double pressApartNs = (std::round(pressSpacingSeconds * hz) + 0.618034) * 1e9 / hz;
    const auto firstPressNs = qint64(std::ceil(std::ceil(double(startNs) * hz / 1e9) * 1e9 / hz));
    const int presses = int(measuredSeconds * 1e9 / pressApartNs) - 2;
    QList<KeyEvent> keyEvents;
    for (int i = 0; i < presses; ++i) {
        const qint64 pressNs = firstPressNs + qint64(i * pressApartNs);
        for (const KeySym key : { KeySym(XK_w), KeySym(XK_s) })
            keyEvents << KeyEvent { pressNs, key, true } << KeyEvent { pressNs + qint64(pressApartNs / 2), key, false };
    }
    QList<qint64> turnsNs { startNs }; // A, then D, then A, ..., half as long at either end
    for (int i = 0; turnsNs.last() < startNs + qint64(measuredSeconds * 1e9); ++i) {
        turnsNs.append(std::min(turnsNs.last() + qint64(holdSeconds * (i > 0 ? 1e9 : 0.5e9)),
                                startNs + qint64(measuredSeconds * 1e9)));
        const KeySym key = i % 2 ? XK_d : XK_a;
        keyEvents << KeyEvent { turnsNs.at(i), key, true } << KeyEvent { turnsNs.last(), key, false };
    }
    std::stable_sort(keyEvents.begin(), keyEvents.end());
    QList<qint64> sentNs;
    std::thread presser([&] { sentNs = sendKeyEvents(keyEvents); });
    runEventLoop(measuredSeconds);
    presser.join();
    const qint64 endNs = monotonicNs();
    if (keysShownNs.size() != presses)
        return 1; // a press that no frame showed: no figures
    QList<double> latenciesMs;
    for (int i = 0; i < keyEvents.size(); ++i)
        if (keyEvents.at(i).press && keyEvents.at(i).key == XK_w)
            latenciesMs.append(double(keysShownNs.at(latenciesMs.size()) - sentNs.at(i)) / 1e6);
    // The square on screen at each refresh, from a turn's end to the next:
    // each step's error, as a share of 50 units/s over a refresh: leftwards
    // while A is held, in every other turn from the first.
    QList<double> stepErrors;
    const auto refreshNs = [hz](qint64 refresh) { return qint64(std::ceil(double(refresh) * 1e9 / hz)); };
    for (int i = 1; i < turnsNs.size(); ++i) {
        const auto first = qint64(std::ceil(double(turnsNs.at(i - 1) + qint64(turnSeconds * 1e9)) * hz / 1e9));
        double lastX = qQNaN();
        for (qint64 refresh = first; refreshNs(refresh) <= turnsNs.at(i); ++refresh) {
            const auto shown = std::upper_bound(shownNs.cbegin(), shownNs.cend(), refreshNs(refresh));
            const double x = squareX.at(shown - shownNs.cbegin() - 1);
            if (!qIsNaN(lastX))
                stepErrors.append(std::abs((x - lastX) * hz / 50 * (i % 2 ? -1 : 1) - 1));
            lastX = x;
        }
    }
    // The stand-in shows each frame at a refresh of its own.
    const auto frames = double(
            std::count_if(shownNs.cbegin(), shownNs.cend(), [&](qint64 ns) { return ns > startNs && ns <= endNs; }));
    const double refreshes = std::floor(double(endNs) * hz / 1e9) - std::floor(double(startNs) * hz / 1e9);
    const double cpuMs = double(std::clock() - startCpu) * 1000 / CLOCKS_PER_SEC;
    const auto uneven = std::count_if(stepErrors.cbegin(), stepErrors.cend(), [](double e) { return e > unevenStep; });
    const QJsonObject result { { "cpuMsPerFrame", cpuMs / frames },
                               { "latencyMedianRefreshes", quantile(latenciesMs, 0.5) * hz / 1000 },
                               { "latency90Refreshes", quantile(latenciesMs, 0.9) * hz / 1000 },
                               { "newFramePercent", 100 * frames / refreshes },
                               { "unevenPercent", 100 * double(uneven) / double(stepErrors.size()) },
                               { "stepError95Percent", 100 * quantile(stepErrors, 0.95) } };
    std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    return 0;
}

// Runs the program's window and Qt's own loop in turn, `runsPerWindow` times
// each, in child processes on `display`, with the vsync stand-in as the row
// says, and keeps each figure's median, so that a burst of load on the
// machine during one run does not decide a row.
void measure(QJsonObject &row, const QString &display, int runsPerWindow)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", display);
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.remove("QT_QPA_UPDATE_IDLE_TIME");
    static const QTemporaryDir runtimeDir; // as in a desktop session; Qt warns without it
    environment.insert("XDG_RUNTIME_DIR", runtimeDir.path());
    environment.insert("LD_PRELOAD", VSYNC_PRELOAD);
    environment.insert("GLSQUARE_VSYNC_HZ", QString::number(row["vsyncHz"].toInt()));
    environment.insert("GLSQUARE_VSYNC_QUEUE", QString::number(row["queueDepth"].toInt()));
    environment.insert("GLSQUARE_VSYNC_SLOW_EVERY", QString::number(row["slowEvery"].toInt()));
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
    const QJsonObject program = row["program"].toObject(), qt = row["qt"].toObject();
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
    if (program.isEmpty() || qt.isEmpty())
        return benchmark.miss(row["name"].toString() + ": no figures");
    check("newFramePercent", program["newFramePercent"].toDouble() >= refreshTarget * 100);
    check("latencyMedianRefreshes", slowEvery > 0 || program["latencyMedianRefreshes"].toDouble() <= latencyTarget);
    check("latency90Refreshes",
          slowEvery > 0 || hz != 60 || program["latency90Refreshes"].toDouble() <= latency90TargetAt60);
    check("unevenPercent", hz > 240 || program["unevenPercent"].toDouble() <= unevenTarget * 100);
    check("stepError95Percent",
          hz > 240 || qt["newFramePercent"].toDouble() < refreshTarget * 100
                  || program["stepError95Percent"].toDouble()
                          <= qt["stepError95Percent"].toDouble() + stepErrorAboveQtAtMost * 100);
    check("cpuMsPerFrame",
          slowEvery + queueDepth > 0 || hz != 60
                  || program["cpuMsPerFrame"].toDouble() <= cpuPerFrameAtMost * qt["cpuMsPerFrame"].toDouble());
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
    // A few rows measured more often tell a change from the noise of a run.
    const QCommandLineOption rowsOption("rows", "Measure only the rows whose names match <regex>.", "regex"),
            runsOption("runs", "Run each window <n> times (default 3).", "n", "3");
    parser.addOptions({ rowsOption, runsOption });
    Benchmark benchmark("pacing-bench", "Measures new frames, even steps and key to photon per refresh.", parser);
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
        benchmark.miss("nothing measured: Xorg with the dummy driver (root, xserver-xorg-video-dummy) failed: "
                       + (xorg.error() == QProcess::FailedToStart
                                  ? xorg.errorString()
                                  : QString(xorg.readAllStandardError()).trimmed().section('\n', -1)));
    displayRows.removeIf([&, wanted = QRegularExpression(parser.value(rowsOption))](const QJsonObject &row) {
        return dummy.isEmpty() || !wanted.match(row["name"].toString()).hasMatch();
    });
    QJsonArray rows;
    for (QJsonObject &row : displayRows) {
        const QString mode = QStringLiteral("1024x768_%1").arg(row["reportedHz"].toInt());
        if (QProcess::execute("xrandr", { "-display", dummy, "--output", "DUMMY0", "--mode", mode }) == 0)
            measure(row, dummy, parser.value(runsOption).toInt());
        checkTargets(row, benchmark);
        rows.append(row);
    }
    xorg.terminate();
    xorg.waitForFinished();

    Benchmark::printTable("Refreshes with a new frame, steps of the square more than 25 % off and the 95th percentile "
                          "of their error, key to photon in refreshes (median, 90th percentile) and CPU time per "
                          "frame, of the program and of Qt's own loop",
                          rows,
                          { "|name", "new frames|program.newFramePercent|%.1f%%", "Qt|qt.newFramePercent|%.1f%%",
                            "uneven|program.unevenPercent|%.1f%%", "Qt|qt.unevenPercent|%.1f%%",
                            "step 95%|program.stepError95Percent|%.1f%%", "Qt|qt.stepError95Percent|%.1f%%",
                            "median|program.latencyMedianRefreshes|%.2f", "Qt|qt.latencyMedianRefreshes|%.2f",
                            "90%|program.latency90Refreshes|%.2f", "Qt|qt.latency90Refreshes|%.2f",
                            "CPU ms/frame|program.cpuMsPerFrame|%.2f", "Qt|qt.cpuMsPerFrame|%.2f" });
    benchmark.insert("rows", rows);
    return benchmark.finish();
}
