// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include "frameclock.h"

#include <QtGlobal>

#include <algorithm>

namespace {

// Frames a probe starts at once: enough for a driver's queue of up to three
// frames to fill, so that the last two wait for the display if anything does.
constexpr int fillFrames = 5;
// How late the probe's last frame starts, and how far the request after it
// may move and still count as kept to the display.
constexpr int lateStartMs = 1;
constexpr double keptWithinMs = 0.5;
constexpr double probeEveryMs = 1000;

} // namespace

void FrameClock::frameStarted(double nowMs)
{
    m_lastStartMs = nowMs;
    m_drawn = true;
}

void FrameClock::frameSwapped(double nowMs)
{
    m_lastSwapMs = nowMs;
}

int FrameClock::delayMs(double nowMs, double reportedHz)
{
    const double sinceRequestMs = nowMs - m_lastRequestMs;
    m_lastRequestMs = nowMs;
    if (reportedHz != m_reportedHz) {
        // Another screen, or another rate: start from what it reports.
        m_reportedHz = reportedHz;
        m_periodMs = reportedHz > 0 ? 1000 / reportedHz : 0;
        m_displayPaced = m_doubtingPace = false;
        m_probeFrame = 0;
    }
    if (!m_drawn)
        return 0;
    if (m_probeFrame < 0 && nowMs >= m_nextProbeMs)
        m_probeFrame = 0;
    if (m_probeFrame >= 0) {
        const int delay = probe(nowMs, sinceRequestMs);
        if (delay >= 0)
            return delay;
    }
    return holdMs(nowMs);
}

// The delay of the probe's next frame, or -1 once the probe has decided.
int FrameClock::probe(double nowMs, double sinceRequestMs)
{
    // Each request ends the loop of the frame before it: of the frames
    // started at once, the last two measure the display, if it paces them.
    const int frame = m_probeFrame++;
    if (frame == fillFrames - 1)
        m_probeIntervalMs = sinceRequestMs;
    else if (frame == fillFrames)
        m_probeIntervalMs = std::min(m_probeIntervalMs, sinceRequestMs);
    if (frame < fillFrames)
        return 0;
    if (frame == fillFrames)
        return lateStartMs;

    m_probeFrame = -1;
    m_nextProbeMs = nowMs + probeEveryMs;
    if (sinceRequestMs < m_probeIntervalMs + keptWithinMs) {
        m_displayPaced = true;
        m_doubtingPace = false;
        m_periodMs = m_probeIntervalMs;
    } else if (m_displayPaced && !m_doubtingPace) {
        // A late frame that missed its refresh looks the same: look again
        // before giving up the display's pace.
        m_doubtingPace = true;
        m_nextProbeMs = nowMs;
    } else {
        m_displayPaced = m_doubtingPace = false;
        m_periodMs = m_reportedHz > 0 ? 1000 / m_reportedHz : 0;
    }
    return -1;
}

// Between probes, a frame starts no sooner than 40 % into the refresh after
// the last swap, so that the keys pressed while the swap waited are taken in
// first, but no later than 2.5 ms (to draw, and for a timer's lateness)
// before the refresh ends. Where the display does not pace the loop, it also
// starts no sooner than a refresh after the last frame started. Qt's timers
// count whole milliseconds: the first wait is rounded to the nearest, the
// second down, so that a held frame never starts after its refresh.
int FrameClock::holdMs(double nowMs) const
{
    const int inputDelayMs = int(std::min(0.4 * m_periodMs, m_periodMs - 2.5));
    int hold = qRound(inputDelayMs - (nowMs - m_lastSwapMs));
    if (!m_displayPaced)
        hold = std::max(hold, int(m_periodMs - (nowMs - m_lastStartMs)));
    return std::max(hold, 0);
}
