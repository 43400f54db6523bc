// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "timing.h"

// What paces the frame loop: not yet known or nothing (in both, the refresh
// period is the reported one), the platform's requests, the swaps, or the
// swaps at refreshes known well enough to aim frames at.
enum class Pace : std::uint8_t { Unknown, None, Requests, Swaps, SwapsPlaced };

// What frames aimed at refreshes have shown of the driver's queue since the
// last probe.
enum class Queue : std::uint8_t { Unknown, NoneSeen, FramesWait };

// A probe of the display: a few frames start as soon as they are asked for,
// which fills any queue of frames the driver keeps, and the one after them
// starts late. Where the display paces the loop, the swaps or the requests
// keep to its refreshes and the late start does not move the next one; the
// interval between them is the refresh period. Where nothing paces it, the
// late start moves them with it. Samples hold each request's time and the
// last swap's return then.
struct DisplayProbe
{
    enum class Step : std::uint8_t { Idle, Filling, LateFrame };
    struct Sample
    {
        Ms request, swap;
    };
    // What a probe found, and where the swaps pace the loop, the refresh its
    // last frame waited for.
    struct Verdict
    {
        Pace pace;
        Ms period, refresh;
    };
    Step step = Step::Idle;
    int frames = 0;
    std::array<Sample, Tuning::fillFrames + 2> samples {};
    Ms next {};                        // when the next one starts
    std::optional<Verdict> changingTo; // a change the last one found, to be confirmed
    Ms refresh {};                     // the refresh the last one found the swaps at
};

// Learns what paces the frame loop and where the display's refreshes are,
// by probes now and then; the rate the screen reports is only a first guess.
// Follows each frame to the refresh that shows it: swaps that wait place the
// refreshes.
class DisplayLearner
{
public:
    // A frame is asked for now on a screen that reports `reportedHz`.
    // Returns, while a probe runs, how long its frame waits before it starts.
    std::optional<Ms> frameRequested(Ms now, double reportedHz);
    struct Swap
    {
        bool returnedAtOnce = false, missed = false;
    };
    // The swap of a frame aimed at the refresh `target`, if any, returned now:
    // whether before it (frames wait), and whether the frame missed it.
    Swap frameSwapped(Ms now, std::optional<Ms> target);

    Pace pace() const { return m_pace; }
    bool swapPaced() const { return m_pace >= Pace::Swaps; }
    const RefreshGrid &grid() const { return m_grid; }
    Ms lastSwap() const { return m_lastSwap; }
    // Whether a frame aimed at a refresh has swapped since the last probe.
    bool queueKnown() const { return m_queue >= Queue::NoneSeen; }
    // The refresh that shows a frame started at t: the first to come, but no
    // sooner than the one after the last frame's, behind which it waits.
    Ms nextShown(Ms t) const { return std::max(m_shown + m_grid.period, m_grid.next(t)); }

private:
    void setPace(Pace pace, Ms period);
    std::optional<DisplayProbe::Verdict> judge(Ms now);
    DisplayProbe::Verdict judgeSwaps(Ms now, Ms swapInterval);
    void decide(Ms now, const DisplayProbe::Verdict &verdict);
    void placeProbeFrame(const DisplayProbe::Verdict &verdict, bool changed);
    void followWait(Ms now);
    Ms placeSwap(Ms now);

    Pace m_pace = Pace::Unknown;
    RefreshGrid m_grid;
    double m_reportedHz = -1;
    DisplayProbe m_probe;
    Queue m_queue = Queue::Unknown;
    Ms m_shown {}; // when the frame swapped last is shown
    Ms m_lastSwap {};
    double m_missesLately = 0; // fading within a quarter second
    int m_waitsFollowed = 0;   // waits that returned near a refresh since it last moved later
    Ms m_leastLater {};        // the least that one of them returned after it
};
