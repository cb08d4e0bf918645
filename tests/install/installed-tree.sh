#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR as a package would (prefix /usr, stripped) and
# checks the tree: every file a desktop, a software centre and man look for, both validators,
# no path of the build or source tree in an installed file, and the installed command runs.
# Usage: installed-tree.sh <build dir> <source dir> <version>
set -euo pipefail
build=$1 source=$2 project_version=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr --strip >/dev/null
usr=$root/usr
id=io.github.murmelin.Murmelin
fail=0
bad() { echo "FAIL: $*"; fail=1; }

expected=(bin/murmelin bin/murmelin-notify libexec/murmelin/murmelin-desktop
    libexec/murmelin/murmelin-check-model
    share/murmelin/models/usr/share/pocketsphinx/model/en-us/en-us.lm.bin
    share/applications/$id.desktop share/metainfo/$id.metainfo.xml
    share/icons/hicolor/scalable/apps/$id.svg share/man/man1/murmelin.1.gz share/man/man1/murmelin-notify.1.gz
    share/doc/murmelin/copyright share/doc/murmelin/changelog.gz)
for size in 16 22 24 32 48 64 128 256; do
    expected+=(share/icons/hicolor/${size}x$size/apps/$id.png)
done
for f in "${expected[@]}"; do
    [ -s "$usr/$f" ] || bad "missing $f"
done
for size in 16 256; do
    png=$usr/share/icons/hicolor/${size}x$size/apps/$id.png
    [ -f "$png" ] && ! file "$png" | grep -q "$size x $size" && bad "$png is not $size px: $(file -b "$png")"
done
unexpected=$(cd "$usr" && find . -type f | sed 's|^\./||' | sort |
    grep -vxF -f <(printf '%s\n' "${expected[@]}") || true)
[ -z "$unexpected" ] || bad "installed but not expected: $unexpected"

desktop-file-validate "$usr/share/applications/$id.desktop" || bad "desktop-file-validate"
appstreamcli validate --no-net --explain "$usr/share/metainfo/$id.metainfo.xml" >/dev/null ||
    bad "appstreamcli validate: $(appstreamcli validate --no-net "$usr/share/metainfo/$id.metainfo.xml")"
for page in "$usr"/share/man/man1/*; do
    man -l "$page" 2>&1 >/dev/null | grep . && bad "$page: man's warnings above"
done

for program in "$usr"/bin/* "$usr"/libexec/murmelin/*; do
    for tree in "$(cd "$build" && pwd -P)" "$(cd "$source" && pwd -P)"; do
        strings "$program" | grep -qF "$tree" && bad "$program names $tree"
    done
done

# Started from the installed tree (not where the prefix says): it finds its tray program
# relative to itself, which answers an unknown session kind.
said=$(env -u DBUS_SESSION_BUS_ADDRESS MURMELIN_SESSION=unknown QT_QPA_PLATFORM=offscreen \
    XDG_RUNTIME_DIR="$root" "$usr/bin/murmelin" 2>&1 || true)
[[ "$said" == *"MURMELIN_SESSION=unknown names no session kind"* ]] ||
    bad "the installed murmelin did not start its tray program: $said"
version=$("$usr/bin/murmelin" --version) || bad "installed murmelin --version failed"
[ "$version" = "murmelin $project_version" ] ||
    bad "murmelin --version said '$version'"
exit $fail
