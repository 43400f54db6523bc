#!/usr/bin/env bash
# Copyright (C) 2026 the glsquare authors.
# SPDX-License-Identifier: BSD-3-Clause
#
# Installs whatever is missing (Debian or Ubuntu), builds with a preset of
# CMakePresets.json, then starts the program or runs a check.
#
#   ./quickstart.sh run        build and start the program
#   ./quickstart.sh test [CTEST-OPTION ...]
#                              build and run every test under a virtual X
#                              server; options go to ctest, as
#                              --repeat until-fail:12 -E frame_bench
#   ./quickstart.sh sanitize [CTEST-OPTION ...]
#                              the same with AddressSanitizer (leak check
#                              included) and UndefinedBehaviorSanitizer
#   ./quickstart.sh lint       check the formatting, run clang-tidy and cppcheck
#   ./quickstart.sh bench [--frames N]
#                              build and run the frame and frame pacing
#                              benchmarks, on a virtual X server when there is
#                              no display (pacing also starts Xorg, as root);
#                              fails if either misses a target. --frames sets
#                              the frames of the frame benchmark's memory run.
set -euo pipefail
cd "$(dirname "$0")"

build_packages=(cmake g++ make qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl1-mesa-dri libglx-mesa0)
# Qt's Wayland plugin, so that Wayland desktops run the program natively.
desktop_packages=(qt6-wayland)
# Building the tests and the benchmarks built with them needs XTest's headers
# too: the pacing benchmark presses keys with it.
test_build_packages=(libxtst-dev)
# xdotool finds the window of the program started by the lifecycle test.
test_packages=(xvfb xauth xdotool dpkg-dev file desktop-file-utils appstream lintian)
lint_packages=(clang-format clang-tidy cppcheck)
# Xorg's dummy driver gives the pacing benchmark displays of 60 to 360 Hz.
bench_packages=(xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils)
# A private X server, even from a Wayland session, so that nothing on a real
# desktop takes the keyboard focus from the windows under test.
virtual_display=(env -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24")

install_missing() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    if ! command -v apt-get >/dev/null; then
        echo "Missing: ${missing[*]}. Without apt-get, install Qt 6 and CMake yourself and build by hand (see README.md)." >&2
        exit 1
    fi
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# build PRESET
build() {
    cmake --preset "$1"
    cmake --build --preset "$1" --parallel
}

case "${1:-}" in
run)
    install_missing "${build_packages[@]}" "${desktop_packages[@]}"
    build release
    if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        echo "No display found (neither DISPLAY nor WAYLAND_DISPLAY is set): start glsquare from a desktop session." >&2
        echo "Built build/glsquare; './quickstart.sh test' checks it headless." >&2
        exit 1
    fi
    exec build/glsquare
    ;;
test | sanitize)
    install_missing "${build_packages[@]}" "${test_build_packages[@]}" "${test_packages[@]}"
    preset=release
    [ "$1" = test ] || preset=sanitize
    build "$preset"
    exec "${virtual_display[@]}" ctest --preset "$preset" "${@:2}"
    ;;
lint)
    install_missing "${build_packages[@]}" "${test_build_packages[@]}" "${lint_packages[@]}"
    build release # for the compile commands and the generated sources
    mapfile -t sources < <(find src tests bench -name '*.cpp' -o -name '*.h' | sort)
    clang-format --dry-run --Werror "${sources[@]}"
    clang-tidy -p build --quiet $(printf '%s\n' "${sources[@]}" | grep '\.cpp$')
    # cppcheck 2.11 and newer analyse only some branches of long functions unless told to analyse all.
    all_branches=()
    [[ $(cppcheck --help) == *--check-level* ]] && all_branches=(--check-level=exhaustive)
    cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability --std=c++17 --library=qt \
        "${all_branches[@]}" --inline-suppr --suppress=missingIncludeSystem -DQ_OS_LINUX -D__GLIBC__ -I src -I tests \
        src tests bench
    echo "lint: formatting, clang-tidy and cppcheck found nothing"
    ;;
bench)
    install_missing "${build_packages[@]}" "${test_build_packages[@]}" "${test_packages[@]}" "${bench_packages[@]}"
    build release
    display=()
    [ -n "${DISPLAY:-}" ] || display=("${virtual_display[@]}")
    # Both run; each exits non-zero if it missed a target or could not measure.
    status=0
    "${display[@]}" build/bench/frame_bench --json build/frame-bench.json "${@:2}" || status=1
    echo
    "${display[@]}" build/bench/pacing_bench --json build/pacing-bench.json || status=1
    exit "$status"
    ;;
*)
    echo "usage: $0 run | test|sanitize [CTEST-OPTION ...] | lint | bench [--frames N]" >&2
    exit 2
    ;;
esac
