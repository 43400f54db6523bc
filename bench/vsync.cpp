// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

// Preloaded into a process on an X server, this makes glXSwapBuffers behave
// as with a swap interval of 1 on a display refreshing GLSQUARE_VSYNC_HZ times
// a second, on a clock whose ticks are the refreshes. Each refresh shows the
// oldest frame waiting. With GLSQUARE_VSYNC_QUEUE=0 (the default) a swap
// waits until its frame is shown; with D = 1 or 2 it returns at once while
// fewer than D frames wait, as many drivers do, and otherwise at the next
// refresh. With GLSQUARE_VSYNC_SLOW_EVERY=N, every Nth frame takes 2 ms
// longer before it is swapped. Mesa's software renderer, which draws the
// benchmark's frames, never waits by itself.

#include <GL/glx.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <deque>

#include <dlfcn.h>

namespace {

long double setting(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::strtold(value, nullptr) : 0.0L;
}

const long double hz = setting("GLSQUARE_VSYNC_HZ");
const auto queueDepth = std::size_t(setting("GLSQUARE_VSYNC_QUEUE"));
const auto slowEvery = static_cast<unsigned long>(setting("GLSQUARE_VSYNC_SLOW_EVERY"));
unsigned long framesSwapped = 0;
std::deque<long long> waitingTicks; // the refreshes that will show the frames waiting, oldest first
long long lastShownNs = 0;

long long nowNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Refreshes fall on whole multiples of the refresh period of CLOCK_MONOTONIC.
long long tickNs(long long tick)
{
    return static_cast<long long>(std::ceil(static_cast<long double>(tick) * 1e9L / hz));
}

void sleepUntil(long long ns)
{
    const timespec due { time_t(ns / 1000000000), long(ns % 1000000000) };
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) { }
}

} // namespace

// When the frame swapped last is shown, on CLOCK_MONOTONIC in nanoseconds.
extern "C" long long glsquareVsyncLastShownNs()
{
    return lastShownNs;
}

extern "C" void glXSwapBuffers(Display *dpy, GLXDrawable drawable)
{
    using SwapBuffers = void (*)(Display *, GLXDrawable);
    static const auto realSwapBuffers = reinterpret_cast<SwapBuffers>(dlsym(RTLD_NEXT, "glXSwapBuffers"));

    if (slowEvery > 0 && ++framesSwapped % slowEvery == 0)
        sleepUntil(nowNs() + 2000000);
    realSwapBuffers(dpy, drawable);
    if (hz <= 0)
        return;
    const auto lastTick = static_cast<long long>(std::floor(static_cast<long double>(nowNs()) * hz / 1e9L));
    while (!waitingTicks.empty() && waitingTicks.front() <= lastTick)
        waitingTicks.pop_front();
    waitingTicks.push_back((waitingTicks.empty() ? lastTick : waitingTicks.back()) + 1);
    lastShownNs = tickNs(waitingTicks.back());
    // Return once no more than queueDepth frames wait, this one included.
    if (waitingTicks.size() > queueDepth)
        sleepUntil(tickNs(waitingTicks[waitingTicks.size() - 1 - queueDepth]));
}
