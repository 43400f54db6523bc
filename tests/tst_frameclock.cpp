// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include <QList>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <deque>

#include "displaylearner.h"
#include "frameclock.h"
#include "framemargin.h"
#include "timing.h"

namespace {

// From this time on the simulated display refreshes in another phase, and
// may refresh at another rate.
constexpr double rateChangeMs = 2000;
// Measured over a second and a half, from a second after that.
constexpr double measureFromMs = 3000;
constexpr double endMs = 4500;

double quantile(QList<double> values, double q)
{
    std::sort(values.begin(), values.end());
    return values.at(qRound(q * double(values.size() - 1)));
}

// Of the refreshes measured: the share with a new frame, and the share whose
// step of the square is more than 25 % off a refresh's worth, with the 95th
// percentile of that error; key press to the refresh that shows it, in
// refreshes, median and 90th percentile; the frames started per refresh;
// and before the display changes, the most that the square's time ran ahead
// from one frame to the next, beyond the time between their starts, in refreshes.
struct Run
{
    double newFrameShare, unevenShare, stepError95, latency50, latency90, framesPerRefresh, jump;
};

// A simulated display and the frame loop's surroundings. The swap behaves as
// vsync does with up to `queue` frames waiting (0: every swap waits for its
// refresh), or returns at once (-1). The display refreshes at `realHz` while
// the screen reports `reportedHz`, and from rateChangeMs on at `laterHz`
// (0: the display does not change).
// The next frame is asked for `idleMs` after the swap returns (Qt may wait
// before each request). `noisy` makes every tenth frame 2 ms slower, and every
// seventh timer and every ninth request 1 ms later.
struct SimulatedDisplay
{
    int queue;
    double realHz, reportedHz, laterHz;
    bool noisy;
    double idleMs;
};

// The frame loop run by the clock against a simulated display, on simulated
// time: each frame takes 0.3 ms, a swap that waits returns up to 0.3 ms after
// its refresh (every 19th, 23rd and 31st frame 1 ms later still), timers fire
// 0.05 ms late and requests come 0.05 ms later than asked, but for `noisy`.
Run simulate(const SimulatedDisplay &display)
{
    const double periodMs = 1000 / (display.laterHz > 0 ? display.laterHz : display.realHz);
    const auto nextRefresh = [&](double ms) {
        const bool changed = display.laterHz > 0 && ms >= rateChangeMs;
        const double origin = changed ? rateChangeMs + 0.4 * periodMs : 0;
        const double period = changed ? periodMs : 1000 / display.realHz;
        return origin + (std::floor((ms - origin) / period + 1e-9) + 1) * period;
    };
    FrameClock clock;
    std::deque<double> waiting; // when the frames waiting will be shown
    QList<double> starts, shown, frameTimes;
    for (double request = 0; request < endMs;) {
        const int delay = clock.delayMs(Ms(request), display.reportedHz);
        const int frame = int(starts.size());
        const double start = request + (delay > 0 ? delay + (display.noisy && frame % 7 == 0 ? 1.05 : 0.05) : 0);
        frameTimes.append(clock.frameStarted(Ms(start)).count());
        const double swap = start + (display.noisy && frame % 10 == 0 ? 2.3 : 0.3);
        while (!waiting.empty() && waiting.front() <= swap)
            waiting.pop_front();
        shown.append(nextRefresh(waiting.empty() ? swap : waiting.back()));
        double returned = swap;
        if (display.queue >= 0) {
            waiting.push_back(shown.last());
            if (int(waiting.size()) > display.queue) // woken up after the refresh
                returned = waiting.at(waiting.size() - 1 - display.queue) + frame * 37 % 31 / 100.0
                        + (frame % 19 == 0 || frame % 23 == 0 || frame % 31 == 0 ? 1 : 0);
        }
        clock.frameSwapped(Ms(returned));
        starts.append(start);
        request = returned + display.idleMs + (display.noisy && frame % 9 == 0 ? 1.05 : 0.05);
    }

    const double refreshes = (endMs - measureFromMs) / periodMs;
    const auto measured = [](double ms) { return ms >= measureFromMs && ms < endMs; };
    QList<double> latencies, stepErrors;
    // Keys pressed a golden section of a refresh apart, at every phase of it.
    for (double key = measureFromMs; key < endMs - 100; key += 1.618 * periodMs) {
        const auto firstAfter = std::lower_bound(starts.cbegin(), starts.cend(), key) - starts.cbegin();
        latencies.append((shown.at(firstAfter) - key) / periodMs);
    }
    // The square is where the frame on screen puts it: at the time it is for.
    double lastTimeMs = -1;
    for (double refresh = nextRefresh(measureFromMs); refresh < endMs; refresh = nextRefresh(refresh)) {
        const double timeMs
                = frameTimes.at(std::upper_bound(shown.cbegin(), shown.cend(), refresh + 1e-6) - shown.cbegin() - 1);
        if (lastTimeMs >= 0)
            stepErrors.append(std::abs((timeMs - lastTimeMs) / periodMs - 1));
        lastTimeMs = timeMs;
    }
    double jump = 0;
    for (qsizetype i = 1; i < starts.size() && starts.at(i) < rateChangeMs; ++i)
        jump = std::max(jump,
                        (frameTimes.at(i) - frameTimes.at(i - 1) - starts.at(i) + starts.at(i - 1)) * display.realHz
                                / 1000);
    const auto newFrames = std::unique(shown.begin(), shown.end()) - shown.begin();
    return { double(std::count_if(shown.cbegin(), shown.cbegin() + newFrames, measured)) / refreshes,
             double(std::count_if(stepErrors.cbegin(), stepErrors.cend(), [](double e) { return e > 0.25; }))
                     / double(stepErrors.size()),
             quantile(stepErrors, 0.95),
             quantile(latencies, 0.5),
             quantile(latencies, 0.9),
             double(std::count_if(starts.cbegin(), starts.cend(), measured)) / refreshes,
             jump };
}

} // namespace

