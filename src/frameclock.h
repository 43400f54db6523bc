// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

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
class FrameClock
{
public:
    void frameStarted(double nowMs);
    void frameSwapped(double nowMs);
    // A frame is asked for now on a screen that reports `reportedHz`
    // refreshes a second (0 where unknown). Returns the whole milliseconds to
    // wait before starting it: 0 starts it at once.
    int delayMs(double nowMs, double reportedHz);

private:
    int probe(double nowMs, double sinceRequestMs, double sinceSwapMs);
    void judgeProbe(double sinceRequestMs, double sinceSwapMs);
    int holdMs(double nowMs) const;

    double m_reportedHz = -1;
    double m_periodMs = 0; // the display's refresh period as far as known; 0 where unknown
    bool m_displayPaced = false;
    bool m_changing = false; // one probe found the pace changed: the next decides
    bool m_drawn = false;
    double m_lastStartMs = 0;
    double m_lastSwapMs = 0;
    double m_lastRequestMs = 0;
    double m_swapBeforeRequestMs = 0; // the last swap's return when the last request came
    double m_nextProbeMs = 0;

    int m_probeFrame = -1;            // frames started in the probe running, -1 if none
    double m_probeSwapMs = 0;         // the return of the first swap that surely waited
    double m_probeIntervalMs = 0;     // between requests, of the last frames started at once
    double m_probeSwapIntervalMs = 0; // the same between their swaps' returns
};
