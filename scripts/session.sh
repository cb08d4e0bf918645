#!/usr/bin/env bash
# A complete, private desktop session for tests, the demo and the benchmarks, on a machine with
# no display, no sound card and no logged-in user:
#
#   session.sh start [--owner PID] <dir> [parts...]   parts: x11 dbus wm compositor tray notify,
#                                                     or sway, kwin or gnome instead of the X11 ones,
#                                                     and a sound server: pulse or pipewire
#   session.sh stop <dir>                             stops everything that start started
#   session.sh play <dir> <file.wav>                  plays a file into the virtual microphone
#   session.sh sound <dir>                            starts the sound server again if it died
#   session.sh run <dir> <command...>                 runs a command inside the session
#   session.sh spawn <dir> <name> <command...>        starts one in the background, prints its
#                                                     pid; stop ends it; output: <dir>/logs/<name>.log
#
# Parts default to all of them with PulseAudio; `pipewire` instead of `pulse` gives PipeWire with
# WirePlumber and pipewire-pulse (the same PulseAudio socket, PULSE_SERVER and virtual
# microphone: a null sink "vsink" whose monitor is the default source). The session bus is always
# started, so nothing in the session ever reaches the caller's bus. `start` writes <dir>/env
# (export lines to source) and <dir>/pids, and returns only when every part answers. With
# --owner, a watchdog stops the session when that process ends (a test that crashes or is killed
# by a timeout leaves nothing behind).
# The caller's DISPLAY, bus and sound server are never used or touched.
# `sway` is a headless sway (wlroots, pixman renderer) with two outputs, HEADLESS-1 1280x720
# and HEADLESS-2 800x600 to its right. sway refuses to run as root, so as root it runs as the
# user $MURMELIN_SWAY_USER (default murmelin-sway, made when missing) in a runtime folder of
# that user's; everything else stays ours and reaches it by the absolute WAYLAND_DISPLAY and
# SWAYSOCK that env exports. Its key bindings run as that user: the session bus lets them in.
# `kwin` is a headless KWin (virtual backend, one 1280x720 output) with the desktop portal and
# its KDE backend on the session bus: key injection through the RemoteDesktop portal,
# kglobalaccel and KWin's scripting. It runs from a copy of kwin_wayland, whose file
# capability makes exec fail as root; the portals from their real paths (KWin grants the KDE
# portal fake input by its executable). Screenshots: tools/kwin_shot, which a desktop entry
# grants KWin's ScreenShot2.
# `gnome` is a headless mutter (one 1280x720 virtual monitor) with its Xwayland, whose DISPLAY
# and XAUTHORITY env exports, and the desktop portal with the GNOME backend alone (the machine's
# other backends would add a GlobalShortcuts portal that GNOME 43 lacks). It takes PipeWire as
# its sound server, which also carries mutter's screen casts (the screenshots). mutter's Xwayland
# takes the first free X display number and its sockets in /tmp/.X11-unix, as on a desktop.
#
# Tools: notification_recorder and session_probe come from $MURMELIN_TOOLS_DIR or
# ${MURMELIN_BUILD_DIR:-<repo>/build}/tests/integration/tools (built there when missing).
# MURMELIN_SESSION_TIMEOUT (seconds, default 10) bounds the wait for each part.
set -uo pipefail
t0_us=${EPOCHREALTIME/./}