class tst_FrameClock : public QObject
{
    Q_OBJECT

private slots:
    void keepsUpWithTheDisplay_data();
    void keepsUpWithTheDisplay();
    void gridRoundsToRefreshes();
    void learnerFindsWhatPacesTheLoop_data();
    void learnerFindsWhatPacesTheLoop();
    void marginFollowsStallsAndMisses();
};

void tst_FrameClock::keepsUpWithTheDisplay_data()
{
    QTest::addColumn<SimulatedDisplay>("display");
    // Of the refreshes measured, at least the share with a new frame, and key
    // to photon in refreshes at most, median and 90th percentile.
    QTest::addColumn<double>("minNewFrames");
    QTest::addColumn<double>("maxLatency");
    QTest::addColumn<double>("maxLatency90");

    // Each row catches a wrong decision that no other row catches.
    const auto row
            = [](const char *name, const SimulatedDisplay &display, double minNewFrames, double maxLatency,
                 double maxLatency90) { QTest::newRow(name) << display << minNewFrames << maxLatency << maxLatency90; };
    row("2 frames wait, 240 Hz then 60, slow frames, late timers", { 2, 240, 240, 60, true, 0 }, 0.99, 1.0, 1.5);
    row("swap blocks, 60 Hz then 144", { 0, 60, 60, 144, false, 0 }, 0.99, 1.0, 1.5);
    // Frames left waiting by a probe delay every frame after them, unseen,
    // unless the frames aimed at refreshes wait behind them, at refreshes
    // where the probe's own swaps put them.
    row("2 frames wait, 60 Hz", { 2, 60, 60, 0, false, 0 }, 0.99, 1.0, 1.5);
    row("2 frames wait, 60 Hz, then another phase", { 2, 60, 60, 60, false, 0 }, 0.99, 1.0, 2.5);
    row("swap blocks, 144 Hz reported as 60, slow frames, late timers", { 0, 144, 60, 144, true, 0 }, 0.99, 1.2, 1.6);
    row("swap blocks, 240 Hz reported as 144, requests 2.7 ms after the swap", { 0, 240, 144, 240, false, 2.7 }, 0.9,
        1.3, 1.6);
    // Where Qt asks for each frame a moment after the swap, a probe's late
    // frame misses its refresh now and then, and late returns skew its
    // intervals: such a probe must not make the clock hold frames to the
    // rate reported.
    row("swap blocks, 240 Hz reported as 144, slow frames, late timers, requests 1.2 ms after the swap",
        { 0, 240, 144, 240, true, 1.2 }, 0.95, 1.3, 1.8);
    row("no vsync, 144 Hz, slow frames, late timers", { -1, 144, 144, 144, true, 0 }, 0.9, 1.5, 2.0);
    // A rate no display has counts as 60 Hz.
    row("no vsync, 60 Hz reported as 0", { -1, 60, 0, 60, false, 0 }, 0.9, 1.5, 2.0);
    row("no vsync, 60 Hz reported as 1", { -1, 60, 1, 60, false, 0 }, 0.9, 1.5, 2.0);
    row("no vsync, 60 Hz reported as not a number", { -1, 60, qQNaN(), 60, false, 0 }, 0.9, 1.5, 2.0);
}

