// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include "displaylearner.h"

#include <cmath>

using namespace Tuning;

std::optional<Ms> DisplayLearner::frameRequested(Ms now, double reportedHz)
{
    if (std::isnan(reportedHz) || reportedHz < minKnownHz || reportedHz > maxKnownHz)
        reportedHz = unknownHz;
    if (reportedHz != m_reportedHz) {
        // Another screen, or another rate: start from what it reports, and
        // take nothing as found until two probes in a row agree on it.
        m_reportedHz = reportedHz;
        setPace(Pace::Unknown, Ms(1000 / reportedHz));
        m_probe.changingTo.reset();
        m_probe.next = now;
    }
    DisplayProbe &probe = m_probe;
    if (probe.step == DisplayProbe::Step::Idle) {
        if (now < probe.next)
            return {};
        probe.step = DisplayProbe::Step::Filling;
        probe.frames = 0;
    }
    probe.samples[probe.frames++] = { now, m_lastSwap };
    if (probe.frames <= fillFrames)
        return Ms();
    if (probe.step == DisplayProbe::Step::Filling) {
        probe.step = DisplayProbe::Step::LateFrame;
        return lateStart;
    }
    probe.step = DisplayProbe::Step::Idle;
    probe.next = now + probeEvery;
    if (const std::optional<DisplayProbe::Verdict> verdict = judge(now))
        decide(now, *verdict);
    return std::nullopt;
}

// What the probe found, if it found anything. Each request ends the loop of
// the frame before it.
std::optional<DisplayProbe::Verdict> DisplayLearner::judge(Ms now)
{
    m_missesLately = 0;
    const auto &samples = m_probe.samples;
    const DisplayProbe::Sample &beforeLate = samples[fillFrames - 1], &late = samples[fillFrames],
                               &last = samples[fillFrames + 1];
    // Of the frames started at once, the last two measure the display, if it
    // paces them: the shorter of their intervals between requests (a frame
    // slower than the rest may take longer), and the mean of those between
    // swaps (a swap that returned late makes one longer and the next shorter).
    const Ms requestInterval
            = std::min(beforeLate.request - samples[fillFrames - 2].request, late.request - beforeLate.request);
    const Ms swapInterval = (late.swap - samples[fillFrames - 2].swap) / 2;
    const Ms sinceRequest = last.request - late.request, sinceSwap = last.swap - late.swap;
    // The late frame's swap kept to the refreshes if it returned no later
    // than an interval after the last, or, having missed its refresh (Qt may
    // wait before each request), about two (less where the swap before it
    // returned late): without vsync it would return an interval and the late
    // start after it, well short of two.
    const Ms lateBy = lateStart + keptWithin;
    if (sinceSwap < swapInterval + keptWithin
        || (swapInterval > 2 * lateBy && sinceSwap > 2 * swapInterval - lateBy
            && sinceSwap < 2 * swapInterval + keptWithin))
        return judgeSwaps(now, swapInterval);
    // Elsewhere the late start moved the swap by as much as it was late:
    // nothing waited for the display but maybe the requests did. A swap that
    // did neither returned late or was slower than the rest: nothing changes,
    // and the next probe comes at once. So did one that seemed to have waited
    // for nothing after frames started at once swapped a period known apart,
    // as only frames that wait for the display do: seen late, it looks
    // unpaced.
    const bool requestsKept = sinceRequest < requestInterval + keptWithin;
    const bool waitedAsKnown = swapPaced() && abs(swapInterval - m_grid.period) < keptWithin;
    if (abs(sinceSwap - swapInterval - lateStart) < keptWithin && (requestsKept || !waitedAsKnown))
        return DisplayProbe::Verdict { requestsKept ? Pace::Requests : Pace::None,
                                       requestsKept ? requestInterval : Ms(1000 / m_reportedHz),
                                       {} };
    m_probe.changingTo.reset();
    m_probe.next = now;
    return std::nullopt;
}

// The swaps returned at refreshes: from the first that surely waited to the
// last, a whole number of refresh periods.
DisplayProbe::Verdict DisplayLearner::judgeSwaps(Ms now, Ms swapInterval)
{
    const Ms waited = m_probe.samples[firstWaitingFrame + 1].swap, span = m_lastSwap - waited;
    const Ms known = m_grid.period;
    Ms period = span / std::max(1.0, std::round(span / swapInterval));
    const bool samePace = swapPaced() && abs(period - known) < sameShare * period;
    // The refresh the last wait returned after: where the pace is the same,
    // the earlier of it and the one the first wait puts at the period known,
    // since a wait can return late but not early.
    const Ms refresh = samePace ? std::min(m_lastSwap, waited + std::round(span / known) * known) : m_lastSwap;
    // Where the refreshes still fall where the period known says, it is
    // measured again over every refresh since the last probe. Until that span
    // is long, the next probe comes sooner, so that the period is soon known
    // well enough to place the refreshes a second ahead.
    const Ms sinceLast = refresh - m_probe.refresh;
    const double refreshes = samePace ? std::round(sinceLast / known) : 0;
    const bool kept = refreshes >= 1 && abs(sinceLast - refreshes * known) < keptPhaseShare * known;
    if (kept)
        period = sinceLast / refreshes;
    m_probe.refresh = refresh;
    m_probe.next = now + std::min(probeEvery, kept ? nextProbeAfterSpans * sinceLast : nextProbeAfterProbeSpans * span);
    return { kept && sinceLast >= placedOver ? Pace::SwapsPlaced : Pace::Swaps, period, refresh };
}

