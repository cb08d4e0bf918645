#!/usr/bin/env bash
# Sets up, builds and runs Murmelin.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build=${MURMELIN_BUILD_DIR:-$root/build}
exec "$build/platform/qt/murmelin" "$@"
