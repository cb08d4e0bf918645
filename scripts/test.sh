#!/usr/bin/env bash
# Sets up, builds and runs every test (unit and integration). ctest prints the summary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
cd "${MURMELIN_BUILD_DIR:-$root/build}"
ctest --output-on-failure --timeout 600 "$@"
