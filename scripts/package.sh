#!/usr/bin/env bash
# Builds the Debian package (build-deb/murmelin_<version>_<arch>.deb, prefix /usr) and checks
# it with lintian, which must find no error. MURMELIN_PACKAGE_DIR chooses another build folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MURMELIN_PACKAGE_DIR:-$root/build-deb}
"$root/scripts/setup.sh"
# The same build type as scripts/build.sh, so that a compiler cache serves both.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DMURMELIN_TESTS=OFF -DMURMELIN_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/murmelin_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/murmelin_*.deb)
lintian --fail-on error --tag-display-limit 0 "$deb" >&2 || {
    echo "package: lintian found errors in $deb" >&2
    exit 1
}
echo "$deb"
