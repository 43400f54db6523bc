// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include "frameclock.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>

namespace {

// Screens report 0 where they cannot tell, and some drivers report rates no
// display has; such a rate is taken as the commonest.
constexpr double minKnownHz = 20;
constexpr double maxKnownHz = 1000;
constexpr double unknownHz = 60;

// Frames a probe starts at once: enough for a driver's queue of up to two
// frames to fill, so that from the third on each waits for the display if
// anything does.
constexpr int fillFrames = 5;
constexpr int firstWaitingFrame = 2;
// How late the probe's last frame starts, and how far the request or swap
// after it may move and still count as kept to the display.
constexpr int lateStartMs = 1;
constexpr double keptWithinMs = 0.75;
// A probe delays the keys pressed while it fills the queue, so once the
// display is known it comes seldom; but at once when about three frames
// missed their refresh within a few refreshes: the display changed its rate,
// or its phase (as after the machine slept), or its refreshes were misplaced.
constexpr double probeEveryMs = 4000;
constexpr double missesLatelyMs = 250;
constexpr double missesToProbe = 2.5;
// Frames start just in time once the period is measured over this long.
constexpr double placedOverMs = 150;
// The most frames drivers let wait for the display.
constexpr int maxWaitingFrames = 2;

// A frame started just in time starts a margin before its refresh: the
// longest that frames have lately taken from their start to a swap that
// returned at once, plus the latest that timers have lately started them,
// plus a little; at least what a frame of the square takes here, since where
// every swap waits that cannot be measured. Each refresh missed adds to it,
// there the only sign of a slow frame: 2 ms, so that after one miss a frame
// 2 ms slower than the rest, started by a timer a millisecond late, makes its
// refresh (1 ms left one or two such misses a run in the benchmark). What
// frames took and timers did fades within seconds, so that a stall of
// the machine is soon forgotten but a frame slower than the rest now and
// then is not; misses fade more slowly.
constexpr double minMarginMs = 2;
constexpr double marginSpareMs = 0.5;
constexpr double missedMarginMs = 2;
constexpr double forgetMs = 3000;
constexpr double forgetMissesMs = 10000;
// A swap that waited returns just after a refresh. The refreshes known move
// earlier at once to the earliest such return, since a return can be late
// but a refresh cannot; later only by as much as every one of this many
// waits in a row returned later, since returns can be late for a while.
constexpr int waitsToMoveLater = 8;
// How much later than the true ones the refreshes known may be: a swap that
// returns this much before one may have waited for it.
constexpr double refreshEarlyMs = 0.3;

} // namespace

double FrameClock::frameStarted(double nowMs)
{
    m_lastStartMs = nowMs;
    m_drawn = true;
    if (m_plannedStartMs < 0)
        m_plannedStartMs = nowMs;
    m_frameMs = std::max(m_frameMs, m_swapPaced ? nextShownMs(nowMs) : nowMs);
    return m_frameMs;
}

void FrameClock::frameSwapped(double nowMs)
{
    const double sinceLastSwapMs = nowMs - m_lastSwapMs;
    m_lastSwapMs = nowMs;
    if (m_swapPaced)
        followSwap(nowMs, sinceLastSwapMs);
    m_targetMs = 0;
    m_plannedStartMs = -1;
}

int FrameClock::delayMs(double nowMs, double reportedHz)
{
    const double sinceRequestMs = nowMs - m_lastRequestMs;
    const double sinceSwapMs = m_lastSwapMs - m_swapBeforeRequestMs;
    m_lastRequestMs = nowMs;
    m_swapBeforeRequestMs = m_lastSwapMs;
    if (std::isnan(reportedHz) || reportedHz < minKnownHz || reportedHz > maxKnownHz)
        reportedHz = unknownHz;
    if (reportedHz != m_reportedHz) {
        // Another screen, or another rate: start from what it reports.
        m_reportedHz = reportedHz;
        m_periodMs = 1000 / reportedHz;
        m_displayPaced = false;
        m_swapPaced = false;
        m_justInTime = false;
        m_changingTo.reset();
        m_nextProbeMs = nowMs;
    }
    if (!m_drawn)
        return 0;
    if (m_probeFrame < 0 && nowMs >= m_nextProbeMs)
        m_probeFrame = 0;
    int delay = m_probeFrame >= 0 ? probe(nowMs, sinceRequestMs, sinceSwapMs) : -1;
    if (delay < 0)
        delay = holdMs(nowMs);
    m_plannedStartMs = nowMs + delay;
    return delay;
}

