#!/usr/bin/env bash
# Installs the Debian packages Murmelin needs to build, run and test, when any is missing.
# Idempotent: a machine that has everything is left alone.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ clang pkg-config libclang-rt-14-dev
    qt6-base-dev qt6-svg-dev qt6-qpa-plugins libicu-dev nlohmann-json3-dev
    libpocketsphinx-dev libsphinxbase-dev pocketsphinx-en-us
    libpulse-dev libx11-dev libxtst-dev libwayland-dev wayland-protocols libdbus-1-dev
    libgtest-dev libgmock-dev libbenchmark-dev libxkbcommon-dev
    # run and test: a headless desktop, a sound server and speech to play into it
    xvfb x11-xserver-utils x11-utils xdotool imagemagick openbox xcompmgr trayer
    dbus dbus-x11 libnotify-bin xclip xterm mousepad lxterminal rxvt-unicode emacs-lucid xfce4-clipman
    pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber
    sox libsox-fmt-all flite festival festvox-us-slt-hts pocketsphinx-testdata
    fonts-dejavu-core python3
    # a headless Wayland desktop (sway) and its clients
    sway wtype wl-clipboard grim foot qt6-wayland jq python3-gi gir1.2-gtk-3.0
    # install and package: bitmap icons, the validators, the .deb and a fresh Debian root
    librsvg2-bin desktop-file-utils appstream file man-db dpkg-dev fakeroot lintian debootstrap
    # a headless KWin with the desktop portals (the KDE backend is Qt 5: it needs qtwayland5)
    kwin-wayland qtwayland5 xdg-desktop-portal xdg-desktop-portal-kde python3-dbus
    # a terminal that runs on KWin's virtual output (foot dies there), for the paste chord
    konsole
    # a headless mutter (GNOME) with its portal backend; screenshots through PipeWire and GStreamer
    mutter xwayland xdg-desktop-portal-gnome gstreamer1.0-pipewire gstreamer1.0-tools gir1.2-gdkpixbuf-2.0
    libglib2.0-bin
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

echo "setup: installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
