// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

// Drives the program's window with real key events and real frames, and
// measures how exactly the square moves at several frame rates, what a frame
// costs, what the process allocates inside the frame function and over whole
// frames, and whether its memory grows. The program is not changed: frames
// are paced, timed and counted from a subclass that wraps its frame function,
// or from its frameSwapped signal.

#include <QtGui>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <thread>

#include <dlfcn.h>
#include <sys/resource.h>

#include "benchmark.h"
#include "openglwindow.h"
#include "windowprobe.h"

namespace {

// The heap allocations noted while counting is on, by the code address that
// made them: in all, and inside the frame function. A fixed table, so that
// noting one allocates nothing and takes no memory.
constexpr std::size_t callSiteCapacity = 4096;
std::atomic<void *> callers[callSiteCapacity];
std::atomic<qint64> calls[callSiteCapacity][2];
std::atomic<bool> counting = false;
thread_local bool inPaintGL = false;

void note(void *caller)
{
    if (!counting.load(std::memory_order_relaxed))
        return;
    // A frame makes a few dozen at most; a full table would drop the rest.
    std::size_t i = (reinterpret_cast<std::uintptr_t>(caller) >> 2) % callSiteCapacity;
    for (std::size_t tries = 0; tries < callSiteCapacity; ++tries, i = (i + 1) % callSiteCapacity) {
        void *empty = nullptr;
        if (callers[i].compare_exchange_strong(empty, caller) || empty == caller) {
            ++calls[i][0];
            calls[i][1] += inPaintGL;
            return;
        }
    }
}

constexpr double targetSpeed = 50.0; // world units per second
constexpr double speedTolerance = 0.005;
constexpr long long memoryTolerance = 512; // KiB the peak of resident memory may grow after warm-up

// The benchmark sets the pace itself, in place of the window's pacing to the
// display, and times the program's frame function.
class BenchWindow : public Unpaced<WindowProbe>
{
public:
    BenchWindow()
    {
        m_frameCosts.resize(1 << 18); // as WindowProbe's frames
        m_frameCosts.clear();
    }
    // The time inside the frame function of each frame drawn, in microseconds.
    const QList<double> &frameCostsUs() const { return m_frameCosts; }

    // Frames per second to hold the frame loop to; 0 leaves it to the swap.
    void setPace(int framesPerSecond)
    {
        m_period = framesPerSecond > 0 ? std::chrono::nanoseconds(1000000000 / framesPerSecond) : Clock::duration();
        m_due = Clock::now();
    }

protected:
    void paintGL() override
    {
        if (m_period > Clock::duration()) {
            std::this_thread::sleep_until(m_due);
            m_due = std::max(m_due + m_period, Clock::now());
        }
        const auto start = Clock::now();
        inPaintGL = true;
        WindowProbe::paintGL();
        inPaintGL = false;
        m_frameCosts.append(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }

private:
    using Clock = std::chrono::steady_clock;
    QList<double> m_frameCosts;
    Clock::duration m_period;
    Clock::time_point m_due;
};

// Holds `key` for about a second at the given pace and measures how far the
// square went along x.
QJsonObject measureMotion(BenchWindow &window, int pace, int key)
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
    const double seconds = window.secondsElapsed(pressedAt, releasedAt);
    return { { "pace", pace > 0 ? QStringLiteral("%1/s").arg(pace) : QStringLiteral("the swap's") },
             { "framesPerSecond", (releasedAt - pressedAt) / seconds },
             { "speed", moved / seconds },
             { "errorPercent", (moved / seconds / targetSpeed - 1) * 100 } };
}

// The allocations noted per frame, in all and inside paintGL, a row for each
// library that made them (the executable's name for the benchmark's own code).
QJsonArray perFrameByLibrary(int frames)
{
    QMap<QString, QPair<qint64, qint64>> byLibrary;
    for (std::size_t i = 0; i < callSiteCapacity; ++i) {
        Dl_info info;
        if (calls[i][0] > 0 && dladdr(callers[i], &info) && info.dli_fname) {
            byLibrary[QFileInfo(info.dli_fname).fileName()].first += calls[i][0];
            byLibrary[QFileInfo(info.dli_fname).fileName()].second += calls[i][1];
        }
    }
    QJsonArray rows;
    for (auto it = byLibrary.cbegin(); it != byLibrary.cend(); ++it)
        rows.append(QJsonObject { { "library", it.key() },
                                  { "wholeFrame", double(it->first) / frames },
                                  { "inPaintGL", double(it->second) / frames } });
    return rows;
}

// Shows `window`, holds two keys that cancel, so that every movement test runs
// and the square stays in view, and runs one event loop for `frames` frames
// after a tenth as many for warm-up (caches, driver state, shaders). Over
// those frames, from one swap to the next, it counts the allocations of every
// thread, and how far the peak of resident memory grows.
QJsonObject measureWholeFrames(OpenGLWindow &window, int frames)
{
    // The peak resident memory of the process in KiB; reading it allocates nothing.
    const auto peakResidentKiB = [] {
        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        return qint64(usage.ru_maxrss);
    };
    int swapped = 0;
    qint64 warmKiB = 0;
    QEventLoop loop;
    QObject::connect(&window, &QOpenGLWindow::frameSwapped, &loop, [&] {
        if (++swapped == frames / 10) {
            warmKiB = peakResidentKiB();
            for (std::size_t i = 0; i < callSiteCapacity; ++i)
                callers[i] = nullptr, calls[i][0] = 0, calls[i][1] = 0;
            counting = true;
        } else if (swapped == frames / 10 + frames) {
            counting = false;
            loop.quit();
        }
    });
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return {};
    sendKeys(&window, QEvent::KeyPress, { Qt::Key_A, Qt::Key_D });
    loop.exec();
    sendKeys(&window, QEvent::KeyRelease, { Qt::Key_A, Qt::Key_D });
    return { { "frames", frames },
             { "allocations", perFrameByLibrary(frames) },
             { "peakResidentKiB", peakResidentKiB() },
             { "peakGrowthKiB", peakResidentKiB() - warmKiB } };
}

} // namespace