// The delay of the probe's next frame, or -1 once the probe has decided.
int FrameClock::probe(double nowMs, double sinceRequestMs, double sinceSwapMs)
{
    // Each request ends the loop of the frame before it. Of the frames
    // started at once, the last two measure the display, if it paces them:
    // the shorter of their intervals between requests (a frame slower than
    // the rest may take longer), and the mean of those between swaps (a swap
    // that returned late makes one longer and the next shorter).
    const int frame = m_probeFrame++;
    if (frame == firstWaitingFrame + 1)
        m_probeSwapMs = m_lastSwapMs;
    if (frame == fillFrames - 1) {
        m_probeIntervalMs = sinceRequestMs;
        m_probeSwapIntervalMs = sinceSwapMs;
    }
    if (frame < fillFrames)
        return 0;
    if (frame == fillFrames) {
        m_probeIntervalMs = std::min(m_probeIntervalMs, sinceRequestMs);
        m_probeSwapIntervalMs = (m_probeSwapIntervalMs + sinceSwapMs) / 2;
        return lateStartMs;
    }
    m_probeFrame = -1;
    m_nextProbeMs = nowMs + probeEveryMs;
    judgeProbe(nowMs, sinceRequestMs, sinceSwapMs);
    return -1;
}

void FrameClock::judgeProbe(double nowMs, double sinceRequestMs, double sinceSwapMs)
{
    m_missesLately = 0;
    bool paced = false;
    bool swapPaced = false;
    bool placed = false;  // the period is known well enough to place the refreshes a second ahead
    double refreshMs = 0; // the refresh the probe's last frame waited for
    double periodMs = 1000 / m_reportedHz;
    // The late frame's swap kept to the refreshes if it returned no later
    // than an interval after the last, or, having missed its refresh (Qt may
    // wait before each request), about two (less where the swap before it
    // returned late): without vsync it would return an interval and the late
    // start after it, well short of two.
    const double intervalMs = m_probeSwapIntervalMs;
    const double lateByMs = lateStartMs + keptWithinMs;
    const bool missedOne = intervalMs > 2 * lateByMs && sinceSwapMs > 2 * intervalMs - lateByMs
            && sinceSwapMs < 2 * intervalMs + keptWithinMs;
    // A swap that returned late can skew the probe's own intervals: where
    // they say otherwise but the late frame's swap returned one or two
    // periods known after the last, the display is taken as unchanged, and
    // nothing this probe measured is used.
    const double periodsSinceSwap = m_swapPaced ? std::round(sinceSwapMs / m_periodMs) : 0;
    const bool keptToKnown = (periodsSinceSwap == 1 || periodsSinceSwap == 2)
            && std::abs(sinceSwapMs - periodsSinceSwap * m_periodMs) < keptWithinMs;
    if (sinceSwapMs < intervalMs + keptWithinMs || missedOne) {
        // The swaps returned at refreshes: from the first that surely waited
        // to the last, a whole number of refresh periods.
        const double spanMs = m_lastSwapMs - m_probeSwapMs;
        paced = swapPaced = true;
        periodMs = spanMs / std::max(1.0, std::round(spanMs / intervalMs));
        const bool samePace = m_swapPaced && std::abs(periodMs - m_periodMs) < 0.1 * periodMs;
        // The refresh the last wait returned after: where the pace is the
        // same, the earlier of it and the one the first wait puts at the
        // period known, since a wait can return late but not early.
        refreshMs = samePace ? std::min(m_lastSwapMs, m_probeSwapMs + std::round(spanMs / m_periodMs) * m_periodMs)
                             : m_lastSwapMs;
        // Where the refreshes still fall where the period known says, it is
        // measured again over every refresh since the last probe. Until that
        // span is long, the next probe comes sooner, so that the period is
        // soon known well enough to place the refreshes a second ahead.
        const double sinceLastMs = refreshMs - m_probedRefreshMs;
        const double refreshes = samePace ? std::round(sinceLastMs / m_periodMs) : 0;
        const bool kept = refreshes >= 1 && std::abs(sinceLastMs - refreshes * m_periodMs) < m_periodMs / 4;
        if (kept)
            periodMs = sinceLastMs / refreshes;
        placed = kept && sinceLastMs >= placedOverMs;
        m_probedRefreshMs = refreshMs;
        m_nextProbeMs = nowMs + std::min(probeEveryMs, kept ? 2.5 * sinceLastMs : 2 * spanMs);
    } else if (keptToKnown) {
        // Nothing new. While the period is still being measured, the next
        // probe comes at once.
        m_changingTo.reset();
        if (!m_justInTime)
            m_nextProbeMs = m_lastRequestMs;
        return;
    } else if (sinceRequestMs < m_probeIntervalMs + keptWithinMs) {
        paced = true;
        periodMs = m_probeIntervalMs;
    }
    const bool changed
            = paced != m_displayPaced || swapPaced != m_swapPaced || std::abs(periodMs - m_periodMs) > 0.02 * periodMs;
    const bool foundBefore = m_changingTo && paced == m_changingTo->paced && swapPaced == m_changingTo->swapPaced
            && std::abs(periodMs - m_changingTo->periodMs) < 0.1 * periodMs;
    if (changed && !foundBefore) {
        // A frame slower than the rest, or a swap that returned late, can
        // mislead one probe: look again at once, and change course only if
        // that finds the same.
        m_changingTo = Pace { paced, swapPaced, periodMs };
        m_nextProbeMs = m_lastRequestMs;
        return;
    }
    m_changingTo.reset();
    if (swapPaced && changed) {
        // The probe's last frame waited for a refresh, behind any frames the
        // driver lets wait: it is taken as shown after as many as drivers
        // let wait, so that no frame is started for a refresh that already
        // has one. Where fewer wait, a refresh or two goes without a new
        // frame once.
        m_shownMs = refreshMs + maxWaitingFrames * periodMs;
        // What was missed, and what seemed not to wait, was timed against
        // another display's refreshes.
        m_missedMs = 0;
        m_tookMs = 0;
    }
    if (swapPaced) {
        // The refreshes known start from the probe's, earlier by as much as
        // its waits may have returned late: the swaps that wait from now on
        // move them later.
        m_refreshMs = refreshMs - refreshEarlyMs;
        // The first frame started just in time swaps with no frame waiting,
        // and shows whether its swap waits: it starts half a refresh early,
        // so that a frame late for its refresh does not hide that. Learnt
        // anew at each probe, so that swaps that seemed not to wait against
        // refreshes misplaced do not leave the driver misjudged. From then
        // on each swap places its frame.
        m_drainTargetMs = 0;
        m_framesWait = false;
    }
    m_displayPaced = paced;
    m_swapPaced = swapPaced;
    m_justInTime = placed;
    m_periodMs = periodMs;
}

