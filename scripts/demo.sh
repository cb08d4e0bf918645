#!/usr/bin/env bash
# A live demonstration of Murmelin on a machine without a desktop: starts a private headless
# desktop (scripts/session.sh), runs the real program in it, holds Control+Alt+Space through
# XTest while a real recording and a synthesised phrase with spoken commands play into the
# virtual microphone, and prints what happened. Every figure comes from this run; the raw
# transcript and the moments inside the program come from its own trace (MURMELIN_VERBOSE).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MURMELIN_BUILD_DIR:-$root/build}
export MURMELIN_BUILD_DIR=$build
program=$build/platform/qt/murmelin
target=$build/tests/integration/tools/target_window
for f in "$program" "$target"; do
    [ -x "$f" ] || { echo "demo: $f is not built (scripts/build.sh)" >&2; exit 1; }
done
out=${MURMELIN_DEMO_DIR:-$(mktemp -d /tmp/murmelin-demo-XXXXXX)}
session=$out/session
mkdir -p "$out"
"$root/scripts/session.sh" start --owner $$ "$session" >/dev/null 2>"$out/session-start.log" ||
    { cat "$out/session-start.log" >&2; exit 1; }
trap '"$root/scripts/session.sh" stop "$session" >/dev/null 2>&1' EXIT
# shellcheck disable=SC1091
. "$session/env"
in_session() { "$root/scripts/session.sh" run "$session" "$@"; }
ms_since() { echo $(((${EPOCHREALTIME/./} - $1) / 1000)); }

typed=$out/target.txt
"$root/scripts/session.sh" spawn "$session" target "$target" "$typed" >/dev/null
until [ -e "$typed" ]; do sleep 0.05; done
"$root/scripts/session.sh" spawn "$session" murmelin env MURMELIN_VERBOSE=1 "$program" >/dev/null
log=$session/logs/murmelin.log
# Ready: the hot key is bound and the model loaded; then the tray icon docks.
for _ in $(seq 200); do grep -q '{"event":"ready"' "$log" 2>/dev/null && break; sleep 0.1; done
for _ in $(seq 100); do in_session xdotool search --class murmelin >/dev/null 2>&1 && break; sleep 0.1; done

# The program's trace: one JSON object per line and event. `trace count` prints how many
# dictations were delivered; `trace show N` the Nth one's raw and cleaned transcript (quoted, a
# newline as \n) and what happened to it inside the program.
trace() {
    python3 - "$log" "$@" <<'EOF_PY'
import json, sys
events = []
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    at = line.find('{"event":')  # another thread's unfinished line may stand before it
    if at >= 0:
        try:
            events.append(json.loads(line[at:]))
        except ValueError:
            pass
delivered = [i for i, e in enumerate(events) if e.get("event") == "transcript"]
if sys.argv[2] == "count":
    print(len(delivered))
    sys.exit()
at = delivered[int(sys.argv[3]) - 1] if int(sys.argv[3]) <= len(delivered) else None
if at is None:
    print("  nothing delivered (no transcript in the program's trace)")
    sys.exit()
t = events[at]
quote = lambda text: json.dumps(text, ensure_ascii=False)
print("  raw transcript (recogniser):  " + quote(t["raw"]))
print("  cleaned transcript (history): " + quote(t["cleaned"]))
paste = next((e for e in events[at + 1:] if e.get("event") in ("paste", "transcript")), {})
if paste.get("event") == "paste":
    print("  paste chord sent: %s, %.1f ms after the clipboard held the text"
          % (paste["chord"], paste["ms"] - t["clipboard_ms"]))
EOF_PY
}

panel_id() { # the visible 280x44 recording panel, if any
    local id
    for id in $(in_session xdotool search --onlyvisible --class murmelin 2>/dev/null); do
        in_session xdotool getwindowgeometry --shell "$id" | grep -q '^WIDTH=280$' && { echo "$id"; return 0; }
    done
    return 1
}

flite -voice rms -t "bullet point buy milk new line open quote yes close quote" \
    -o "$out/phrase-22k.wav"
# A pause on both sides, as a speaker leaves one: the player loses the first milliseconds.
sox "$out/phrase-22k.wav" -r 16000 -c 1 "$out/phrase.wav" pad 0.3 0.3
clips=("/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0880.wav"
    "$out/phrase.wav")
said=("he was not an ill disposed young man (LibriVox recording)"
    "bullet point buy milk new line open quote yes close quote (flite, voice rms)")
n=0
for i in "${!clips[@]}"; do
    before=$(cat "$typed")
    delivered_before=$(trace count)
    in_session xdotool mousemove 2500 500
    in_session xdotool keydown Control_L
    in_session xdotool keydown Alt_L
    in_session xdotool keydown space
    shot="$out/panel-listening-$((i + 1)).png"
    for _ in $(seq 100); do panel_id >/dev/null && break; sleep 0.02; done
    in_session import -window root -crop 600x200+2260+800 "$shot"
    "$root/scripts/session.sh" play "$session" "${clips[$i]}"
    # The hand lets go: Space, then Alt and Control, as three events.
    in_session xdotool keyup space keyup Alt_L keyup Control_L
    released=${EPOCHREALTIME/./}
    arrived=""
    while [ "$(ms_since "$released")" -lt 5000 ]; do
        [ "$(cat "$typed")" != "$before" ] && { arrived=$(ms_since "$released"); break; }
        sleep 0.002
    done
    sleep 0.3
    now=$(cat "$typed")
    n=$((n + 1))
    echo "Dictation $n: said \"${said[$i]}\""
    trace show $((delivered_before + 1))
    printf '  arrived in the target window: "%s"\n' "$(printf '%s' "${now:${#before}}" | sed -z 's/\n/\\n/g')"
    echo "  key release -> text in target: ${arrived:-not within 5 s} ms (polled every 2 ms)"
    echo "  panel while listening: $shot"
done
echo "Clipboard now: \"$(in_session xclip -o -selection clipboard | sed -z 's/\n/\\n/g')\""
echo "History on disk ($XDG_CONFIG_HOME/murmelin/defaults.json):"
sed 's/^/  /' "$XDG_CONFIG_HOME/murmelin/defaults.json"
echo
echo "Screenshots and logs: $out"