# Paths without subshells: under load every process started costs tens of milliseconds.
absolute() { if [[ "$1" == /* ]]; then REPLY=$1; else REPLY=$PWD/$1; fi; }
absolute "${BASH_SOURCE[0]}"
self=$REPLY
root=${self%/scripts/*}
all_parts=(x11 dbus wm compositor tray notify pulse)
known_parts=("${all_parts[@]}" pipewire sway kwin gnome)
timeout_s=${MURMELIN_SESSION_TIMEOUT:-10}

say() { echo "session.sh: $*" >&2; }

usage() {
    sed -n '5,12p' "$self" | sed 's/^#  //' >&2
    exit 2
}

# Start time of a process in clock ticks since boot (in $REPLY, its state in $STATE), fork-free
# because stop polls it. A pid is only ours while this matches what we recorded: pids are reused.
starttime() {
    local stat fields
    REPLY="" STATE=""
    { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 1
    read -ra fields <<<"${stat##*) }"
    REPLY=${fields[19]} STATE=${fields[0]}
}

# Ours and still running (an exited process waits as a zombie until init reaps it, here slowly).
is_ours() { [ -n "$2" ] && starttime "$1" && [ "$REPLY" = "$2" ] && [ "$STATE" != Z ]; }

record() { # name pid
    starttime "$2"
    echo "$2 ${REPLY:--} $1" >>"$dir/pids"
}

# Starts a program in a process group of its own (so stop can reach its children too).
spawn() { # name command...
    local name=$1
    shift
    setsid "$@" </dev/null >>"$dir/logs/$name.log" 2>&1 &
    spawned=$!
    record "$name" "$spawned"
}

alive_named() { # name: is the recorded process of that name running?
    local pid t name
    while read -r pid t name; do
        [ "$name" = "$1" ] && is_ours "$pid" "$t" && return 0
    done <"$dir/pids"
    return 1
}

fail() {
    say "$*"
    # A sound server that does not come back (`sound`) leaves the rest of the session running.
    [ -z "${keep_on_failure:-}" ] && [ -f "$dir/pids" ] && "$self" stop "$dir" >/dev/null 2>&1
    exit 1
}

log_tail() { [ -f "$dir/logs/$1.log" ] && tail -n 5 "$dir/logs/$1.log" | sed 's/^/    /' >&2; }

deadline_passed() { ((${EPOCHREALTIME/./} >= deadline_us)); }

# With MURMELIN_SESSION_TRACE=1, how long each step of start took.
trace() { [ -n "${MURMELIN_SESSION_TRACE:-}" ] && say "$(( (${EPOCHREALTIME/./} - t0_us) / 1000 )) ms: $*"; return 0; }

find_tool() { # name
    local build=${MURMELIN_BUILD_DIR:-$root/build} candidate
    for candidate in ${MURMELIN_TOOLS_DIR:+"$MURMELIN_TOOLS_DIR/$1"} \
        "$build/tests/integration/tools/$1" "$root/build/tests/integration/tools/$1"; do
        [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
    if [ -f "$build/CMakeCache.txt" ]; then
        say "building $1 in $build"
        cmake --build "$build" --target notification_recorder session_probe kwin_shot >&2 &&
            [ -x "$build/tests/integration/tools/$1" ] &&
            { echo "$build/tests/integration/tools/$1"; return 0; }
    fi
    return 1
}

display_number() { # DISPLAY value -> its number in REPLY, or nothing
    local d=${1#*:}
    d=${d%%.*}
    REPLY=""
    [[ "$1" == *:* && "$d" =~ ^[0-9]+$ ]] && REPLY=$d
    return 0
}

# Starts Xvfb on the next free display number after $x_num. It is awaited later (wait_x11), so
# that the server's start-up overlaps the bus and the sound server.
launch_x11() {
    local caller_num glx=(-extension GLX)
    # GLX (Mesa's software renderer) doubles the server's start-up and nothing here draws
    # with OpenGL; MURMELIN_SESSION_GLX=1 keeps it.
    [ -n "${MURMELIN_SESSION_GLX:-}" ] && glx=(+extension GLX)
    display_number "${caller_display:-}"
    caller_num=$REPLY
    [ -p "$dir/.displayfd" ] || mkfifo "$dir/.displayfd"
    for ((x_num++; x_num < 1000; x_num++)); do
        [ "$x_num" = "$caller_num" ] && continue
        [ -e "/tmp/.X$x_num-lock" ] || [ -e "/tmp/.X11-unix/X$x_num" ] && continue
        # -displayfd reports the number once the server accepts connections: no polling.
        setsid Xvfb ":$x_num" -screen 0 3200x1080x24 +extension RANDR +extension Composite \
            "${glx[@]}" -nolisten tcp -noreset -displayfd 3 3>"$dir/.displayfd" </dev/null \
            >>"$dir/logs/x11.log" 2>&1 &
        x_pid=$!
        record x11 "$x_pid"
        exec {x_fd}<"$dir/.displayfd"
        return 0
    done
    fail "no free X display number in :100..:999"
}

wait_x11() {
    local line
    while true; do
        line=""
        read -r -t "$timeout_s" -u "$x_fd" line
        exec {x_fd}<&-
        [ "$line" = "$x_num" ] && break
        # Lost a race for this number with another server, or it did not start in time.
        kill -KILL "$x_pid" 2>/dev/null
        wait "$x_pid" 2>/dev/null
        deadline_passed && { log_tail x11; fail "Xvfb did not start"; }
        launch_x11
    done
    rm -f "$dir/.displayfd"
    # Xvfb takes no lock file when given -displayfd; one naming it keeps classic X servers and
    # scripts that look for locks off this number.
    (set -C && printf '%10d\n' "$x_pid" >"/tmp/.X$x_num-lock") 2>/dev/null
    echo "$x_num" >"$dir/display"
    export DISPLAY=":$x_num"
    # One client for both monitors: under load every extra process costs tens of milliseconds.
    xrandr --setmonitor LEFT 1920/508x1080/286+0+0 screen \
        --setmonitor RIGHT 1280/338x1024/270+1920+0 none >>"$dir/logs/x11.log" 2>&1 ||
        { log_tail x11; fail "X server $DISPLAY does not answer or refused the monitors"; }
}

start_dbus() {
    local listen="unix:dir=$XDG_RUNTIME_DIR" out
    # sway's bindings run as its own user: the bus socket then lives where that user may reach
    # it, and the runtime folder stays private (Qt insists on 0700).
    [ -n "$bus_users" ] && install -d -m 0711 "$dir/bus" && listen="unix:dir=$dir/bus"
    # A socket path is limited to 108 bytes; very deep session dirs fall back to /tmp.
    ((${#XDG_RUNTIME_DIR} > 80)) && listen="unix:tmpdir=/tmp"
    # Our own configuration: no activatable services, so nothing is ever started behind our back
    # (a notification daemon, dconf, the accessibility bus) where stop could not see it.
    printf '%s\n' '<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"' \
        ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">' \
        '<busconfig>' '  <type>session</type>' '  <keep_umask/>' "  <listen>$listen</listen>" \
        '  <auth>EXTERNAL</auth>' "  <servicedir>$dir/dbus-services</servicedir>" \
        '  <policy context="default">' ${bus_users:+"$bus_users"} \
        '    <allow send_destination="*" eavesdrop="true"/>' \
        '    <allow eavesdrop="true"/>' '    <allow own="*"/>' '  </policy>' '</busconfig>' \
        >"$dir/dbus.conf"
    out=$(dbus-daemon --config-file="$dir/dbus.conf" --fork --print-address=1 --print-pid=1 \
        2>>"$dir/logs/dbus.log") || { log_tail dbus; fail "dbus-daemon did not start"; }
    local address pid
    { read -r address; read -r pid; } <<<"$out"
    [ -n "$address" ] && [ -n "$pid" ] || fail "dbus-daemon printed no address"
    record dbus "$pid"
    # Exported before any GTK program starts, or it launches a bus of its own that outlives us.
    export DBUS_SESSION_BUS_ADDRESS="$address"
}

wait_notify() {
    while [ ! -e "$MURMELIN_NOTIFICATIONS" ]; do
        alive_named notify || { log_tail notify; fail "notification_recorder exited"; }
        deadline_passed && fail "notification_recorder not ready after ${timeout_s}s"
        sleep 0.005
    done
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>&1 |
        grep -q 'boolean true' || fail "org.freedesktop.Notifications has no owner"
}

# KWin and the portals (see the head of this file); awaited by wait_kwin.
launch_kwin() {
    mkdir -p "$dir/kwin" && cp /usr/bin/kwin_wayland "$dir/kwin/kwin_wayland" ||
        fail "cannot copy kwin_wayland"
    # ScreenShot2 answers only an executable that a desktop entry grants it (read at KWin's
    # start): the tests' kwin_shot, named by its real path.
    if [ -n "$tools_shot" ]; then
        mkdir -p "$XDG_DATA_HOME/applications" &&
            printf '%s\n' '[Desktop Entry]' Type=Application Name=kwin_shot NoDisplay=true \
                "Exec=$(realpath "$tools_shot")" \
                X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2 \
                >"$XDG_DATA_HOME/applications/murmelin-kwin-shot.desktop" ||
            fail "cannot write the screenshot grant"
    fi
    export WAYLAND_DISPLAY=wayland-murmelin XDG_CURRENT_DESKTOP=KDE XDG_SESSION_TYPE=wayland
    spawn kwin env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY "$dir/kwin/kwin_wayland" --virtual \
        --width 1280 --height 720 --socket "$WAYLAND_DISPLAY" --no-lockscreen
}

bus_has() { # name
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

wait_for() { # part name-on-the-bus
    until bus_has "$2"; do
        alive_named "$1" || { log_tail "$1"; fail "$1 exited"; }
        deadline_passed && { log_tail "$1"; fail "$1 not on the bus after ${timeout_s}s"; }
        sleep 0.05
    done
}

wait_kwin() {
    until [ -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ] && bus_has org.kde.KWin; do
        alive_named kwin || { log_tail kwin; fail "kwin exited"; }
        deadline_passed && { log_tail kwin; fail "kwin not ready after ${timeout_s}s"; }
        sleep 0.05
    done
    spawn portal-kde /usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde
    wait_for portal-kde org.freedesktop.impl.portal.desktop.kde
    spawn portal /usr/libexec/xdg-desktop-portal -r
    wait_for portal org.freedesktop.portal.Desktop
}

# mutter, its Xwayland and the GNOME portals (see the head of this file); awaited by wait_gnome.
launch_gnome() {
    export WAYLAND_DISPLAY=wayland-murmelin XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_TYPE=wayland \
        XDG_SESSION_DESKTOP=gnome XDG_DESKTOP_PORTAL_DIR=$dir/portals GTK_A11Y=none
    mkdir -p "$XDG_DESKTOP_PORTAL_DIR" &&
        cp /usr/share/xdg-desktop-portal/portals/{gnome,gtk}.portal "$XDG_DESKTOP_PORTAL_DIR/" ||
        fail "cannot copy the GNOME portal descriptions"
    spawn mutter env -u QT_QPA_PLATFORM -u GDK_BACKEND mutter --headless --wayland \
        --virtual-monitor 1280x720 --wayland-display "$WAYLAND_DISPLAY"
}

# Whether the portal service's desktop object offers the interface yet.
portal_offers() { # bus-name interface
    gdbus introspect --session -d "$1" -o /org/freedesktop/portal/desktop 2>/dev/null |
        grep -q "interface $2 "
}

wait_gnome() {
    local line auth
    # mutter says which public display its Xwayland took; the cookie lies in its runtime folder.
    until [ -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ] && bus_has org.gnome.Mutter.RemoteDesktop &&
        line=$(grep -o 'Using public X11 display :[0-9]*' "$dir/logs/mutter.log") &&
        auth=$(compgen -G "$XDG_RUNTIME_DIR/.mutter-Xwaylandauth.*"); do
        alive_named mutter || { log_tail mutter; fail "mutter exited"; }
        deadline_passed && { log_tail mutter; fail "mutter and its Xwayland not ready after ${timeout_s}s"; }
        sleep 0.05
    done
    export DISPLAY=${line##* } XAUTHORITY=${auth%%$'\n'*}
    echo "${DISPLAY#:}" >"$dir/display"
    until xdpyinfo >/dev/null 2>&1; do
        deadline_passed && { log_tail mutter; fail "Xwayland $DISPLAY does not answer"; }
        sleep 0.05
    done
    # The frontend reads the backend's interfaces once, when it starts.
    spawn portal-gnome /usr/libexec/xdg-desktop-portal-gnome
    until portal_offers org.freedesktop.impl.portal.desktop.gnome org.freedesktop.impl.portal.RemoteDesktop; do
        alive_named portal-gnome || { log_tail portal-gnome; fail "xdg-desktop-portal-gnome exited"; }
        deadline_passed && { log_tail portal-gnome; fail "xdg-desktop-portal-gnome not ready after ${timeout_s}s"; }
        sleep 0.05
    done
    spawn portal /usr/libexec/xdg-desktop-portal -r
    until portal_offers org.freedesktop.portal.Desktop org.freedesktop.portal.RemoteDesktop; do
        alive_named portal || { log_tail portal; fail "xdg-desktop-portal exited"; }
        deadline_passed && { log_tail portal; fail "xdg-desktop-portal not ready after ${timeout_s}s"; }
        sleep 0.05
    done
    # Without a physical keyboard the seat has one only while a virtual one exists, and the
    # first keys of each new one are lost: one is held for the whole session, as on a desktop.
    spawn keyboard "$root/tests/integration/tools/mutter_keys.py" --hold
    until grep -q '^held$' "$dir/logs/keyboard.log" 2>/dev/null; do
        alive_named keyboard || { log_tail keyboard; fail "the session's keyboard (mutter_keys.py) exited"; }
        deadline_passed && fail "the session's keyboard not ready after ${timeout_s}s"
        sleep 0.05
    done
}

# sway as the session's user (see the head of this file); awaited by wait_sway.
launch_sway() {
    local run=$dir/sway/run as_user=()
    sway_user=$(id -un)
    if [ "$(id -u)" -eq 0 ]; then
        sway_user=${MURMELIN_SWAY_USER:-murmelin-sway}
        id -u "$sway_user" >/dev/null 2>&1 ||
            useradd -M -d /nonexistent -s /usr/sbin/nologin "$sway_user" 2>>"$dir/logs/sway.log" ||
            fail "cannot make the user $sway_user for sway"
        as_user=(setpriv --reuid="$sway_user" --regid="$sway_user" --init-groups)
        # The user must reach its runtime folder and the bus socket inside ours, and no more.
        chmod 0711 "$dir" && install -d -m 0711 "$dir/sway" &&
            install -d -m 0700 -o "$sway_user" -g "$sway_user" "$run" || fail "cannot prepare sway's folders"
    else
        install -d -m 0700 "$dir/sway" "$run" || fail "cannot prepare sway's folders"
    fi
    printf '%s\n' 'xwayland disable' 'output HEADLESS-1 resolution 1280x720 position 0 0' \
        'default_border none' 'focus_follows_mouse no' >"$dir/sway/sway.conf"
    export SWAYSOCK=$run/sway.sock WAYLAND_DISPLAY=$run/wayland-1
    spawn sway "${as_user[@]}" env -i PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
        HOME="$dir/sway" XDG_RUNTIME_DIR="$run" SWAYSOCK="$SWAYSOCK" \
        DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" \
        WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
        sway -c "$dir/sway/sway.conf"
}

wait_sway() {
    until [ -S "$WAYLAND_DISPLAY" ] && swaymsg -q -t get_version >/dev/null 2>&1; do
        alive_named sway || { log_tail sway; fail "sway exited"; }
        deadline_passed && { log_tail sway; fail "sway not ready after ${timeout_s}s"; }
        sleep 0.02
    done
    swaymsg -q create_output && swaymsg -q output HEADLESS-2 resolution 800x600 position 1280 0 ||
        { log_tail sway; fail "sway refused the second output"; }
    # Without a physical keyboard the seat has one only while a virtual keyboard exists: no
    # window would get keyboard focus, and the first key of each typing tool would be lost.
    spawn keyboard wtype -s 86400000
    echo "$sway_user" >"$dir/sway/user"
}

launch_pulse() {
    spawn pulse pulseaudio -n --daemonize=no --exit-idle-time=-1 --system=false \
        --disallow-exit --log-target=stderr --file="$dir/pulse.pa"
}

# PipeWire itself; WirePlumber and pipewire-pulse follow once its socket is there (wait_pipewire).
launch_pipewire() {
    spawn pipewire pipewire
}

wait_socket() { # path name-of-process
    until [ -S "$1" ]; do
        alive_named "$2" || { log_tail "$2"; fail "$2 exited"; }
        deadline_passed && fail "$2 not ready after ${timeout_s}s"
        sleep 0.005
    done
}

# An idle null sink renders in 2-second blocks and swallows the start of a clip: keep it awake.
keep_awake() {
    alive_named pulse-awake ||
        spawn pulse-awake sh -c 'exec parec --latency-msec=10 -d vsink.monitor --raw >/dev/null'
}

wait_pulse() {
    wait_socket "$PULSE_RUNTIME_PATH/native" pulse
    pactl info 2>&1 | grep -q '^Default Source: vsink.monitor$' ||
        { log_tail pulse; fail "pulseaudio does not answer or has no virtual microphone"; }
    keep_awake
}

wait_pipewire() {
    wait_socket "$XDG_RUNTIME_DIR/pipewire-0" pipewire
    alive_named wireplumber || spawn wireplumber wireplumber
    alive_named pipewire-pulse || spawn pipewire-pulse pipewire-pulse
    wait_socket "$PULSE_RUNTIME_PATH/native" pipewire-pulse
    # WirePlumber picks a default source of its own a moment later: set ours until it holds.
    local held=0
    while ((held < 2)); do
        pactl set-default-source vsink.monitor >/dev/null 2>&1
        sleep 0.02
        if [ "$(pactl get-default-source 2>/dev/null)" = vsink.monitor ]; then
            ((held++))
        else
            held=0
            deadline_passed && { log_tail wireplumber; fail "PipeWire has no virtual microphone"; }
        fi
    done
    keep_awake
}

# The configuration files of the sound server (start), and its virtual microphone.
configure_sound() {
    export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
    export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
    if [ "$sound" = pulse ]; then
        # The socket module comes last: once the socket exists, the microphone is in place.
        printf '%s\n' "load-module module-null-sink sink_name=vsink rate=16000 channels=1" \
            "set-default-sink vsink" "set-default-source vsink.monitor" \
            "load-module module-native-protocol-unix socket=$PULSE_RUNTIME_PATH/native auth-anonymous=1" \
            >"$dir/pulse.pa"
    else
        # In PipeWire's own configuration, so that it outlives a restart of pipewire-pulse.
        mkdir -p "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d" &&
            printf '%s\n' 'context.objects = [' '    { factory = adapter' '        args = {' \
                '            factory.name = support.null-audio-sink' \
                '            node.name = vsink' '            media.class = Audio/Sink' \
                '            audio.position = [ MONO ]' '            audio.rate = 16000' \
                '        }' '    }' ']' \
                >"$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/murmelin-session.conf" ||
            fail "cannot write the PipeWire configuration"
    fi
    echo "$sound" >"$dir/sound"
}

write_env() {
    local name unset=(SESSION_MANAGER DESKTOP_STARTUP_ID)
    {
        echo "# Source this file to run inside the session started by scripts/session.sh."
        for name in DISPLAY XAUTHORITY WAYLAND_DISPLAY SWAYSOCK XDG_CURRENT_DESKTOP XDG_SESSION_TYPE \
            XDG_SESSION_DESKTOP XDG_DESKTOP_PORTAL_DIR GTK_A11Y DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR PULSE_SERVER \
            PULSE_RUNTIME_PATH PIPEWIRE_RUNTIME_DIR PIPEWIRE_REMOTE QT_QPA_PLATFORM GDK_BACKEND MURMELIN_NOTIFICATIONS \
            MURMELIN_SESSION_DIR HOME XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_STATE_HOME \
            GSETTINGS_BACKEND NO_AT_BRIDGE; do
            if [ -n "${!name:-}" ]; then echo "export $name='${!name}'"; else unset+=("$name"); fi
        done
        # A part left out must not fall back to the caller's display, sound server or files.
        echo "unset ${unset[*]}"
    } >"$dir/env.tmp" && mv "$dir/env.tmp" "$dir/env"
}

cmd_start() {
    local owner=""
    [ "${1:-}" = "--owner" ] && { owner=${2:-}; shift 2; }
    [ $# -ge 1 ] || usage
    absolute "${1%/}"
    dir=$REPLY
    shift
    [[ "$dir" == *"'"* || "$dir" == *$'\n'* ]] && { say "unusable directory name: $dir"; exit 2; }
    [ -s "$dir/pids" ] && { say "$dir already holds a session; stop it first"; exit 1; }
    local parts=("$@") p
    ((${#parts[@]})) || parts=("${all_parts[@]}")
    declare -A want=([dbus]=1)
    for p in "${parts[@]}"; do
        [[ " ${known_parts[*]} " == *" $p "* ]] || { say "unknown part '$p'"; usage; }
        want[$p]=1
    done
    [ -n "${want[pulse]:-}" ] && [ -n "${want[pipewire]:-}" ] &&
        { say "pulse and pipewire are two sound servers: choose one"; exit 2; }
    local sound=""
    [ -n "${want[pulse]:-}" ] && sound=pulse
    [ -n "${want[pipewire]:-}" ] && sound=pipewire
    [ -n "${want[wm]:-}${want[compositor]:-}${want[tray]:-}" ] && want[x11]=1
    [ -n "${want[x11]:-}" ] && [ -n "${want[sway]:-}" ] &&
        { say "x11 and sway are two desktops: choose one"; exit 2; }
    [ -n "${want[kwin]:-}" ] && [ -n "${want[x11]:-}${want[sway]:-}" ] &&
        { say "kwin is a desktop of its own: leave out x11 and sway"; exit 2; }
    if [ -n "${want[gnome]:-}" ]; then
        [ -n "${want[x11]:-}${want[sway]:-}${want[kwin]:-}" ] &&
            { say "gnome is a desktop of its own: leave out x11, sway and kwin"; exit 2; }
        [ -n "${want[pulse]:-}" ] &&
            { say "gnome casts its screen through PipeWire: take pipewire, not pulse"; exit 2; }
        sound=pipewire
    fi

    local tools_probe="" tools_notify="" tools_shot=""
    deadline_us=$((t0_us + timeout_s * 1000000))
    if [ -n "${want[wm]:-}${want[compositor]:-}${want[tray]:-}" ]; then
        tools_probe=$(find_tool session_probe) || { say "session_probe is not built"; exit 1; }
    fi
    # Without it the session runs, only screenshots are refused.
    if [ -n "${want[kwin]:-}" ]; then
        tools_shot=$(find_tool kwin_shot) || say "kwin_shot is not built: no screenshots"
    fi
    if [ -n "${want[notify]:-}" ]; then
        tools_notify=$(find_tool notification_recorder) ||
            { say "notification_recorder is not built"; exit 1; }
    fi

    caller_display=${DISPLAY:-}
    unset DISPLAY WAYLAND_DISPLAY SWAYSOCK XDG_CURRENT_DESKTOP XDG_SESSION_TYPE SESSION_MANAGER XAUTHORITY XDG_SESSION_DESKTOP XDG_DESKTOP_PORTAL_DIR GTK_A11Y DESKTOP_STARTUP_ID PULSE_SERVER \
        PIPEWIRE_RUNTIME_DIR PIPEWIRE_REMOTE
    mkdir -p "$dir/logs" "$dir/home" "$dir/config" "$dir/data" "$dir/cache" "$dir/state" \
        "$dir/dbus-services" "$dir/runtime/pulse" &&
        chmod 0700 "$dir/runtime" "$dir/runtime/pulse" || exit 1
    : >"$dir/pids"
    trap 'fail "interrupted"' INT TERM HUP
    export MURMELIN_SESSION_DIR="$dir" HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" \
        XDG_DATA_HOME="$dir/data" XDG_CACHE_HOME="$dir/cache" XDG_STATE_HOME="$dir/state" \
        XDG_RUNTIME_DIR="$dir/runtime" QT_QPA_PLATFORM=xcb GDK_BACKEND=x11 \
        GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
    bus_users=""
    if [ -n "${want[sway]:-}" ]; then
        export QT_QPA_PLATFORM=wayland GDK_BACKEND=wayland
        bus_users='    <allow user="*"/>'
    fi
    [ -n "${want[kwin]:-}${want[gnome]:-}" ] && export QT_QPA_PLATFORM=wayland GDK_BACKEND=wayland

    if [ -n "$owner" ]; then
        starttime "$owner" || fail "owner process $owner does not exist"
        setsid "$self" _watch "$dir" "$owner" "$REPLY" </dev/null >/dev/null 2>&1 &
        record watchdog $!
    fi

    x_num=99
    [ -n "${want[x11]:-}" ] && launch_x11
    start_dbus
    trace "session bus up"
    [ -n "${want[sway]:-}" ] && launch_sway
    [ -n "${want[kwin]:-}" ] && launch_kwin
    [ -n "${want[gnome]:-}" ] && launch_gnome
    [ -n "$sound" ] && configure_sound && "launch_$sound"
    [ -n "${want[x11]:-}" ] && wait_x11 && trace "X server $DISPLAY up, monitors set"
    [ -n "${want[sway]:-}" ] && wait_sway && trace "sway $WAYLAND_DISPLAY up, outputs set"
    [ -n "${want[kwin]:-}" ] && wait_kwin && trace "kwin $WAYLAND_DISPLAY and the portals up"
    [ -n "${want[gnome]:-}" ] && wait_gnome && trace "mutter $WAYLAND_DISPLAY, Xwayland $DISPLAY and the portals up"
    [ -n "${want[wm]:-}" ] && spawn wm openbox --sm-disable
    [ -n "${want[compositor]:-}" ] && spawn compositor xcompmgr
    [ -n "${want[tray]:-}" ] && spawn tray trayer --edge bottom --align right \
        --widthtype request --height 32 --SetDockType true --SetPartialStrut true \
        --transparent false --monitor primary
    if [ -n "${want[notify]:-}" ]; then
        export MURMELIN_NOTIFICATIONS="$dir/notifications.jsonl"
        rm -f "$MURMELIN_NOTIFICATIONS"
        spawn notify "$tools_notify"
    fi

    local probe=()
    [ -n "${want[wm]:-}" ] && probe+=(wm)
    [ -n "${want[compositor]:-}" ] && probe+=(compositor)
    [ -n "${want[tray]:-}" ] && probe+=(tray)
    if ((${#probe[@]})); then
        local left_ms=$(((deadline_us - ${EPOCHREALTIME/./}) / 1000))
        "$tools_probe" --timeout-ms "$((left_ms > 0 ? left_ms : 0))" "${probe[@]}" \
            2>>"$dir/logs/probe.log" ||
            { for p in "${probe[@]}"; do log_tail "$p"; done; fail "$(tail -n1 "$dir/logs/probe.log")"; }
        trace "${probe[*]} ready"
    fi
    [ -n "${want[notify]:-}" ] && wait_notify && trace "notification recorder ready"
    [ -n "$sound" ] && "wait_$sound" && trace "sound server ready"
    write_env
    trap - INT TERM HUP
    local ms=$(((${EPOCHREALTIME/./} - t0_us) / 1000))
    echo "$ms" >"$dir/startup-ms"
    say "started ${parts[*]} in $dir (${DISPLAY:-${WAYLAND_DISPLAY:-no display}}) in ${ms} ms"
}

cmd_stop() {
    [ $# -eq 1 ] || usage
    dir=$1
    [ -f "$dir/pids" ] || return 0
    local pids=() starts=() names=() live_groups=() pid t name i
    while read -r pid t name; do
        [[ "$pid" =~ ^[0-9]+$ ]] || continue
        pids+=("$pid") starts+=("$t") names+=("$name")
    done <"$dir/pids"
    # A group may outlive its leader; its number cannot be reused while any member lives, so a
    # group is ours when its leader is ours (even as a zombie) or gone.
    group_ours() { ! starttime "$1" || [ "$REPLY" = "$2" ]; }
    # Process groups that still have a running member.
    scan_groups() {
        live_groups=()
        local f stat fields
        for f in /proc/[0-9]*/stat; do
            { read -r stat <"$f"; } 2>/dev/null || continue
            read -ra fields <<<"${stat##*) }"
            [ "${fields[0]}" != Z ] && live_groups[fields[2]]=1
        done
    }
    signal_all() {
        for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
            pid=${pids[i]} t=${starts[i]}
            [ "$pid" = "$$" ] || [ "$pid" = "$PPID" ] && continue
            group_ours "$pid" "$t" && kill "-$1" -- "-$pid" 2>/dev/null
            is_ours "$pid" "$t" && kill "-$1" "$pid" 2>/dev/null
        done
    }
    any_left() {
        scan_groups
        for ((i = 0; i < ${#pids[@]}; i++)); do
            pid=${pids[i]}
            [ "$pid" = "$$" ] || [ "$pid" = "$PPID" ] && continue
            is_ours "$pid" "${starts[i]}" && return 0
            [ -n "${live_groups[pid]:-}" ] && group_ours "$pid" "${starts[i]}" && return 0
        done
        return 1
    }
    local n
    # mutter removes its Xwayland's sockets and lock files only while Xwayland still runs: it
    # goes alone, first.
    for ((i = 0; i < ${#pids[@]}; i++)); do
        [ "${names[i]}" = mutter ] && is_ours "${pids[i]}" "${starts[i]}" || continue
        kill -TERM "${pids[i]}"
        for ((n = 0; n < 300; n++)); do is_ours "${pids[i]}" "${starts[i]}" || break; sleep 0.01; done
    done
    signal_all TERM
    for ((n = 0; n < 100; n++)); do any_left || break; sleep 0.01; done
    if any_left; then
        signal_all KILL
        for ((n = 0; n < 100; n++)); do any_left || break; sleep 0.01; done
    fi
    # Our lock, and the socket a killed server leaves behind: removed only while the lock still
    # names our server (nobody else can have taken the number then) and nothing answers there.
    if [ -f "$dir/display" ]; then
        local num lock owner
        read -r num <"$dir/display"
        lock=/tmp/.X$num-lock
        owner=""
        [ -f "$lock" ] && read -r owner <"$lock"
        for ((i = 0; i < ${#pids[@]}; i++)); do
            # Xvfb's lock names the server; mutter's names mutter.
            { [ "${names[i]}" = x11 ] || [ "${names[i]}" = mutter ]; } && [ -n "$owner" ] && [ "$owner" = "${pids[i]}" ] || continue
            [ -S "/tmp/.X11-unix/X$num" ] && ! xdpyinfo -display ":$num" >/dev/null 2>&1 &&
                rm -f "/tmp/.X11-unix/X$num"
            rm -f "$lock"
        done
    fi
    mv -f "$dir/pids" "$dir/pids.stopped"
    any_left && { say "some processes of $dir did not end"; return 1; }
    return 0
}

# Watches the owner and stops the session once it is gone (kept out of the caller's group).
cmd_watch() {
    local d=$1 owner=$2 owner_t=$3
    while is_ours "$owner" "$owner_t" && [ -f "$d/pids" ]; do sleep 0.5; done
    [ -f "$d/pids" ] && exec "$self" stop "$d"
}

in_session() { # dir command...
    local d=$1
    shift
    [ -f "$d/env" ] && [ -f "$d/pids" ] || { say "$d holds no running session"; exit 1; }
    # shellcheck disable=SC1091
    . "$d/env"
    exec "$@"
}

case "${1:-}" in
start) shift; cmd_start "$@" ;;
stop) shift; cmd_stop "$@" ;;
play)
    [ $# -eq 3 ] || usage
    [ -r "$3" ] || { say "cannot read $3"; exit 1; }
    in_session "$2" paplay -d vsink "$3"
    ;;
run)
    [ $# -ge 3 ] || usage
    d=$2
    shift 2
    in_session "$d" "$@"
    ;;
spawn)
    # Starts a program in the background inside the session and records it, so stop ends it too.
    [ $# -ge 4 ] || usage
    dir=$2
    name=$3
    shift 3
    [ -f "$dir/env" ] && [ -f "$dir/pids" ] || { say "$dir holds no running session"; exit 1; }
    [[ "$name" =~ ^[A-Za-z0-9_.-]+$ ]] || { say "bad name '$name'"; exit 2; }
    (
        # shellcheck disable=SC1091
        . "$dir/env"
        spawn "$name" "$@"
        echo "$spawned"
    )
    ;;
sound)
    # Starts again what of the sound server has died (a test that killed it), as start did.
    [ $# -eq 2 ] || usage
    dir=$2
    [ -f "$dir/env" ] && [ -f "$dir/pids" ] && [ -f "$dir/sound" ] ||
        { say "$dir holds no running session with a sound server"; exit 1; }
    # shellcheck disable=SC1091
    . "$dir/env"
    read -r sound <"$dir/sound"
    keep_on_failure=1
    deadline_us=$((t0_us + timeout_s * 1000000))
    # A killed server leaves its socket behind, where the next one would be taken as ready at
    # once, and its pid file, whose process may linger as a zombie and look alive.
    server=pulse
    [ "$sound" = pipewire ] && server=pipewire-pulse
    alive_named "$server" || rm -f "$PULSE_RUNTIME_PATH/native" "$PULSE_RUNTIME_PATH/pid"
    [ "$sound" = pipewire ] && ! alive_named pipewire && rm -f "$XDG_RUNTIME_DIR/pipewire-0" &&
        launch_pipewire
    [ "$sound" = pulse ] && ! alive_named pulse && launch_pulse
    "wait_$sound"
    ;;
_watch) shift; cmd_watch "$@" ;;
*) usage ;;
esac