void tst_FrameClock::keepsUpWithTheDisplay()
{
    QFETCH(SimulatedDisplay, display);
    QFETCH(double, minNewFrames);
    QFETCH(double, maxLatency);
    QFETCH(double, maxLatency90);
    const Run run = simulate(display);
    const QString figures = QString::asprintf("%.1f %% new frames, %.2f frames a refresh, key to photon %.2f / %.2f "
                                              "refreshes, %.1f %% uneven, step error %.1f %%, jumps %.2f refreshes",
                                              run.newFrameShare * 100, run.framesPerRefresh, run.latency50,
                                              run.latency90, run.unevenShare * 100, run.stepError95 * 100, run.jump);
    // Without vsync, about a frame per refresh: no busy loop. Where the
    // refreshes can be known, at most 1 % of steps are uneven, and 95 % are
    // within 5 % of a refresh's worth. The square never jumps ahead when the
    // clock learns the display.
    const bool vsync = display.queue >= 0 && display.idleMs == 0;
    QVERIFY2(run.newFrameShare >= minNewFrames && (display.queue >= 0 || run.framesPerRefresh <= 1.15)
                     && run.latency50 <= maxLatency && run.latency90 <= maxLatency90
                     && (!vsync || (run.unevenShare <= 0.01 && run.stepError95 <= 0.05)) && run.jump < 1.5,
             qPrintable(figures));
}

void tst_FrameClock::gridRoundsToRefreshes()
{
    // Refreshes at 10 + 4k ms. A time, the first refresh at or after it and
    // the one nearest it: at a refresh, just after and just before one,
    // half-way between two, before the phase.
    const RefreshGrid grid { Ms(10), Ms(4) };
    constexpr double cases[][3]
            = { { 18, 18, 18 }, { 18.001, 22, 18 }, { 17.999, 18, 18 }, { 20, 22, 22 }, { 5, 6, 6 } };
    for (const auto &[time, next, nearest] : cases) {
        QCOMPARE(grid.next(Ms(time)).count(), next);
        QCOMPARE(grid.nearest(Ms(time)).count(), nearest);
    }
}

void tst_FrameClock::learnerFindsWhatPacesTheLoop_data()
{
    // The display: refreshes a second (0: none paces the loop), whether they
    // pace the swaps or the requests, how long after the swap each request
    // comes, every how many frames one is 2 ms slower, and which probes'
    // late frames are seen to return 1.5 ms late; what paces the loop then,
    // and its period, on a screen that reports 144 Hz.
    QTest::addColumn<double>("hz");
    QTest::addColumn<bool>("requestsPaced");
    QTest::addColumn<double>("idleMs");
    QTest::addColumn<int>("slowEvery");
    QTest::addColumn<QList<int>>("lateProbes");
    QTest::addColumn<Pace>("pace");
    QTest::addColumn<double>("periodMs");

    QTest::newRow("swaps wait for 60 Hz")
            << 60.0 << false << 0.0 << 0 << QList<int>() << Pace::SwapsPlaced << 1000 / 60.0;
    QTest::newRow("requests come at 60 Hz")
            << 60.0 << true << 0.0 << 0 << QList<int>() << Pace::Requests << 1000 / 60.0;
    QTest::newRow("no vsync") << 0.0 << false << 0.0 << 0 << QList<int>() << Pace::None << 1000 / 144.0;
    // Requests late after each swap, and a slow frame now and then, make a
    // probe's late frame miss its refresh: the swaps still pace the loop.
    QTest::newRow("swaps wait for 240 Hz, requests 2 ms late, slow frames")
            << 240.0 << false << 2.0 << 7 << QList<int>() << Pace::SwapsPlaced << 1000 / 240.0;
    // A late frame seen to return as much later as it started late looks
    // unpaced: no such probe must hold frames to the reported rate, neither
    // the first nor two in a row once the swaps are found to pace the loop.
    QTest::newRow("swaps wait for 240 Hz, the first probe's late frame seen late")
            << 240.0 << false << 0.0 << 0 << QList<int> { 1 } << Pace::SwapsPlaced << 1000 / 240.0;
    QTest::newRow("swaps wait for 240 Hz, two later probes' late frames seen late")
            << 240.0 << false << 0.0 << 0 << QList<int> { 3, 4 } << Pace::SwapsPlaced << 1000 / 240.0;
}

