// Copyright (C) 2026 the glsquare authors.
// SPDX-License-Identifier: BSD-3-Clause

// Preloaded into a process on an X server, this makes glXSwapBuffers wait for
// the next tick of a clock at GLSQUARE_VSYNC_HZ, as a swap with a swap
// interval of 1 waits for the display's next refresh. Mesa's software
// renderer, which draws the benchmark's frames, never waits by itself.

#include <GL/glx.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include <dlfcn.h>

extern "C" void glXSwapBuffers(Display *dpy, GLXDrawable drawable)
{
    using SwapBuffers = void (*)(Display *, GLXDrawable);
    static const auto realSwapBuffers = reinterpret_cast<SwapBuffers>(dlsym(RTLD_NEXT, "glXSwapBuffers"));
    static const char *rate = std::getenv("GLSQUARE_VSYNC_HZ");
    static const double hz = rate ? std::atof(rate) : 0.0;

    realSwapBuffers(dpy, drawable);
    if (hz <= 0)
        return;
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Ticks fall on whole multiples of the refresh period of CLOCK_MONOTONIC.
    const long double nowNs = static_cast<long double>(now.tv_sec) * 1e9L + static_cast<long double>(now.tv_nsec);
    const long double tick = std::floor(nowNs * hz / 1e9L) + 1;
    const auto dueNs = static_cast<long long>(std::ceil(tick * 1e9L / hz));
    const timespec due { time_t(dueNs / 1000000000), long(dueNs % 1000000000) };
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) { }
}
