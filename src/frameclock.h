// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <optional>

// Decides when each frame of a window that repaints continuously starts. It
// has no timer of its own: it is told when frames start and when their swaps
// return, and asked, whenever a frame is requested, how long to wait before
// starting it. All times are in milliseconds on one monotonic clock.
//
// The refresh rate the screen reports is only a first guess. Now and then
// the clock probes the display: a few frames start as soon as they are asked
// for, which fills any queue of frames the driver keeps, and the one after
// them starts a millisecond late. Where the display paces the loop (the swap
// waits for the refresh, or the platform asks for frames at the refresh),
// the swaps or the requests keep to the display's refreshes and the late
// start does not move the next one; the interval between them is the refresh
// period, measured. Where nothing paces the loop (no vsync), the late start
// moves them with it, and frames are held to one per reported refresh.
//
// Where the swaps keep to the refreshes and a probe has found them where
// the period measured by the one before said, the clock knows when each
// refresh comes, and starts each frame a margin before the refresh it is
// for, so that the frame shows the keys pressed until then. It follows
// every frame to the refresh that shows it: the swaps that wait place the
// refreshes, and each frame is aimed at the refresh after the last frame's,
// so that where the driver lets frames wait, the frames the probe queued
// are shown before the next one starts, and the queue stays empty.
//
// Each frame is for a time, the one to move the square to: where the clock
// knows the refreshes, the refresh that will show it, so that the square
// moves by the same step at every refresh however unevenly frames start;
// elsewhere the time it starts.
class FrameClock
{
public:
    // A frame starts now. Returns the time it is for, never earlier than the
    // last frame's.
    double frameStarted(double nowMs);
    void frameSwapped(double nowMs);
    // A frame is asked for now on a screen that reports `reportedHz`
    // refreshes a second (0 where unknown; any rate no display has counts as
    // unknown, and unknown as 60). Returns the whole milliseconds to wait
    // before starting it: 0 starts it at once.
    int delayMs(double nowMs, double reportedHz);

private:
    // How the display paces the frame loop, as a probe finds it.
    struct Pace
    {
        bool paced;
        bool swapPaced;
        double periodMs;
    };

    int probe(double nowMs, double sinceRequestMs, double sinceSwapMs);
    void judgeProbe(double nowMs, double sinceRequestMs, double sinceSwapMs);
    void followSwap(double nowMs, double sinceLastSwapMs);
    int holdMs(double nowMs);
    double nextShownMs(double nowMs) const;

    double m_reportedHz = -1;
    double m_periodMs = 0; // the display's refresh period as far as known
    bool m_displayPaced = false;
    bool m_swapPaced = false;         // the swaps keep to the refreshes
    bool m_justInTime = false;        // and the last probe found them where the period said
    std::optional<Pace> m_changingTo; // what the last probe found the pace changed to, if it did
    bool m_drawn = false;
    double m_lastStartMs = 0;
    double m_frameMs = 0; // the time the last frame started is for
    double m_lastSwapMs = 0;
    double m_lastRequestMs = 0;
    double m_swapBeforeRequestMs = 0; // the last swap's return when the last request came
    double m_nextProbeMs = 0;

    int m_probeFrame = -1;            // frames started in the probe running, -1 if none
    double m_probeSwapMs = 0;         // the return of the first swap that surely waited
    double m_probeIntervalMs = 0;     // between requests, of the last frames started at once
    double m_probeSwapIntervalMs = 0; // the same between their swaps' returns

    // Frames started just in time.
    double m_refreshMs = 0;       // a refresh, the latest known
    int m_waitsFollowed = 0;      // waits that returned near it since it last moved later
    double m_leastLaterMs = 0;    // the least that one of them returned after it
    double m_probedRefreshMs = 0; // the refresh the last probe's last frame waited for
    double m_shownMs = 0;         // when the frame swapped last is shown
    double m_drainTargetMs = 0;   // the refresh the first frame started just in time is for; 0 until then
    double m_targetMs = 0;        // the refresh the frame running is for; 0 if none
    double m_plannedStartMs = -1; // when the frame running was to start; -1 if not planned
    bool m_framesWait = false;    // the driver lets frames wait: a swap returned at once
    double m_tookMs = 0;          // the margin's parts, as seen lately
    double m_lateMs = 0;
    double m_missedMs = 0;
    double m_missesLately = 0; // frames that missed their refresh, fading within a quarter second
};
