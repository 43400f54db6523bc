// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <chrono>
#include <cmath>

// Times on the window's monotonic clock.
using Ms = std::chrono::duration<double, std::milli>;

// The numbers the frame clock is tuned by.
namespace Tuning {

// Screens report 0 where they cannot tell, and some drivers report rates no
// display has; such a rate is taken as the commonest.
constexpr double minKnownHz = 20, maxKnownHz = 1000, unknownHz = 60;

// A probe starts this many frames at once: enough for a driver's queue of up
// to maxWaitingFrames to fill, so that from firstWaitingFrame on each waits
// for the display if anything does. The frame after them starts lateStart
// late; a request or swap that moves less than keptWithin counts as kept to
// the display.
constexpr int fillFrames = 5, maxWaitingFrames = 2, firstWaitingFrame = maxWaitingFrames;
constexpr Ms lateStart { 1 }, keptWithin { 0.75 };
// A probe delays the keys pressed while it fills the queue, so once the
// display is known it comes seldom; sooner while the period is measured over
// less than placedOver, every probe a span of this many times the last.
constexpr Ms probeEvery { 4000 }, placedOver { 150 };
constexpr double nextProbeAfterSpans = 2.5, nextProbeAfterProbeSpans = 2;
// About three frames that missed their refresh within a few refreshes start
// a probe at once: the display changed its rate or phase, or its refreshes
// were misplaced.
constexpr Ms missesFade { 250 };
constexpr double missesToProbe = 2.5;
// Periods within this share of each other are the same display's; one that
// moved by more than changedShare is a change. Refreshes since the last
// probe are where the period known says if within a quarter of it.
constexpr double sameShare = 0.1, changedShare = 0.02, keptPhaseShare = 0.25;

// A swap that waited returns just after a refresh. The refreshes known move
// earlier at once to the earliest such return, since a return can be late
// but a refresh cannot; later only by as much as each of waitsToMoveLater
// waits in a row returned later, since returns are late in runs on a busy
// machine. They may be later than the true ones by refreshEarly: a swap that
// returns that much before one may have waited for it. A frame shown more
// than half a refresh after its target missed it.
constexpr int waitsToMoveLater = 8;
constexpr Ms refreshEarly { 0.3 };
constexpr double missedAfterShare = 0.5;

// A frame started just in time starts a margin before its refresh: the
// longest that frames have lately taken from their start to a swap that
// returned at once, plus the latest that timers have lately started them,
// plus marginSpare; at least minMargin, what a frame of the square takes
// here, since where every swap waits that cannot be measured. Each refresh
// missed adds missedMargin, where every swap waits the only sign of a slow
// frame: after one miss, a frame 2 ms slower than the rest, started by a
// timer a millisecond late, makes its refresh. What frames took and timers
// did fades within seconds, so that a stall of the machine is soon
// forgotten; misses fade more slowly, so that a frame slower than the rest
// now and then is not. The first frame after a probe starts half a refresh
// early: its swap, with no frame waiting, shows whether swaps wait.
constexpr Ms minMargin { 2 }, marginSpare { 0.5 }, missedMargin { 2 };
constexpr Ms forgetTimes { 3000 }, forgetMisses { 10000 };
constexpr double firstMarginShare = 0.5;
// Elsewhere a frame starts 40 % into the refresh after the last swap, so that
// the keys pressed while the swap waited are in it, but no later than 2.5 ms
// (to draw, and for a timer's lateness) before that refresh ends.
constexpr double inputDelayShare = 0.4;
constexpr Ms inputDelayEndsBefore { 2.5 };

} // namespace Tuning

// The display's refreshes: one of them, and the period between them.
struct RefreshGrid
{
    Ms phase {};
    Ms period {};

    // How many refreshes `to` is after `from`, whole or not.
    double periods(Ms from, Ms to) const { return (to - from) / period; }
    Ms nearest(Ms t) const { return phase + std::round(periods(phase, t)) * period; }
    // The first refresh at t or after it.
    Ms next(Ms t) const { return phase + std::ceil(periods(phase, t)) * period; }
};
