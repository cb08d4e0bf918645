#!/usr/bin/env bash
# A fresh Debian 12 can install the package: builds the .deb (scripts/package.sh), installs it
# with apt into a clean root made by debootstrap (cached between runs, copied for each run),
# and there runs the installed `murmelin --version`, checks that every installed program finds
# its libraries, that the favoured speech model loads, that the tray program starts (without
# a desktop) and that the commands answer.
# Runs only with MURMELIN_INSTALL_TEST=1 (root, and Debian's mirror, needed); else skipped (77).
# Usage: fresh-system.sh <source dir>
set -euo pipefail
if [ "${MURMELIN_INSTALL_TEST:-}" != 1 ]; then
    echo "skipped: set MURMELIN_INSTALL_TEST=1 to install the package into a fresh Debian 12"
    exit 77
fi
source=$1
start=$(date +%s)
cache=${MURMELIN_INSTALL_CACHE:-/var/cache/murmelin-install-test}
mirror=${MURMELIN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
base=$cache/bookworm
if [ ! -x "$base/usr/bin/apt-get" ]; then
    rm -rf "$base"
    mkdir -p "$cache"
    debootstrap --variant=minbase bookworm "$base.new" "$mirror" >"$cache/debootstrap.log" 2>&1 || {
        tail -20 "$cache/debootstrap.log"
        exit 1
    }
    mv "$base.new" "$base"
fi
made=$(date +%s)
deb=$("$source/scripts/package.sh" 2>/dev/null | tail -1)
packaged=$(date +%s)

root=$(mktemp -d /var/tmp/murmelin-fresh-XXXXXX)
cleanup() {
    umount "$root/proc" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
cp -a "$base/." "$root/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
in_root apt-get update -q >/dev/null
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "/tmp/$(basename "$deb")" >"$root/apt.log" 2>&1 || {
    tail -30 "$root/apt.log"
    exit 1
}
installed=$(date +%s)

fail=0
bad() { echo "FAIL: $*"; fail=1; }
version=$(in_root murmelin --version) || bad "murmelin --version failed"
echo "installed: $version"
programs=(/usr/bin/murmelin /usr/bin/murmelin-notify
    $(cd "$root" && ls usr/libexec/murmelin/* | sed 's|^|/|'))
for program in "${programs[@]}"; do
    libraries=$(in_root ldd "$program") || bad "ldd $program failed"
    ! grep "not found" <<<"$libraries" || bad "$program misses the libraries above"
done
[ ${#programs[@]} -eq 4 ] || bad "installed programs: ${programs[*]}"
en=/usr/share/pocketsphinx/model/en-us
in_root /usr/libexec/murmelin/murmelin-check-model en-US "$en/en-us" \
    "/usr/share/murmelin/models$en/en-us.lm.bin" "$en/cmudict-en-us.dict" >/dev/null 2>&1 ||
    bad "the installed favoured model does not load"
# The tray program starts from the package alone (Qt's plugins, the model) and says it is ready.
log=$root/tmp/murmelin.log
in_root env MURMELIN_SESSION=none QT_QPA_PLATFORM=offscreen MURMELIN_VERBOSE=1 \
    XDG_RUNTIME_DIR=/tmp timeout 60 murmelin >"$log" 2>&1 &
program=$!
for _ in $(seq 300); do
    grep -q '"ready"' "$log" && break
    kill -0 $program 2>/dev/null || break
    sleep 0.1
done
grep -q '"ready"' "$log" || bad "the installed program did not start: $(cat "$log")"
kill $program 2>/dev/null || true
wait $program || true
said=$(in_root murmelin quit 2>&1) && bad "murmelin quit without an instance succeeded"
[[ "$said" == *"Murmelin is not running"* ]] || bad "murmelin quit said: $said"
echo "times: root ready $((made - start)) s, package $((packaged - made)) s," \
    "install $((installed - packaged)) s, checks $(($(date +%s) - installed)) s;" \
    "package $(du -k "$deb" | cut -f1) KiB, $(in_root du -sk /usr | cut -f1) KiB installed root /usr"
exit $fail
