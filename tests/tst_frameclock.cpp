// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include <QList>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <deque>

#include "frameclock.h"

namespace {

// From this time on the simulated display may refresh at another rate.
constexpr double rateChangeMs = 2000;
// Measured over the last second and a half of five.
constexpr double measureFromMs = 3500;
constexpr double endMs = 5000;

// The share of the refreshes measured that got a new frame, the median key
// press to the refresh that shows it, and the frames started per refresh.
struct Run
{
    double newFrameShare, latencyRefreshes, framesPerRefresh;
};

// The frame loop run by the clock against a simulated display, on simulated
// time: each frame takes 0.3 ms, a swap that waits returns up to 0.3 ms after
// its refresh (every 19th, 23rd and 31st frame 1 ms later still), timers fire
// 0.05 ms late and the next frame is asked for `idleMs` and 0.05 ms after
// the swap returns (Qt may wait before each request); `noisy` makes every
// tenth frame 2 ms slower, and every seventh timer and every ninth request
// 1 ms later. The swap behaves as vsync does with up to `queue` frames
// waiting (0: every swap waits for its refresh), or returns at once (-1).
Run simulate(int queue, double realHz, double reportedHz, double laterHz, bool noisy, double idleMs)
{
    const auto nextRefresh = [&](double ms) {
        const double origin = ms >= rateChangeMs ? rateChangeMs : 0;
        const double period = 1000 / (ms >= rateChangeMs ? laterHz : realHz);
        return origin + (std::floor((ms - origin) / period + 1e-9) + 1) * period;
    };
    FrameClock clock;
    std::deque<double> waiting; // when the frames waiting will be shown
    QList<double> starts;
    QList<double> shown;
    for (double request = 0; request < endMs;) {
        const int delay = clock.delayMs(request, reportedHz);
        const int frame = int(starts.size());
        const double start = request + (delay > 0 ? delay + (noisy && frame % 7 == 0 ? 1.05 : 0.05) : 0);
        clock.frameStarted(start);
        const double swap = start + (noisy && frame % 10 == 0 ? 2.3 : 0.3);
        while (!waiting.empty() && waiting.front() <= swap)
            waiting.pop_front();
        shown.append(nextRefresh(waiting.empty() ? swap : waiting.back()));
        double returned = swap;
        if (queue >= 0) {
            waiting.push_back(shown.last());
            if (int(waiting.size()) > queue) // woken up after the refresh
                returned = waiting.at(waiting.size() - 1 - queue) + frame * 37 % 31 / 100.0
                        + (frame % 19 == 0 || frame % 23 == 0 || frame % 31 == 0 ? 1 : 0);
        }
        clock.frameSwapped(returned);
        starts.append(start);
        request = returned + idleMs + (noisy && frame % 9 == 0 ? 1.05 : 0.05);
    }

    const double periodMs = 1000 / laterHz;
    const double refreshes = (endMs - measureFromMs) / periodMs;
    const auto measured = [](double ms) { return ms >= measureFromMs && ms < endMs; };
    QList<double> latencies;
    // Keys pressed a golden section of a refresh apart, at every phase of it.
    for (double key = measureFromMs; key < endMs - 100; key += 5.618 * periodMs) {
        const auto firstAfter = std::lower_bound(starts.cbegin(), starts.cend(), key) - starts.cbegin();
        latencies.append((shown.at(firstAfter) - key) / periodMs);
    }
    std::nth_element(latencies.begin(), latencies.begin() + latencies.size() / 2, latencies.end());
    const auto newFrames = std::unique(shown.begin(), shown.end()) - shown.begin();
    return { double(std::count_if(shown.cbegin(), shown.cbegin() + newFrames, measured)) / refreshes,
             latencies.at(latencies.size() / 2),
             double(std::count_if(starts.cbegin(), starts.cend(), measured)) / refreshes };
}

} // namespace

class tst_FrameClock : public QObject
{
    Q_OBJECT

private slots:
    void keepsUpWithTheDisplay_data();
    void keepsUpWithTheDisplay();
};

void tst_FrameClock::keepsUpWithTheDisplay_data()
{
    QTest::addColumn<int>("queue");
    QTest::addColumn<double>("realHz");
    QTest::addColumn<double>("reportedHz");
    QTest::addColumn<double>("laterHz");
    QTest::addColumn<bool>("noisy");
    QTest::addColumn<double>("idleMs");
    QTest::addColumn<double>("minNewFrames"); // the share of refreshes with a new frame
    QTest::addColumn<double>("maxLatency");   // in refreshes

    // Each row catches a wrong decision that no other row catches.
    QTest::newRow("2 frames wait, 240 Hz then 60, slow frames, late timers")
            << 2 << 240.0 << 240.0 << 60.0 << true << 0.0 << 0.99 << 1.0;
    QTest::newRow("swap blocks, 60 Hz then 144") << 0 << 60.0 << 60.0 << 144.0 << false << 0.0 << 0.99 << 1.0;
    QTest::newRow("swap blocks, 144 Hz reported as 60, slow frames, late timers")
            << 0 << 144.0 << 60.0 << 144.0 << true << 0.0 << 0.99 << 1.1;
    QTest::newRow("swap blocks, 240 Hz reported as 144, requests 2.7 ms after the swap")
            << 0 << 240.0 << 144.0 << 240.0 << false << 2.7 << 0.9 << 1.3;
    QTest::newRow("no vsync, 144 Hz, slow frames, late timers")
            << -1 << 144.0 << 144.0 << 144.0 << true << 0.0 << 0.9 << 1.5;
}

void tst_FrameClock::keepsUpWithTheDisplay()
{
    QFETCH(int, queue);
    QFETCH(double, realHz);
    QFETCH(double, reportedHz);
    QFETCH(double, laterHz);
    QFETCH(bool, noisy);
    QFETCH(double, idleMs);
    QFETCH(double, minNewFrames);
    QFETCH(double, maxLatency);
    const Run run = simulate(queue, realHz, reportedHz, laterHz, noisy, idleMs);
    qDebug("%.1f %% of refreshes with a new frame, %.2f frames a refresh, key to photon %.2f refreshes",
           run.newFrameShare * 100, run.framesPerRefresh, run.latencyRefreshes);
    // Without vsync, about a frame per refresh: no busy loop.
    QVERIFY(run.newFrameShare >= minNewFrames);
    QVERIFY(queue >= 0 || run.framesPerRefresh <= 1.15);
    QVERIFY(run.latencyRefreshes <= maxLatency);
}

QTEST_APPLESS_MAIN(tst_FrameClock)
#include "tst_frameclock.moc"
