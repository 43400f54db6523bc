// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include "frameclock.h"

#include <algorithm>
#include <cmath>

using namespace Tuning;

namespace {

// When the frame asked for now starts, and the refresh it is aimed at, if any.
struct FrameSchedule
{
    Ms start;
    std::optional<Ms> target;
};

// Where the refreshes are known, a frame starts its margin before the
// refresh after the last frame's (or at once if that has passed), so that it
// shows the keys pressed until then, but no sooner than the input delay into
// the refresh before. Elsewhere it starts the input delay after the last
// swap; where nothing paces the loop, also no sooner than a refresh after
// the last frame started. Changes nothing.
FrameSchedule scheduleFrame(Ms now, const DisplayLearner &display, Ms margin, Ms lastStart)
{
    const Ms period = display.grid().period;
    const Ms inputDelay = std::min(inputDelayShare * period, period - inputDelayEndsBefore);
    switch (display.pace()) {
    case Pace::SwapsPlaced: {
        const Ms target = display.nextShown(now);
        if (!display.queueKnown())
            margin = std::max(margin, firstMarginShare * period);
        return { target - std::min(margin, period - inputDelay), target };
    }
    case Pace::Unknown:
    case Pace::None:
        return { std::max(display.lastSwap() + inputDelay, lastStart + period), {} };
    default:
        return { display.lastSwap() + inputDelay, {} };
    }
}

} // namespace

int FrameClock::delayMs(Ms now, double reportedHz)
{
    if (!m_lastStart)
        return 0;
    const std::optional<Ms> probeDelay = m_display.frameRequested(now, reportedHz);
    const FrameSchedule schedule = probeDelay ? FrameSchedule { now + *probeDelay, {} }
                                              : scheduleFrame(now, m_display, m_margin.margin(), *m_lastStart);
    // Qt's timers count whole milliseconds: down, so that no frame starts after its time.
    const int delay = std::max(0, int(std::floor((schedule.start - now).count())));
    m_plannedStart = now + Ms(delay);
    m_target = schedule.target;
    return delay;
}

Ms FrameClock::frameStarted(Ms now)
{
    m_lastStart = now;
    m_frameTime = std::max(m_frameTime, m_display.swapPaced() ? m_display.nextShown(now) : now);
    return m_frameTime;
}

void FrameClock::frameSwapped(Ms now)
{
    const Ms sinceLast = now - m_display.lastSwap();
    const DisplayLearner::Swap swap = m_display.frameSwapped(now, m_target);
    // Only a frame whose start was planned is aimed.
    if (m_target && m_lastStart)
        m_margin.add(sinceLast, *m_lastStart - m_plannedStart, swap.returnedAtOnce ? now - *m_lastStart : Ms(),
                     swap.missed, m_display.grid().period);
    m_target.reset();
}
