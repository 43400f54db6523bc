// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#include "frameclock.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>

namespace {

// Frames a probe starts at once: enough for a driver's queue of up to two
// frames to fill, so that from the third on each waits for the display if
// anything does.
constexpr int fillFrames = 5;
constexpr int firstWaitingFrame = 2;
// How late the probe's last frame starts, and how far the request or swap
// after it may move and still count as kept to the display.
constexpr int lateStartMs = 1;
constexpr double keptWithinMs = 0.75;
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
    const double sinceSwapMs = m_lastSwapMs - m_swapBeforeRequestMs;
    m_lastRequestMs = nowMs;
    m_swapBeforeRequestMs = m_lastSwapMs;
    if (reportedHz != m_reportedHz) {
        // Another screen, or another rate: start from what it reports.
        m_reportedHz = reportedHz;
        m_periodMs = reportedHz > 0 ? 1000 / reportedHz : 0;
        m_displayPaced = false;
        m_changing = false;
        m_nextProbeMs = nowMs;
    }
    if (!m_drawn)
        return 0;
    if (m_probeFrame < 0 && nowMs >= m_nextProbeMs)
        m_probeFrame = 0;
    if (m_probeFrame >= 0) {
        const int delay = probe(nowMs, sinceRequestMs, sinceSwapMs);
        if (delay >= 0)
            return delay;
    }
    return holdMs(nowMs);
}

// The delay of the probe's next frame, or -1 once the probe has decided.
int FrameClock::probe(double nowMs, double sinceRequestMs, double sinceSwapMs)
{
    // Each request ends the loop of the frame before it. Of the frames
    // started at once, the last two measure the display, if it paces them:
    // the shorter of their intervals between requests and between swaps
    // (a frame slower than the rest may take longer).
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
        m_probeSwapIntervalMs = std::min(m_probeSwapIntervalMs, sinceSwapMs);
        return lateStartMs;
    }
    m_probeFrame = -1;
    m_nextProbeMs = nowMs + probeEveryMs;
    judgeProbe(sinceRequestMs, sinceSwapMs);
    return -1;
}

void FrameClock::judgeProbe(double sinceRequestMs, double sinceSwapMs)
{
    bool paced = false;
    double periodMs = m_reportedHz > 0 ? 1000 / m_reportedHz : 0;
    if (sinceSwapMs < m_probeSwapIntervalMs + keptWithinMs) {
        // The swaps returned at refreshes: from the first that surely waited
        // to the last, a whole number of refresh periods.
        const double spanMs = m_lastSwapMs - m_probeSwapMs;
        paced = true;
        periodMs = spanMs / std::max(1.0, std::round(spanMs / m_probeSwapIntervalMs));
    } else if (sinceRequestMs < m_probeIntervalMs + keptWithinMs) {
        paced = true;
        periodMs = m_probeIntervalMs;
    }
    const bool changed = paced != m_displayPaced || std::abs(periodMs - m_periodMs) > 0.02 * periodMs;
    if (changed && !m_changing) {
        // A frame slower than the rest, or late past its refresh, can
        // mislead one probe: look again at once before changing course.
        m_changing = true;
        m_nextProbeMs = m_lastRequestMs;
        return;
    }
    m_changing = false;
    m_displayPaced = paced;
    m_periodMs = periodMs;
}

// A frame starts no sooner than 40 % into the refresh after the last swap,
// so that the keys pressed while the swap waited are taken in first, but no
// later than 2.5 ms (to draw, and for a timer's lateness) before the refresh
// ends. Where the display does not pace the loop, it also starts no sooner
// than a refresh after the last frame started. Qt's timers count whole
// milliseconds: the first wait is rounded to the nearest, the second down, so
// that a held frame never starts after its refresh.
int FrameClock::holdMs(double nowMs) const
{
    const int inputDelayMs = int(std::min(0.4 * m_periodMs, m_periodMs - 2.5));
    int hold = qRound(inputDelayMs - (nowMs - m_lastSwapMs));
    if (!m_displayPaced)
        hold = std::max(hold, int(m_periodMs - (nowMs - m_lastStartMs)));
    return std::max(hold, 0);
}
