// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <optional>

#include "displaylearner.h"
#include "framemargin.h"
#include "timing.h"

// Decides when each frame of a window that repaints continuously starts, and
// the time it is for. It has no timer of its own: it is told when frames are
// asked for, start and swap, on one monotonic clock. Each frame is for the
// time to move the square to: where the refreshes are known, the refresh
// that will show it, so that the square moves by the same step at every
// refresh however unevenly frames start; elsewhere the time it starts.
class FrameClock
{
public:
    // A frame is asked for now on a screen that reports `reportedHz`
    // refreshes a second (0 where unknown). Returns the whole milliseconds to
    // wait before starting it: 0 starts it at once.
    int delayMs(Ms now, double reportedHz);
    // A frame starts now. Returns the time it is for, never earlier than the
    // last frame's.
    Ms frameStarted(Ms now);
    void frameSwapped(Ms now);

private:
    DisplayLearner m_display;
    FrameMargin m_margin;
    Ms m_plannedStart {};          // of the frame asked for last
    std::optional<Ms> m_target;    // the refresh it is aimed at, if any
    std::optional<Ms> m_lastStart; // none until a frame is drawn
    Ms m_frameTime {};             // the time the last frame started is for
};
