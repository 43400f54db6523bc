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
// requests keep to the display's refreshes and the late start does not move
// the next one; the interval between them is the refresh period, measured.
// Where nothing paces the loop (no vsync), the late start moves the next
// request with it, and frames are held to one per reported refresh.
class FrameClock
{
public:
    void frameStarted(double nowMs);
    void frameSwapped(double nowMs);
    // A frame is asked for now on a screen that reports `reportedHz`
    // refreshes a second (0 where unknown). Returns the whole milliseconds to
    // wait before starting it: 0 starts it at once.
    int delayMs(double nowMs, double reportedHz);

    bool displayPaced() const { return m_displayPaced; }
    double periodMs() const { return m_periodMs; }

private:
    int holdMs(double nowMs) const;
    int probe(double nowMs, double sinceRequestMs);

    double m_reportedHz = -1;
    double m_periodMs = 0; // the display's refresh period as far as known; 0 where unknown
    bool m_displayPaced = false;
    bool m_doubtingPace = false; // one probe found no pace: the next decides
    bool m_drawn = false;
    double m_lastStartMs = 0;
    double m_lastSwapMs = 0;
    double m_lastRequestMs = 0;
    double m_nextProbeMs = 0;
    int m_probeFrame = -1; // frames started in the probe running, -1 if none
    double m_probeIntervalMs = 0;
};
