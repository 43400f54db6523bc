// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <algorithm>
#include <cmath>

#include "timing.h"

// How long before the refresh it is for a frame starts: learnt from what
// frames took, how late timers started them and the refreshes they missed.
class FrameMargin
{
public:
    // A frame swapped `sinceLast` after the one before, on a display that
    // refreshes every `period`: it started `late` after it was planned to,
    // took `took` to a swap that returned at once (0 where the swap waited),
    // and missed its refresh or made it.
    void add(Ms sinceLast, Ms late, Ms took, bool missed, Ms period)
    {
        // What was missed, and what seemed not to wait, against another
        // display's refreshes counts for nothing.
        if (abs(period - m_period) > Tuning::changedShare * period)
            m_took = m_missed = Ms();
        m_period = period;
        const double fade = std::exp(-sinceLast / Tuning::forgetTimes);
        m_late = std::max(m_late * fade, late);
        m_took = std::max(m_took * fade, took);
        m_missed = std::min(m_missed * std::exp(-sinceLast / Tuning::forgetMisses)
                                    + (missed ? Tuning::missedMargin : Ms()),
                            period);
    }
    Ms margin() const { return std::max(Tuning::minMargin, m_took + m_late + Tuning::marginSpare) + m_missed; }

private:
    Ms m_period {};
    Ms m_took {};
    Ms m_late {};
    Ms m_missed {};
};
