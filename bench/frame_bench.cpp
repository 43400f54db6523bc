// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

// Drives the program's window with real key events and real frames, and
// measures how exactly the square moves at several frame rates, what a frame
// costs and what it allocates. The program is not changed: frames are paced,
// timed and counted from a subclass that wraps its frame function.

#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLWindow>
#include <QPair>
#include <QSysInfo>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <thread>

#ifdef __GLIBC__
#include <dlfcn.h>
#endif
#ifdef Q_OS_LINUX
#include <unistd.h>
#endif

#include "openglwindow.h"
#include "unpaced.h"
#include "windowprobe.h"

namespace {

// Allocations are counted only on the thread that switched counting on, so
// that the GL driver's worker threads do not add theirs.
thread_local bool countingAllocations = false;
qint64 newCalls = 0;
qint64 mallocCalls = 0; // every heap allocation, operator new's included
// Who called malloc, for the first million counted calls.
constexpr qint64 callerCapacity = 1 << 20;
void *mallocCallers[callerCapacity];

} // namespace

// The array and nothrow forms of new and delete call these.
void *operator new(std::size_t size)
{
    if (countingAllocations)
        ++newCalls;
    if (void *block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

void operator delete(void *block) noexcept
{
    std::free(block);
}

void operator delete(void *block, std::size_t) noexcept
{
    std::free(block);
}

#ifdef __GLIBC__
// Qt's containers and strings, and the GL driver, allocate with malloc. These
// replace glibc's malloc, calloc and realloc and pass on to glibc's own.
extern "C" {
void *__libc_malloc(std::size_t size);                    // NOLINT(bugprone-reserved-identifier): glibc's name
void *__libc_calloc(std::size_t count, std::size_t size); // NOLINT(bugprone-reserved-identifier)
void *__libc_realloc(void *block, std::size_t size);      // NOLINT(bugprone-reserved-identifier)
}

namespace {

void noteMallocCall(void *caller)
{
    if (!countingAllocations)
        return;
    if (mallocCalls < callerCapacity)
        mallocCallers[mallocCalls] = caller;
    ++mallocCalls;
}

} // namespace

extern "C" void *malloc(std::size_t size) noexcept
{
    noteMallocCall(__builtin_return_address(0));
    return __libc_malloc(size);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): glibc's names are reserved ones
extern "C" void *calloc(std::size_t count, std::size_t size) noexcept
{
    noteMallocCall(__builtin_return_address(0));
    return __libc_calloc(count, size);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): as above
extern "C" void *realloc(void *block, std::size_t size) noexcept
{
    noteMallocCall(__builtin_return_address(0));
    return __libc_realloc(block, size);
}
#endif

namespace {

constexpr double targetSpeed = 50.0; // world units per second
constexpr double speedTolerance = 0.005;
constexpr int costFrames = 3000;
constexpr long long memoryTolerance = 512; // KiB of spread in resident memory after warm-up

// The benchmark sets the pace itself, in place of the window's pacing to the display.
class BenchWindow : public Unpaced<WindowProbe>
{
public:
    BenchWindow()
    {
        m_frameCosts.reserve(1 << 17); // recording a frame allocates nothing
        m_clock.start();
    }

    // The time spent in the program's frame function, frame by frame.
    const QList<qint64> &frameCostsNs() const { return m_frameCosts; }

    // Frames per second to hold the frame loop to; 0 leaves it unpaced.
    void setPace(int framesPerSecond)
    {
        m_period = framesPerSecond > 0 ? Clock::duration(std::chrono::seconds(1)) / framesPerSecond
                                       : Clock::duration::zero();
        m_due = Clock::now();
    }

protected:
    void paintGL() override
    {
        if (m_period > Clock::duration::zero()) {
            std::this_thread::sleep_until(m_due);
            m_due = std::max(m_due + m_period, Clock::now());
        }
        const qint64 start = m_clock.nsecsElapsed();
        countingAllocations = true;
        WindowProbe::paintGL();
        countingAllocations = false;
        m_frameCosts.append(m_clock.nsecsElapsed() - start);
    }

private:
    QElapsedTimer m_clock;
    QList<qint64> m_frameCosts;
    using Clock = std::chrono::steady_clock;
    Clock::duration m_period = Clock::duration::zero();
    Clock::time_point m_due;
};

struct MotionRun
{
    int pace; // frames per second asked for; 0 = unpaced
    double framesPerSecond;
    double seconds;      // the time the moving frames counted
    double speed;        // from the square's pixels
    double wholeMsSpeed; // what a whole-millisecond timer makes of the same frames

    double error() const { return speed / targetSpeed - 1; }
    double wholeMsError() const { return wholeMsSpeed / targetSpeed - 1; }
};

// Holds `key` for about a second at the given pace and measures how far the
// square went along x.
MotionRun measureMotion(BenchWindow &window, int pace, int key)
{
    window.setPace(pace);
    QTest::qWait(300);
    const double startX = squareCentre(window.nextFrame()).x();
    const int pressedAt = window.framesDrawn();
    sendKeys(&window, QEvent::KeyPress, { key });
    QTest::qWait(1000);
    const int releasedAt = window.framesDrawn();
    sendKeys(&window, QEvent::KeyRelease, { key });
    const double moved = qAbs(squareCentre(window.nextFrame()).x() - startX);

    qint64 wholeMs = 0;
    for (int i = pressedAt; i < releasedAt; ++i)
        wholeMs += qint64(window.secondsCounted(i, i + 1) * 1000);
    const double seconds = window.secondsCounted(pressedAt, releasedAt);
    return { pace, (releasedAt - pressedAt) / seconds, seconds, moved / seconds,
             targetSpeed * double(wholeMs) / 1000.0 / seconds };
}

struct CostRun
{
    int frames;
    double medianUs;
    double p99Us;
    double newPerFrame;
    double ownMallocPerFrame;                  // from the program or Qt, operator new's included
    QMap<QString, double> otherMallocPerFrame; // from other libraries, by library
};

// Splits the malloc calls counted from `from` to `to` by the library that
// made them: this executable (the program and operator new) or Qt, or another.
void attributeMallocCalls(qint64 from, qint64 to, double frames, CostRun &cost)
{
#ifdef __GLIBC__
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    qint64 own = 0;
    QMap<QString, qint64> other;
    for (qint64 i = from; i < std::min(to, callerCapacity); ++i) {
        Dl_info info;
        const QString library = dladdr(mallocCallers[i], &info) && info.dli_fname
                ? QFileInfo(QString::fromLocal8Bit(info.dli_fname)).fileName()
                : QStringLiteral("unknown");
        if (library == self || library.startsWith(QLatin1String("libQt6")))
            ++own;
        else
            ++other[library];
    }
    cost.ownMallocPerFrame = double(own) / frames;
    for (auto it = other.cbegin(); it != other.cend(); ++it)
        cost.otherMallocPerFrame.insert(it.key(), double(it.value()) / frames);
#else
    Q_UNUSED(from);
    Q_UNUSED(to);
    Q_UNUSED(frames);
    cost.ownMallocPerFrame = cost.newPerFrame; // malloc is not counted here
#endif
}

// Unpaced frames with two keys held that cancel, so that every movement test
// runs and the square stays in view.
CostRun measureCost(BenchWindow &window)
{
    window.setPace(0);
    sendKeys(&window, QEvent::KeyPress, { Qt::Key_A, Qt::Key_D });
    QTest::qWait(200);
    const int first = window.framesDrawn();
    const qint64 newBefore = newCalls;
    const qint64 mallocBefore = mallocCalls;
    // qWait, unlike qWaitFor, lets frames run back to back.
    while (window.framesDrawn() < first + costFrames)
        QTest::qWait(50);
    const int end = window.framesDrawn();
    const qint64 newAfter = newCalls;
    const qint64 mallocAfter = mallocCalls;
    sendKeys(&window, QEvent::KeyRelease, { Qt::Key_A, Qt::Key_D });

    QList<qint64> costs;
    for (int i = first; i < end; ++i)
        costs.append(window.frameCostsNs().at(i));
    std::sort(costs.begin(), costs.end());
    CostRun cost {};
    cost.frames = int(costs.size());
    cost.medianUs = double(costs.at(cost.frames / 2)) / 1e3;
    cost.p99Us = double(costs.at((cost.frames - 1) * 99 / 100)) / 1e3;
    cost.newPerFrame = double(newAfter - newBefore) / cost.frames;
    attributeMallocCalls(mallocBefore, mallocAfter, cost.frames, cost);
    return cost;
}

QString glRenderer(BenchWindow &window)
{
    window.makeCurrent();
    const auto *name = window.context()->functions()->glGetString(GL_RENDERER);
    return QString::fromLatin1(reinterpret_cast<const char *>(name));
}

QString paceName(int pace)
{
    return pace > 0 ? QString::number(pace) + QStringLiteral("/s") : QStringLiteral("unpaced");
}

// Prints the motion table and returns it as JSON; `onTarget` is cleared if a
// run misses the speed target.
QJsonArray reportMotion(const QList<MotionRun> &runs, bool &onTarget)
{
    std::printf("Motion: one key held for about a second; target %.0f units/s within %.1f %%\n", targetSpeed,
                speedTolerance * 100);
    std::printf("%-9s %9s %9s %11s %8s   %14s %8s\n", "pace", "frames/s", "held (s)", "speed (u/s)", "error",
                "whole-ms (u/s)", "error");
    QJsonArray json;
    for (const MotionRun &run : runs) {
        onTarget = onTarget && qAbs(run.error()) <= speedTolerance;
        std::printf("%-9s %9.1f %9.3f %11.2f %+7.2f%%   %14.2f %+7.2f%%\n", qPrintable(paceName(run.pace)),
                    run.framesPerSecond, run.seconds, run.speed, run.error() * 100, run.wholeMsSpeed,
                    run.wholeMsError() * 100);
        json.append(QJsonObject { { "pace", paceName(run.pace) },
                                  { "framesPerSecond", run.framesPerSecond },
                                  { "heldSeconds", run.seconds },
                                  { "speed", run.speed },
                                  { "error", run.error() },
                                  { "wholeMsSpeed", run.wholeMsSpeed },
                                  { "wholeMsError", run.wholeMsError() } });
    }
    return json;
}

// Prints the cost and allocations and returns them as JSON; `onTarget` is
// cleared if the program or Qt allocates in a frame.
QJsonObject reportCost(const CostRun &cost, bool &onTarget)
{
    std::printf("Per-frame cost over %d unpaced frames with keys held: median %.1f us, 99th percentile %.1f us\n",
                cost.frames, cost.medianUs, cost.p99Us);
    std::printf("Heap allocations per frame by the program or Qt: %g (by operator new: %g)\n", cost.ownMallocPerFrame,
                cost.newPerFrame);
    QJsonObject others;
    for (auto it = cost.otherMallocPerFrame.cbegin(); it != cost.otherMallocPerFrame.cend(); ++it) {
        std::printf("Heap allocations per frame by %s: %g\n", qPrintable(it.key()), it.value());
        others.insert(it.key(), it.value());
    }
    onTarget = onTarget && cost.ownMallocPerFrame == 0 && cost.newPerFrame == 0;
    return QJsonObject { { "frames", cost.frames },
                         { "medianMicroseconds", cost.medianUs },
                         { "p99Microseconds", cost.p99Us },
                         { "allocationsPerFrame",
                           QJsonObject { { "programAndQt", cost.ownMallocPerFrame },
                                         { "operatorNew", cost.newPerFrame },
                                         { "otherLibraries", others } } } };
}

// Resident memory in KiB, from /proc (Linux); -1 where it cannot be read.
long long residentKiB()
{
#ifdef Q_OS_LINUX
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (statm.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> pages = statm.readAll().split(' ');
        if (pages.size() > 1)
            return pages.at(1).toLongLong() * sysconf(_SC_PAGESIZE) / 1024;
    }
#endif
    return -1;
}

// Draws `frames` unpaced frames with keys held, in the program's own window
// with nothing recording its frames, and reports resident memory over them.
int runMemorySoak(int frames)
{
    Unpaced<OpenGLWindow> window;
    const int sampleEvery = std::max(1, frames / 20);
    int drawn = 0;
    QList<QPair<int, long long>> samples;
    QObject::connect(&window, &QOpenGLWindow::frameSwapped, &window, [&] {
        if (++drawn % sampleEvery == 0)
            samples.append({ drawn, residentKiB() });
    });
    window.show();
    if (!QTest::qWaitForWindowExposed(&window) || residentKiB() < 0) {
        std::fprintf(stderr, "frame_bench: the window did not show, or /proc/self/statm cannot be read.\n");
        return 1;
    }
    sendKeys(&window, QEvent::KeyPress, { Qt::Key_A, Qt::Key_D });
    QElapsedTimer clock;
    clock.start();
    while (drawn < frames)
        QTest::qWait(100);

    // The first tenth of the frames is warm-up: caches, driver state, shaders.
    std::printf("Resident memory over %d unpaced frames (%.0f s) with keys held\n%10s %12s\n", drawn,
                double(clock.elapsed()) / 1000.0, "frame", "RSS (KiB)");
    long long low = std::numeric_limits<long long>::max();
    long long high = 0;
    for (const auto &[frame, kib] : samples) {
        std::printf("%10d %12lld\n", frame, kib);
        if (frame > frames / 10) {
            low = std::min(low, kib);
            high = std::max(high, kib);
        }
    }
    const bool flat = high - low <= memoryTolerance;
    std::printf("\nAfter warm-up: %lld to %lld KiB, a spread of %lld KiB (flat: at most %lld): %s\n", low, high,
                high - low, memoryTolerance, flat ? "flat" : "NOT FLAT");
    return flat ? 0 : 1;
}

} // namespace

int runBenchmark(const QString &jsonPath)
{
    // Wide, so that a pixel is a small part of the distance measured along x.
    BenchWindow window;
    window.resize(1200, 300);
    if (!window.showActive()) {
        std::fprintf(stderr, "frame_bench: the window did not show or draw.\n");
        return 1;
    }
    const QString machine
            = QStringLiteral("%1 cores, %2, %3, Qt %4")
                      .arg(QThread::idealThreadCount())
                      .arg(QSysInfo::prettyProductName(), glRenderer(window), QString::fromLatin1(qVersion()));

    // Start near the left edge; the runs then go right and left in turn.
    sendKeys(&window, QEvent::KeyPress, { Qt::Key_A });
    while (squareCentre(window.nextFrame()).x() > 8) { }
    sendKeys(&window, QEvent::KeyRelease, { Qt::Key_A });
    QList<MotionRun> motion;
    int key = Qt::Key_D;
    for (int pace : { 30, 60, 144, 240, 0 }) {
        motion.append(measureMotion(window, pace, key));
        key = key == Qt::Key_D ? Qt::Key_A : Qt::Key_D;
    }
    const CostRun cost = measureCost(window);

    std::printf("glsquare frame benchmark on %s\n\n", qPrintable(machine));
    bool onTarget = true;
    const QJsonArray motionJson = reportMotion(motion, onTarget);
    std::printf("\n");
    const QJsonObject costJson = reportCost(cost, onTarget);
    const QJsonObject results {
        { "machine", machine }, { "motion", motionJson }, { "cost", costJson }, { "onTarget", onTarget }
    };

    QFile json(jsonPath);
    if (!json.open(QIODevice::WriteOnly) || json.write(QJsonDocument(results).toJson()) < 0) {
        std::fprintf(stderr, "frame_bench: cannot write %s\n", qPrintable(jsonPath));
        return 1;
    }
    std::printf("\n%s\nResults written to %s\n", onTarget ? "All targets met." : "TARGETS MISSED.",
                qPrintable(jsonPath));
    return onTarget ? 0 : 1;
}

int main(int argc, char **argv)
{
    // Qt otherwise waits 5 ms before each update request, which would cap the
    // unpaced frame rate; the benchmark sets the pace itself.
    qputenv("QT_QPA_UPDATE_IDLE_TIME", "0");
    QGuiApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Measures the square's speed at several frame rates, the cost of a frame and its allocations."));
    parser.addHelpOption();
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Write the figures to <file>."),
                                  QStringLiteral("file"), QStringLiteral("frame-bench.json"));
    const QCommandLineOption memory(QStringLiteral("memory-frames"),
                                    QStringLiteral("Instead, draw <frames> frames and report resident memory."),
                                    QStringLiteral("frames"));
    parser.addOptions({ json, memory });
    parser.process(app);

    if (parser.isSet(memory))
        return runMemorySoak(parser.value(memory).toInt());
    return runBenchmark(QFileInfo(parser.value(json)).absoluteFilePath());
}