// Places the swap that returned now among the refreshes: when its frame is
// shown, and what that says of the driver and of the margin.
void FrameClock::followSwap(double nowMs, double sinceLastSwapMs)
{
    const double periodMs = m_periodMs;
    const double refreshMs = m_refreshMs + std::round((nowMs - m_refreshMs) / periodMs) * periodMs;
    // A swap that returned clearly before the refresh its frame is for did
    // not wait: the driver lets frames wait. There, a swap that waits returns
    // when another frame is shown, so that its own is shown at a refresh
    // after it returned; elsewhere, when its own is, at the last refresh
    // before it returned, which may be later than the one known by as much
    // as that is early.
    const bool returnedAtOnce = nowMs < m_targetMs - refreshEarlyMs;
    m_framesWait = m_framesWait || returnedAtOnce;
    const double lastRefreshMs
            = refreshMs > nowMs + (m_framesWait ? 0 : refreshEarlyMs) ? refreshMs - periodMs : refreshMs;
    // It is shown no sooner than that, nor than the refresh after the last
    // frame's, and it is taken as shown then: were it later, the next frame
    // would wait behind it, and its swap show that.
    const double afterLastMs = refreshMs + std::round((m_shownMs - refreshMs) / periodMs + 1) * periodMs;
    const double shownMs = std::max(afterLastMs, lastRefreshMs + (m_framesWait ? periodMs : 0));
    if (nowMs > refreshMs - refreshEarlyMs && nowMs < refreshMs + keptWithinMs && !returnedAtOnce) {
        const double laterMs = nowMs - refreshMs;
        m_leastLaterMs = m_waitsFollowed++ == 0 ? laterMs : std::min(m_leastLaterMs, laterMs);
        m_refreshMs = std::min(nowMs, refreshMs);
        if (m_waitsFollowed == waitsToMoveLater) {
            m_refreshMs += std::max(m_leastLaterMs, 0.0);
            m_waitsFollowed = 0;
        }
    }

    const bool missed = m_targetMs > 0 && shownMs > m_targetMs + periodMs / 2;
    if (m_targetMs > 0) {
        const double fade = std::exp(-sinceLastSwapMs / forgetMs);
        m_lateMs = std::max(m_lateMs * fade, m_lastStartMs - m_plannedStartMs);
        m_tookMs = std::max(m_tookMs * fade, returnedAtOnce ? nowMs - m_lastStartMs : 0);
        m_missedMs = std::min(m_missedMs * std::exp(-sinceLastSwapMs / forgetMissesMs) + (missed ? missedMarginMs : 0),
                              periodMs);
    }
    m_shownMs = shownMs;
    m_missesLately = m_missesLately * std::exp(-sinceLastSwapMs / missesLatelyMs) + (missed ? 1 : 0);
    if (m_missesLately > missesToProbe) {
        m_missesLately = 0;
        m_nextProbeMs = nowMs;
    }
}

