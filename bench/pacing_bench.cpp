// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

// Measures how the frame loop keeps up with the display. On displays that
// report 60, 144, 240 and 360 Hz (Xorg with the dummy video driver), with
// every swap held until the next refresh as vsync holds it (vsync.cpp,
// preloaded), it counts the refreshes that get a new frame. On the current
// display, where the swap returns at once (Xvfb under quickstart.sh), it
// measures frames per second and the CPU time they cost. Every row runs the
// program's window as it is and, for comparison, the same window drawing at
// every update request under Qt's 5 ms delay, as it did before it paced its
// frames.

#include <QByteArray>
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
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScreen>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>

#include <sys/resource.h>

#include "openglwindow.h"
#include "unpaced.h"

namespace {

constexpr double warmUpSeconds = 1.0;
constexpr double measuredSeconds = 3.0;
constexpr double refreshTarget = 0.97; // share of refreshes with a new frame
const QList<int> refreshRates { 60, 144, 240, 360 };

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
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

// The child process: shows one window and prints what it measured as JSON.
int measureWindow(bool paced)
{
    const std::unique_ptr<OpenGLWindow> owner(paced ? new OpenGLWindow : new Unpaced<OpenGLWindow>);
    OpenGLWindow &window = *owner;
    QList<qint64> swaps; // when each frame was presented, on the clock of vsync.cpp
    swaps.reserve(1 << 16);
    QObject::connect(&window, &QOpenGLWindow::frameSwapped, &window, [&swaps] { swaps.append(monotonicNs()); });
    window.show();
    runEventLoop(warmUpSeconds);
    swaps.clear();
    const qint64 startNs = monotonicNs();
    const qint64 startCpuNs = cpuNs();
    runEventLoop(measuredSeconds);
    const qint64 endNs = monotonicNs();
    const double seconds = double(endNs - startNs) / 1e9;
    const double cpuMsPerSecond = double(cpuNs() - startCpuNs) / 1e6 / seconds;

    // A swap held by vsync.cpp returns just after the tick it waited for.
    const double hz = qEnvironmentVariable("GLSQUARE_VSYNC_HZ").toDouble();
    QSet<qint64> refreshes;
    // The frameSwapped() handler above fills `swaps` while the event loop runs.
    // cppcheck-suppress knownEmptyContainer
    for (qint64 swapNs : swaps)
        refreshes.insert(qint64(std::floor(double(swapNs) * hz / 1e9)));
    const double ticks = std::floor(double(endNs) * hz / 1e9) - std::floor(double(startNs) * hz / 1e9);
    const QJsonObject result { { "screenHz", window.screen()->refreshRate() },
                               { "framesPerSecond", double(swaps.size()) / seconds },
                               { "cpuMsPerSecond", cpuMsPerSecond },
                               { "newFrameShare", ticks > 0 ? double(refreshes.size()) / ticks : 0.0 } };
    std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    return 0;
}

// Runs measureWindow in a child process on `display`.
QJsonObject runWindow(bool paced, const QString &display, double vsyncHz, const std::function<void()> &meanwhile = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", display);
    environment.insert("QT_QPA_PLATFORM", "xcb");
    static const QTemporaryDir runtimeDir; // as in a desktop session; Qt warns without it
    environment.insert("XDG_RUNTIME_DIR", runtimeDir.path());
    if (paced)
        environment.remove("QT_QPA_UPDATE_IDLE_TIME");
    else
        environment.insert("QT_QPA_UPDATE_IDLE_TIME", "5");
    if (vsyncHz > 0) {
        environment.insert("LD_PRELOAD", QStringLiteral(VSYNC_PRELOAD));
        environment.insert("GLSQUARE_VSYNC_HZ", QString::number(vsyncHz));
    }
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                { "--window", paced ? QStringLiteral("paced") : QStringLiteral("unpaced") });
    if (meanwhile && child.waitForStarted())
        meanwhile();
    child.waitForFinished(int((warmUpSeconds + measuredSeconds) * 1000) + 30000);
    return QJsonDocument::fromJson(child.readAllStandardOutput()).object();
}

// Xorg with the dummy video driver: a display whose refresh rate is read from
// its video mode, as on a real monitor, and switched with xrandr.
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
        QString config;
        for (int hz : refreshRates) {
            // 1024 x 768 with 1344 x 806 pixel clocks a frame, as in the VESA 60 Hz mode.
            config += QStringLiteral("    Modeline \"%1\" %2 1024 1048 1184 1344 768 771 777 806\n")
                              .arg(modeName(hz))
                              .arg(1344.0 * 806.0 * hz / 1e6, 0, 'f', 3);
        }
        QFile file(m_dir.filePath("xorg.conf"));
        if (!m_dir.isValid() || !file.open(QIODevice::WriteOnly)) {
            error = "cannot write the X server's configuration";
            return {};
        }
        file.write(QStringLiteral("Section \"Device\"\n    Identifier \"dummy\"\n    Driver \"dummy\"\n"
                                  "    VideoRam 65536\n    DacSpeed 2000\nEndSection\n"
                                  "Section \"Monitor\"\n    Identifier \"monitor\"\n    HorizSync 1 - 2000\n"
                                  "    VertRefresh 1 - 1000\n%1EndSection\n"
                                  "Section \"Screen\"\n    Identifier \"screen\"\n    Device \"dummy\"\n"
                                  "    Monitor \"monitor\"\n    DefaultDepth 24\n"
                                  "    SubSection \"Display\"\n        Depth 24\n        Modes \"%2\"\n"
                                  "    EndSubSection\nEndSection\n")
                           .arg(config, modeName(refreshRates.first()))
                           .toUtf8());
        file.close();

        int number = 50;
        while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            ++number;
        m_display = QStringLiteral(":%1").arg(number);
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.start("Xorg",
                       { m_display, "-config", file.fileName(), "-logfile", m_dir.filePath("Xorg.log"), "-noreset",
                         "-nolisten", "tcp" });
        const bool up
                = m_server.waitForStarted()
                && QTest::qWaitFor(
                          [&] { return m_server.state() != QProcess::Running || setRefreshRate(refreshRates.first()); },
                          10000);
        if (!up || m_server.state() != QProcess::Running) {
            error = "Xorg with the dummy driver did not start (it needs root, xserver-xorg-core and "
                    "xserver-xorg-video-dummy): "
                    + QString::fromLocal8Bit(m_server.readAll()).trimmed().section('\n', -1);
            return {};
        }
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

    QTemporaryDir m_dir;
    QProcess m_server;
    QString m_display;
};