void tst_FrameClock::learnerFindsWhatPacesTheLoop()
{
    QFETCH(double, hz);
    QFETCH(bool, requestsPaced);
    QFETCH(double, idleMs);
    QFETCH(int, slowEvery);
    QFETCH(QList<int>, lateProbes);
    QFETCH(Pace, pace);
    QFETCH(double, periodMs);
    const RefreshGrid display { Ms(0.2), Ms(hz > 0 ? 1000 / hz : 1) };
    DisplayLearner learner;
    Ms request(1);
    int probes = 0;
    for (int frame = 0; frame < 200; ++frame) {
        const Ms probeDelay = learner.frameRequested(request, 144).value_or(Ms());
        const Ms swap = request + probeDelay + Ms(slowEvery > 0 && frame % slowEvery == 0 ? 2.3 : 0.3);
        const bool lateFrame = probeDelay > Ms(); // the one frame of each probe that starts late
        probes += lateFrame ? 1 : 0;
        const bool seenLate = lateFrame && lateProbes.contains(probes);
        const Ms returned = (hz > 0 && !requestsPaced ? display.next(swap) : swap) + Ms(seenLate ? 1.6 : 0.1);
        learner.frameSwapped(returned, {});
        request = (requestsPaced ? display.next(returned) : returned) + Ms(idleMs);
    }
    QCOMPARE(learner.pace(), pace);
    QVERIFY2(qAbs(learner.grid().period.count() - periodMs) < 0.02,
             qPrintable(QString::number(learner.grid().period.count())));
    // Swaps twice as fast as the refreshes known, until a probe sees them,
    // push the square's time no more than a refresh for each frame that may wait.
    const Ms known = learner.grid().period;
    for (int frame = 0; frame < 30; ++frame)
        learner.frameSwapped(learner.lastSwap() + known / 2, {});
    QVERIFY(learner.nextShown(learner.lastSwap()) - learner.lastSwap() <= (Tuning::maxWaitingFrames + 1) * known);
}

void tst_FrameClock::marginFollowsStallsAndMisses()
{
    // Frames at 60 Hz, 16.7 ms apart but the last: how late a timer started
    // each and whether it missed its refresh, the last one's distance from
    // the one before, and the margin then.
    struct Case
    {
        QList<double> late;
        QList<bool> missed;
        double lastAfterMs, marginMs;
    };
    const Case cases[] = {
        { { 0 }, { false }, 16.7, 2 },                                          // nothing seen: the least margin
        { { 10, 0 }, { false, false }, 16.7, 10.45 },                           // a timer 10 ms late
        { { 10, 0 }, { false, false }, 6000, 2 },                               // the same, 6 s ago
        { { 0, 0 }, { true, true }, 16.7, 6 },                                  // two misses
        { { 0, 0 }, { true, false }, 10000, 2.74 },                             // a miss 10 s ago
        { QList<double>(20, 0), QList<bool>(20, true), 16.7, 2 + 1000 / 60.0 }, // misses, up to a refresh
    };
    for (const Case &c : cases) {
        FrameMargin margin;
        for (int i = 0; i < c.late.size(); ++i)
            margin.add(Ms(i + 1 < c.late.size() ? 16.7 : c.lastAfterMs), Ms(c.late.at(i)), Ms(), c.missed.at(i),
                       Ms(1000 / 60.0));
        QVERIFY2(qAbs(margin.margin().count() - c.marginMs) < 0.01,
                 qPrintable(QString::number(margin.margin().count())));
    }
}

QTEST_APPLESS_MAIN(tst_FrameClock)
#include "tst_frameclock.moc"
