#!/usr/bin/env bash
# Installs whatever is missing (Debian or Ubuntu), builds, then starts the
# program or runs the test suite headless.
#
#   ./quickstart.sh run        build and start the program
#   ./quickstart.sh test       build and run every test under a virtual X server
#   ./quickstart.sh sanitize   the same with AddressSanitizer (leak check
#                              included) and UndefinedBehaviorSanitizer
#   ./quickstart.sh bench [--memory-frames N]
#                              build and run the frame benchmark, on a virtual
#                              X server when there is no display
set -euo pipefail
cd "$(dirname "$0")"

build_packages=(cmake g++ make qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl1-mesa-dri libglx-mesa0)
test_packages=(xvfb xauth)
virtual_display=(xvfb-run -a -s "-screen 0 1280x1024x24")

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

# build DIR BUILD-TYPE [CMAKE OPTION...]
build() {
    cmake -S . -B "$1" -DCMAKE_BUILD_TYPE="$2" "${@:3}"
    cmake --build "$1" --parallel
}

case "${1:-}" in
run)
    install_missing "${build_packages[@]}"
    build build Release
    if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        echo "No display found (neither DISPLAY nor WAYLAND_DISPLAY is set): start glsquare from a desktop session." >&2
        echo "Built build/glsquare; './quickstart.sh test' checks it headless." >&2
        exit 1
    fi
    exec build/glsquare
    ;;
test)
    install_missing "${build_packages[@]}" "${test_packages[@]}"
    build build Release
    # Always a private X server, so that nothing on a real desktop takes the
    # keyboard focus from the windows under test.
    exec "${virtual_display[@]}" ctest --test-dir build --output-on-failure
    ;;
sanitize)
    install_missing "${build_packages[@]}" "${test_packages[@]}"
    build build-sanitize Debug -DGLSQUARE_SANITIZE=ON
    exec "${virtual_display[@]}" ctest --test-dir build-sanitize --output-on-failure
    ;;
bench)
    install_missing "${build_packages[@]}" "${test_packages[@]}"
    build build Release
    bench=(build/bench/frame_bench --json build/frame-bench.json "${@:2}")
    [ -n "${DISPLAY:-}" ] || bench=("${virtual_display[@]}" "${bench[@]}")
    exec "${bench[@]}"
    ;;
*)
    echo "usage: $0 run|test|sanitize|bench [--memory-frames N]" >&2
    exit 2
    ;;
esac