// These replace glibc's malloc, calloc and realloc, which Qt's containers and
// the GL driver allocate with, and operator new, which then counts once, for
// its caller; libstdc++'s other forms of new, and its delete, which frees,
// call these.
extern "C" {
void *__libc_malloc(std::size_t size);                    // NOLINT(bugprone-reserved-identifier): glibc's name
void *__libc_calloc(std::size_t count, std::size_t size); // NOLINT(bugprone-reserved-identifier)
void *__libc_realloc(void *block, std::size_t size);      // NOLINT(bugprone-reserved-identifier)

void *malloc(std::size_t size) noexcept
{
    note(__builtin_return_address(0));
    return __libc_malloc(size);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): glibc's names are reserved ones
void *calloc(std::size_t count, std::size_t size) noexcept
{
    note(__builtin_return_address(0));
    return __libc_calloc(count, size);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): as above
void *realloc(void *block, std::size_t size) noexcept
{
    note(__builtin_return_address(0));
    return __libc_realloc(block, size);
}
}

void *operator new(std::size_t size)
{
    note(__builtin_return_address(0));
    if (void *block = __libc_malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

int main(int argc, char **argv)
{
    // Qt otherwise waits 5 ms before each update request, which would cap the
    // frame rate of Qt's own loop and of the benchmark's paces.
    qputenv("QT_QPA_UPDATE_IDLE_TIME", "0");
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption framesOption("frames", "Frames in Qt's own loop to measure (3000).", "n", "3000");
    parser.addOption(framesOption);
    Benchmark benchmark("frame-bench", "Measures the square's speed, a frame's cost and allocations, memory.", parser);

    // Wide, so that a pixel is a small part of the distance measured along x.
    BenchWindow window;
    window.resize(1200, 300);
    if (!window.showActive()) {
        benchmark.miss("the window did not show or draw");
        return benchmark.finish();
    }
    window.makeCurrent();
    const auto *renderer = reinterpret_cast<const char *>(window.context()->functions()->glGetString(GL_RENDERER));
    benchmark.printMachine(QStringLiteral(", %1, display %2 (%3, %4 Hz reported)")
                                   .arg(renderer, qEnvironmentVariable("DISPLAY"), QGuiApplication::platformName())
                                   .arg(window.screen()->refreshRate()));

    // Start near the left edge; the runs then go right and left in turn.
    sendKeys(&window, QEvent::KeyPress, { Qt::Key_A });
    while (squareCentre(window.nextFrame()).x() > 8) { }
    sendKeys(&window, QEvent::KeyRelease, { Qt::Key_A });
    QJsonArray motion;
    for (int pace : { 30, 60, 144, 240, 0 }) {
        motion.append(measureMotion(window, pace, motion.size() % 2 ? Qt::Key_A : Qt::Key_D));
        if (qAbs(motion.last()["errorPercent"].toDouble()) > speedTolerance * 100)
            benchmark.miss(motion.last()["pace"].toString() + ": the square's speed is off");
    }
    // Qt's own loop: the benchmark's window as fast as the swap lets it.
    const QJsonObject qt = measureWholeFrames(window, parser.value(framesOption).toInt());

    Benchmark::printTable(
            QString::asprintf("Motion: one key held for about a second; target %.0f units/s within "
                              "%.1f %%. The last pace is the swap's alone.",
                              targetSpeed, speedTolerance * 100),
            motion,
            { "pace|pace", "frames/s|framesPerSecond|%.1f", "speed (u/s)|speed|%.2f", "error|errorPercent|%+.2f%%" });
    const QList<double> costs = window.frameCostsUs().mid(window.frameCostsUs().size() - qt["frames"].toInt());
    std::printf("\nTime inside paintGL over %d frames of Qt's own loop: median %.1f us, 99th percentile %.1f us\n",
                qt["frames"].toInt(), quantile(costs, 0.5), quantile(costs, 0.99));
    for (const auto &library : qt["allocations"].toArray()) {
        const QString name = library.toObject()["library"].toString();
        if (library.toObject()["inPaintGL"].toDouble() > 0
            && (name.startsWith("libQt6") || name == QCoreApplication::applicationName()))
            benchmark.miss(name + " allocates inside paintGL");
    }
    Benchmark::printTable(QStringLiteral("Heap allocations per frame (malloc, calloc, realloc, operator new) by the "
                                         "library that made them: Qt's own loop, %1 frames")
                                  .arg(qt["frames"].toInt()),
                          qt["allocations"].toArray(),
                          { "library|library", "whole frame (all threads)|wholeFrame|%g",
                            "inside paintGL (its thread)|inPaintGL|%g" });
    std::printf("Peak resident memory %lld KiB, grown %lld KiB after warm-up\n", qt["peakResidentKiB"].toInteger(),
                qt["peakGrowthKiB"].toInteger());
    if (qt.isEmpty() || qt["peakGrowthKiB"].toInteger() > memoryTolerance)
        benchmark.miss("resident memory grows, or was not measured");
    benchmark.insert("motion", motion);
    benchmark.insert("frames", qt);
    return benchmark.finish();
}
