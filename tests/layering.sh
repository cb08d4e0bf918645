#!/usr/bin/env bash
# Checks from the compiler's own record of included headers (ninja's deps log) that each layer
# reaches only the layers below it: the runtime nothing of ours, the program's logic only the
# runtime (and no desktop, sound or speech library), the adapters never the tests or benches.
# Usage: layering.sh <build folder> <source folder>
set -euo pipefail
build=$(realpath "$1")
root=$(realpath "$2")
cd "$build"
desktop='/(X11|qt6|Qt[A-Za-z]*|pulse|pipewire-[0-9.]*|pocketsphinx|sphinxbase|nlohmann|wayland-[a-z-]*)/'
# check <object folder> <project folders it may include> <system paths it must not include>
check() {
    local objects=()
    local object source
    # Only objects whose source still exists: stale ones stay in the deps log.
    while IFS= read -r object; do
        source=${object%.o}
        source=${source/CMakeFiles\/*.dir\//}
        [ -e "$root/$source" ] && objects+=("$object")
    done < <(cd "$build" && find "$1" -name '*.o' | sort)
    ninja -t deps "${objects[@]}" | awk -v build="$build" -v root="$root/" \
        -v allowed="^($2)/" -v forbidden="${3:-^$}" '
        / #deps / { object = $1; sub(/:$/, "", object); next }
        NF == 0 { next }
        {
            path = $1
            if (path !~ /^\//) path = build "/" path
            # Resolve "a/../" so that build-relative paths compare with the source folder.
            while (sub(/\/[^\/]+\/\.\.\//, "/", path)) {}
            # Generated code (wayland-scanner headers) belongs to the folder it is made for.
            if (index(path, build "/") == 1) path = root substr(path, length(build) + 2)
            if (index(path, root) == 1) {
                if (substr(path, length(root) + 1) !~ allowed) { print object " includes " path; bad = 1 }
            } else if (path ~ forbidden) { print object " includes " path; bad = 1 }
        }
        END { exit bad }'
}
status=0
check core/CMakeFiles/murmelin_core.dir 'core' "$desktop" || status=1
check App/CMakeFiles/murmelin_app.dir 'App|core' "$desktop" || status=1
check platform 'App|core|platform' || status=1
check tools 'App|core|platform|tools' || status=1
[ $status -eq 0 ] && echo "every layer includes only the layers below it"
exit $status
