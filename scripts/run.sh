#!/usr/bin/env bash
# Builds Vistrel and runs it under Wine with the shipped sample configuration: on the
# user's display when DISPLAY is set, otherwise in Xvfb for a few seconds, saving a
# screenshot. Extra arguments go to Vistrel.exe. Each run starts from the current
# vistrel-sample.ini: Vistrel makes build/run/vistrel.ini from it anew.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$here/scripts/build.sh" --quiet
run="$root/run"
mkdir -p "$run"
cp "$here/vistrel-sample.ini" "$run/vistrel-sample.ini"
# Vistrel copies the sample to vistrel.ini only when that file is missing.
rm -f "$run/vistrel.ini"
cp "$root/x86_64/Vistrel64.exe" "$run/"

start_vistrel() {
    source "$here/scripts/env.sh"
    decide_32bit_path
    local tree
    tree=$(runnable_tree)
    echo "run: the $(basename "$tree") build of Vistrel.exe (32-bit build: $VISTREL_32BIT: $VISTREL_32BIT_WHY)"
    cp "$tree/Vistrel.exe" "$run/"
    cd "$run"
    if [ -n "${VISTREL_SHOT:-}" ]; then
        rm -f "$run/screenshot.png"
        "$WINE" ./Vistrel.exe "$@" >"$run/output.txt" 2>&1 &
        local pid=$! rc=0
        trap 'kill $pid 2>/dev/null' EXIT
        sleep "${VISTREL_RUN_SECONDS:-8}"
        if ! kill -0 $pid 2>/dev/null; then
            wait $pid || rc=$?
            echo "run: Vistrel.exe ended before the screenshot, with exit status $rc; its output:" >&2
            tail -n 20 "$run/output.txt" | sed 's/^/    /' >&2
            return 1
        fi
        import -window root "$run/screenshot.png" || rc=$?
        kill $pid 2>/dev/null || true
        wait $pid 2>/dev/null || true
        if [ $rc != 0 ] || [ ! -s "$run/screenshot.png" ]; then
            echo "run: the screenshot failed (import, from imagemagick, exit status $rc)" >&2
            return 1
        fi
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
