#!/usr/bin/env bash
# Builds Vistrel and runs it under Wine with the shipped sample configuration: on the
# user's display when DISPLAY is set, otherwise in Xvfb for a few seconds, saving a
# screenshot. Extra arguments go to Vistrel.exe.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$here/scripts/build.sh" --quiet
run="$root/run"
mkdir -p "$run"
cp "$here/vistrel-sample.ini" "$run/" 2>/dev/null || true
cp "$root/x86_64/Vistrel64.exe" "$run/"

start_vistrel() {
    source "$here/scripts/env.sh"
    cp "$(runnable_tree)/Vistrel.exe" "$run/"
    cd "$run"
    if [ -n "${VISTREL_SHOT:-}" ]; then
        "$WINE" ./Vistrel.exe "$@" &
        local pid=$!
        sleep "${VISTREL_RUN_SECONDS:-8}"
        import -window root "$run/screenshot.png"
        kill $pid 2>/dev/null || true
        wait $pid 2>/dev/null || true
        echo "Vistrel ran for ${VISTREL_RUN_SECONDS:-8} s in Xvfb; screenshot: $run/screenshot.png"
    else
        "$WINE" ./Vistrel.exe "$@"
    fi
}
export -f start_vistrel
export here run
if [ -n "${DISPLAY:-}" ]; then
    exec "$here/scripts/wine-session.sh" bash -c 'start_vistrel "$@"' start_vistrel "$@"
fi
export VISTREL_SHOT=1
"$here/scripts/with-xvfb.sh" "$here/scripts/wine-session.sh" bash -c 'start_vistrel "$@"' start_vistrel "$@"