// Changes course on what two probes in a row found.
void DisplayLearner::decide(Ms now, const DisplayProbe::Verdict &verdict)
{
    const auto kind = [](Pace pace) { return std::min(pace, Pace::Swaps); };
    const bool changed
            = kind(verdict.pace) != kind(m_pace) || abs(verdict.period - m_grid.period) > changedShare * verdict.period;
    const bool foundBefore = m_probe.changingTo && kind(m_probe.changingTo->pace) == kind(verdict.pace)
            && abs(verdict.period - m_probe.changingTo->period) < sameShare * verdict.period;
    if (changed && !foundBefore) {
        // A frame slower than the rest, or a swap that returned late, can
        // mislead one probe: look again at once.
        m_probe.changingTo = verdict;
        m_probe.next = now;
        return;
    }
    m_probe.changingTo.reset();
    if (kind(verdict.pace) == Pace::Swaps)
        placeProbeFrame(verdict, changed);
    setPace(verdict.pace, verdict.period);
}

// The swaps pace the loop: where the refreshes are, and when the probe's last
// frame is shown. That frame waited behind any frames the driver lets wait.
// When the swaps are first found to pace the loop, it is taken as shown when
// its swap returned (swaps that wait push that later), so that the square
// does not jump ahead; when frames are aimed at refreshes again (first, or
// after the refreshes moved), and when the display changes under frames
// aimed, as shown after as many as drivers let wait: a frame aimed at a
// refresh that already has one would be shown a refresh late, and every
// frame after it, with nothing to show it. Where none wait, the screen
// repeats a frame twice.
void DisplayLearner::placeProbeFrame(const DisplayProbe::Verdict &verdict, bool changed)
{
    const Ms afterQueue = verdict.refresh + maxWaitingFrames * verdict.period;
    if (changed && !swapPaced())
        m_shown = verdict.refresh;
    else if (changed && m_pace == Pace::SwapsPlaced)
        m_shown = afterQueue;
    if (verdict.pace == Pace::SwapsPlaced && m_pace != Pace::SwapsPlaced)
        m_shown = std::max(m_shown, afterQueue);
    // From the probe's refresh, earlier by as much as its waits may have
    // returned late. The first frame aimed at a refresh shows anew whether
    // frames wait: against refreshes misplaced, a swap that blocks can seem
    // to have returned at once.
    m_grid.phase = verdict.refresh - refreshEarly;
    m_queue = Queue::Unknown;
}

void DisplayLearner::setPace(Pace pace, Ms period)
{
    m_pace = pace;
    m_grid.period = period;
}

DisplayLearner::Swap DisplayLearner::frameSwapped(Ms now, std::optional<Ms> target)
{
    const Ms sinceLast = now - m_lastSwap;
    m_lastSwap = now;
    if (!swapPaced())
        return {};
    // A swap that returned clearly before the refresh its frame is for did
    // not wait: the driver lets frames wait.
    const bool returnedAtOnce = target && now < *target - refreshEarly;
    if (target && m_queue != Queue::FramesWait)
        m_queue = returnedAtOnce ? Queue::FramesWait : Queue::NoneSeen;
    // The swap moves the refreshes known before its frame is placed on them:
    // a swap that waited just after a refresh that the probe placed a little
    // later would otherwise seem to have returned before it, and its frame
    // be taken as shown a refresh sooner than it is.
    if (!returnedAtOnce)
        followWait(now);
    m_shown = placeSwap(now);
    const bool missed = target && m_shown > *target + missedAfterShare * m_grid.period;
    m_missesLately = m_missesLately * std::exp(-sinceLast / missesFade) + (missed ? 1 : 0);
    if (m_missesLately > missesToProbe) {
        m_missesLately = 0;
        m_probe.next = now;
    }
    return { returnedAtOnce, missed };
}

// A swap that waited and returned near a refresh moves the refreshes known
// to where it says they are.
void DisplayLearner::followWait(Ms now)
{
    const Ms refresh = m_grid.nearest(now);
    if (now <= refresh - refreshEarly || now >= refresh + keptWithin)
        return;
    const Ms later = now - refresh;
    m_leastLater = m_waitsFollowed++ == 0 ? later : std::min(m_leastLater, later);
    m_grid.phase = std::min(now, refresh);
    if (m_waitsFollowed == waitsToMoveLater) {
        m_grid.phase += std::max(m_leastLater, Ms());
        m_waitsFollowed = 0;
    }
}

// When the frame whose swap returned now is shown.
Ms DisplayLearner::placeSwap(Ms now)
{
    // Where frames wait, a swap that waits returns when another frame is
    // shown, so that its own is shown at a refresh after it returned;
    // elsewhere when its own is, at the last refresh before it returned,
    // which may be later than the one known by as much as that is early. It
    // is shown no sooner than the refresh after the last frame's, and taken
    // as shown then: were it later, the next frame would wait behind it, and
    // its swap show that. Nor is it later than as many refreshes as drivers
    // let wait: swaps that come faster than the refreshes known (a period
    // misjudged) would otherwise push the square's time ever further ahead.
    const Ms period = m_grid.period, refresh = m_grid.nearest(now);
    const bool framesWait = m_queue == Queue::FramesWait;
    const Ms lastRefresh = refresh > now + (framesWait ? Ms() : refreshEarly) ? refresh - period : refresh;
    const Ms afterLast = m_grid.nearest(m_shown) + period;
    return std::clamp(afterLast, lastRefresh + (framesWait ? period : Ms()), lastRefresh + maxWaitingFrames * period);
}
