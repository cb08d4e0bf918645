#!/usr/bin/env bash
# Sets up, builds and runs Murmelin. On a machine without a desktop session (no X display or
# Wayland compositor that answers) it runs the live headless demo, scripts/demo.sh, instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build=${MURMELIN_BUILD_DIR:-$root/build}

has_desktop() {
    if [ -n "${WAYLAND_DISPLAY:-}" ]; then
        local socket=$WAYLAND_DISPLAY
        [[ "$socket" == /* ]] || socket=${XDG_RUNTIME_DIR:-/nonexistent}/$socket
        [ -S "$socket" ] && return 0
    fi
    [ -n "${DISPLAY:-}" ] && timeout 5 xdpyinfo >/dev/null 2>&1
}

if has_desktop; then
    exec "$build/platform/qt/murmelin" "$@"
fi
echo "run.sh: no desktop session here (DISPLAY/WAYLAND_DISPLAY unusable): running the headless demo" >&2
MURMELIN_BUILD_DIR=$build exec "$root/scripts/demo.sh"