// A frame starts 40 % into the refresh after the last swap, so that the keys
// pressed while the swap waited are taken in first, but no later than 2.5 ms
// (to draw, and for a timer's lateness) before the refresh ends. Where the
// swaps keep to the refreshes, it starts its margin before the refresh after
// the last frame's instead, or at once if that has passed, but no sooner than
// 40 % into the refresh before. Where the display does not pace the loop, it
// also starts no sooner than a refresh after the last frame started. Qt's
// timers count whole milliseconds: the 40 % is rounded to the nearest, and a
// frame's wait for its margin down, so that it never starts after its time.
int FrameClock::holdMs(double nowMs)
{
    const int inputDelayMs = int(std::min(0.4 * m_periodMs, m_periodMs - 2.5));
    int hold = qRound(inputDelayMs - (nowMs - m_lastSwapMs));
    if (m_justInTime) {
        m_targetMs = nextShownMs(nowMs);
        double marginMs = std::max(minMarginMs, m_tookMs + m_lateMs + marginSpareMs) + m_missedMs;
        if (m_drainTargetMs == 0)
            m_drainTargetMs = m_targetMs;
        if (m_targetMs == m_drainTargetMs)
            marginMs = std::max(marginMs, m_periodMs / 2);
        // No sooner than 40 % into the refresh before it, as elsewhere.
        const double widestMarginMs = m_periodMs - inputDelayMs;
        hold = marginMs < widestMarginMs ? int(m_targetMs - marginMs - nowMs)
                                         : qRound(m_targetMs - widestMarginMs - nowMs);
    } else if (!m_displayPaced) {
        hold = std::max(hold, int(m_periodMs - (nowMs - m_lastStartMs)));
    }
    return std::max(hold, 0);
}

// The refresh that shows a frame started now: the first to come, but no
// sooner than the one after the last frame's, behind which it waits.
double FrameClock::nextShownMs(double nowMs) const
{
    return std::max(m_shownMs + m_periodMs, m_refreshMs + std::ceil((nowMs - m_refreshMs) / m_periodMs) * m_periodMs);
}