struct Row
{
    QString display;
    QJsonObject paced;
    QJsonObject unpaced;
};

void printRow(const Row &row, bool vsync)
{
    const auto figure = [vsync](const QJsonObject &run) {
        if (run.isEmpty())
            return QStringLiteral("%1").arg("-", 20);
        return vsync ? QString::asprintf("%9.1f %9.1f%%", run["framesPerSecond"].toDouble(),
                                         run["newFrameShare"].toDouble() * 100)
                     : QString::asprintf("%9.1f %8.0f ms", run["framesPerSecond"].toDouble(),
                                         run["cpuMsPerSecond"].toDouble());
    };
    std::printf("%-30s %s   %s\n", qPrintable(row.display), qPrintable(figure(row.paced)),
                qPrintable(figure(row.unpaced)));
}

QJsonObject toJson(const Row &row)
{
    return { { "display", row.display }, { "paced", row.paced }, { "before", row.unpaced } };
}

int runBenchmark(const QString &jsonPath)
{
    bool onTarget = true;
    QJsonArray vsyncJson;
    std::printf("Swap held until the next refresh (vsync): frames/s and refreshes that got a new frame\n");
    std::printf("%-30s %20s   %20s\n", "display", "paced (now)", "5 ms delay (before)");
    DummyDisplay dummy;
    QString error;
    const QString display = dummy.start(error);
    if (display.isEmpty()) {
        std::printf("skipped: %s\n", qPrintable(error));
        onTarget = false;
    }
    for (int hz : refreshRates) {
        if (display.isEmpty() || !dummy.setRefreshRate(hz))
            break;
        const Row row { QStringLiteral("Xorg dummy, %1 Hz").arg(hz), runWindow(true, display, hz),
                        runWindow(false, display, hz) };
        printRow(row, true);
        onTarget = onTarget && row.paced["newFrameShare"].toDouble() >= refreshTarget;
        vsyncJson.append(toJson(row));
    }

    std::printf("\nSwap returns at once (no vsync): frames/s and CPU time per second\n");
    std::printf("%-30s %20s   %20s\n", "display", "paced (now)", "5 ms delay (before)");
    QJsonArray noVsyncJson;
    const auto noVsyncRow = [&](const Row &row) {
        printRow(row, false);
        noVsyncJson.append(toJson(row));
    };
    const QString here = qEnvironmentVariable("DISPLAY");
    Row xvfb { QString(), runWindow(true, here, 0), runWindow(false, here, 0) };
    xvfb.display = QStringLiteral("%1, %2 Hz").arg(here).arg(xvfb.paced["screenHz"].toDouble(), 0, 'f', 0);
    noVsyncRow(xvfb);
    onTarget = onTarget && xvfb.paced["cpuMsPerSecond"].toDouble() <= xvfb.unpaced["cpuMsPerSecond"].toDouble();
    if (!display.isEmpty() && dummy.setRefreshRate(refreshRates.first())) {
        // The rate changes while the window runs: the pacing must follow it.
        const auto switchTo144 = [&] {
            QTest::qWait(int(warmUpSeconds * 500));
            dummy.setRefreshRate(144);
        };
        noVsyncRow({ QStringLiteral("Xorg dummy, 60 then 144 Hz"), runWindow(true, display, 0, switchTo144),
                     QJsonObject() });
    }

    const QJsonObject results { { "vsync", vsyncJson }, { "noVsync", noVsyncJson }, { "onTarget", onTarget } };
    QFile json(jsonPath);
    if (!json.open(QIODevice::WriteOnly) || json.write(QJsonDocument(results).toJson()) < 0) {
        std::fprintf(stderr, "pacing_bench: cannot write %s\n", qPrintable(jsonPath));
        return 1;
    }
    std::printf("\n%s\nResults written to %s\n", onTarget ? "All targets met." : "TARGETS MISSED.",
                qPrintable(jsonPath));
    return onTarget ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    // Each window measured runs in a child process of its own: this program
    // started again as `pacing_bench --window paced|unpaced`.
    if (argc == 3 && qstrcmp(argv[1], "--window") == 0) {
        QGuiApplication app(argc, argv);
        return measureWindow(qstrcmp(argv[2], "paced") == 0);
    }
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures how the frame loop keeps up with the display."));
    parser.addHelpOption();
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Write the figures to <file>."),
                                  QStringLiteral("file"), QStringLiteral("pacing-bench.json"));
    parser.addOption(json);
    parser.process(app);
    return runBenchmark(QFileInfo(parser.value(json)).absoluteFilePath());
}
