#!/usr/bin/env bash
# Footprint benchmark (not a test): runs Vistrel with the sample configuration in a
# private Xvfb for a while (60 s unless given) and prints, a few seconds after the first
# display pass and at the end, the program's CPU seconds and private memory, Xvfb's CPU
# seconds, and the live GDI objects the program's own wrappers count (from its debug log).
# Usage: scripts/bench-footprint.sh [seconds]
set -euo pipefail
source "$(dirname "$0")/env.sh"
seconds=${1:-60}
"$here/scripts/build.sh" >/dev/null
bench="$root/bench"
rm -rf "$bench"
mkdir -p "$bench"
cp "$here/vistrel-sample.ini" "$bench/"
cp "$root/x86_64/Vistrel64.exe" "$bench/"

measure() {
    source "$here/scripts/env.sh"
    cp "$(runnable_tree)/Vistrel.exe" "$bench/"
    cd "$bench"
    local hz xvfb
    hz=$(getconf CLK_TCK)
    xvfb=$(pgrep -n -f "^Xvfb $VISTREL_XVFB_DISPLAY ")

    cpu_seconds() {   # user + system time of a Linux process
        awk -v hz="$hz" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' "/proc/$1/stat"
    }
    private_kib() {   # memory that belongs to this process alone
        awk '/^Private_(Clean|Dirty):/ { s += $2 } END { print s + 0 }' "/proc/$1/smaps_rollup"
    }
    gdi_objects() {   # the last count the program logged (UTF-16 log)
        iconv -f UTF-16LE -t UTF-8 bench.log 2>/dev/null | tr -d '\r' | grep -o 'GDI objects: [0-9-]*' | tail -n 1 |
            sed 's/GDI objects: //'
    }
    report() {
        printf '%-6s  vistrel cpu %7s s  private %8s KiB  xvfb cpu %7s s  gdi objects %s\n' \
            "$1" "$(cpu_seconds "$2")" "$(private_kib "$2")" "$(cpu_seconds "$xvfb")" "$3"
    }

    "$WINE" ./Vistrel.exe /debug="$bench/bench.log" </dev/null >/dev/null 2>&1 &
    local launcher=$! pid=
    for _ in $(seq 600); do
        [ -n "$(gdi_objects)" ] && break
        sleep 0.1
    done
    # The Linux process that runs Vistrel.exe (the loader may hand it on to another one).
    pid=$(pgrep -n -f '[V]istrel\.exe /debug=' || echo $launcher)
    # "start" is a few seconds in, once the first results are drawn.
    sleep 5
    report start $pid "$(gdi_objects)"
    sleep "$seconds"
    local cpu mem
    cpu=$(cpu_seconds $pid)
    mem=$(private_kib $pid)
    # A window close ends Vistrel in order; it logs its GDI count on the way out.
    "$WINE" taskkill /im Vistrel.exe >/dev/null 2>&1 || true
    for _ in $(seq 100); do
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    kill $pid $launcher 2>/dev/null || true
    wait $launcher 2>/dev/null || true
    printf '%-6s  vistrel cpu %7s s  private %8s KiB  xvfb cpu %7s s  gdi objects %s\n' \
        "end" "$cpu" "$mem" "$(cpu_seconds "$xvfb")" "$(gdi_objects)"
    echo "($seconds s with vistrel-sample.ini; log: $bench/bench.log)"
}
export -f measure
export here bench seconds
"$here/scripts/with-xvfb.sh" "$here/scripts/wine-session.sh" bash -c measure
