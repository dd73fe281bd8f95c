#!/usr/bin/env bash
# Footprint benchmark (a script, not a test).
#
# Side by side (the default): runs the release Vistrel.exe on the sample configuration
# and the floor widget (tests/bench/floor_widget.c: a minimal layered window that
# redraws as many text lines as the sample shows from a one-second timer, the least a
# widget of this kind costs on the platform) at the same time, each with its own Wine
# prefix, wineserver and Xvfb. After a few seconds of start-up it measures both for the
# given time and prints, per program, its own CPU time, its wineserver's CPU time, the
# CPU time of the prefix's other Wine processes (for information), and its anonymous
# and private memory at the end; then the ratios Vistrel/floor of CPU (program plus its
# wineserver) and of anonymous memory.
#
# Soak (--soak MINUTES): runs Vistrel alone with its debug log for that many minutes and
# prints its anonymous memory, private memory and live GDI objects (the count the
# program's own wrappers keep, from the log) at minute 2 and at the end, and how long
# after launch the first painting pass completed.
#
# Repeat (--repeat RUNS [seconds]): runs the side-by-side measurement that many times, one
# after the other, and prints each run's table and the median of the CPU ratios. The
# wineservers' CPU time varies from run to run with what the rest of the machine does;
# the median of several runs says more than any one of them.
#
# Usage: scripts/bench-footprint.sh [seconds]            (default 60)
#        scripts/bench-footprint.sh --repeat RUNS [seconds]
#        scripts/bench-footprint.sh --soak MINUTES
# Environment:
#   VISTREL_BENCH_INI     the configuration to run (default vistrel-sample.ini)
#   VISTREL_BENCH_LINES   the floor widget's line count (default: the lines the sample
#                         shows under Wine)
#   VISTREL_BENCH_EXE     the Vistrel.exe to measure (default: the release build)
#   VISTREL_BENCH_ARGS    extra switches for Vistrel.exe (for example /debug=<file>)
#   VISTREL_BENCH_SETTLE  seconds of start-up left out of the measurement (default 5)
#   VISTREL_BENCH_STRACE  1: count the wineservers' system calls (strace -c) over the
#                         measurement; the CPU figures then include strace's own cost
#   VISTREL_BENCH_REQUESTS  1: trace the wineservers (-d1) and count each program's
#                         server requests over the measurement, by request (the CPU
#                         figures then include the tracing)
#   VISTREL_XVFB_NUM      the first of the two X displays to use (default: free ones)
#   WINEDEBUG             passed on; each program's standard error goes to <name>.err
set -euo pipefail
source "$(dirname "$0")/env.sh"

mode=side
seconds=60
if [ "${1:-}" = "--repeat" ]; then
    runs=${2:?"usage: $0 --repeat RUNS [seconds]"}
    ratios=()
    for run in $(seq "$runs"); do
        echo "== run $run of $runs"
        out=$("$0" "${3:-60}")
        echo "$out"
        ratios+=("$(sed -n 's/^ratio vistrel\/floor: cpu (program + its wineserver) \([0-9.]*\),.*/\1/p' <<<"$out")")
    done
    printf '%s\n' "${ratios[@]}" | sort -n | awk -v n="$runs" '
        { r[NR] = $1 }
        END { m = NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2
              line = ""; for (i = 1; i <= NR; i++) line = line " " r[i]
              printf "cpu ratios of the %d runs, lowest first:%s; median %.2f\n", n, line, m }'
    exit 0
fi
if [ "${1:-}" = "--soak" ]; then
    mode=soak
    minutes=${2:?"usage: $0 --soak MINUTES"}
    seconds=$((minutes * 60))
elif [ -n "${1:-}" ]; then
    seconds=$1
fi
settle=${VISTREL_BENCH_SETTLE:-5}
# Under Wine the sample shows its heading and six lines (the CPUUSAGE lines answer
# nothing there); on Windows eight more.
lines=${VISTREL_BENCH_LINES:-7}
ini=${VISTREL_BENCH_INI:-$here/vistrel-sample.ini}

"$here/scripts/build.sh" --quiet
bench="$root/bench"
prefixes="$root/bench-prefixes"   # kept between runs: a new prefix takes a while to make
mkdir -p "$bench" "$prefixes"
rm -rf "${bench:?}"/*

# The tree whose programs run here: the 32-bit one where this host runs 32-bit code.
tree() {
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then echo "$root/i686"; else echo "$root/x86_64"; fi
}
bits_tree=$(tree)
vistrel_exe=${VISTREL_BENCH_EXE:-$bits_tree/release/Vistrel.exe}
floor_exe=$bits_tree/release/floor_widget.exe

hz=$(getconf CLK_TCK)

# ---- displays --------------------------------------------------------------------------

free_display() {   # the first display number from $1 on that no X server holds
    local n=$1
    while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
    echo $n
}

started_pids=()
cleanup() {
    local p
    for p in "${started_pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

start_xvfb() {   # display number -> pid in $xvfb_pid
    Xvfb ":$1" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    started_pids+=("$xvfb_pid")
    for _ in $(seq 50); do
        [ -e "/tmp/.X11-unix/X$1" ] && return 0
        sleep 0.1
    done
    echo "bench: Xvfb :$1 did not start" >&2
    exit 1
}

# ---- processes of a prefix -------------------------------------------------------------

prefix_pids() {   # every process whose environment names this Wine prefix
    grep -slzxF "WINEPREFIX=$1" /proc/[0-9]*/environ 2>/dev/null | awk -F/ '{ print $3 }' || true
}

comm_of() { cat "/proc/$1/comm" 2>/dev/null || true; }

cpu_ticks() {   # user + system ticks of a process (all its threads); 0 once it is gone
    awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat" 2>/dev/null || echo 0
}

anon_kib() { awk '/^RssAnon:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }

private_kib() {   # pages of this process alone, file-backed ones included
    awk '/^Private_(Clean|Dirty):/ { s += $2 } END { print s + 0 }' "/proc/$1/smaps_rollup" 2>/dev/null || echo 0
}

find_pid() {   # prefix, program file name -> the Linux process that runs it
    local prefix=$1 name=$2 p
    for _ in $(seq 300); do
        for p in $(prefix_pids "$prefix"); do
            case "$( { tr '\0' ' ' <"/proc/$p/cmdline"; } 2>/dev/null)" in *"$name"*) echo "$p"; return 0 ;; esac
        done
        sleep 0.1
    done
    return 1
}

# ---- one instance: a prefix, a display, a wineserver, a program ------------------------
# Globals per instance name N: N_prefix N_dir N_pid N_server N_display

start_instance() {   # name, display, program path, file name to run it under
    local name=$1 display=$2 exe=$3 as=$4
    local prefix="$prefixes/$name" dir="$bench/$name"
    mkdir -p "$prefix" "$dir"
    start_xvfb "$display"
    printf -v "${name}_xvfb" '%s' "$xvfb_pid"
    cp "$exe" "$dir/$as"
    (
        export WINEPREFIX="$prefix" DISPLAY=":$display"
        cd "$dir"
        # The server and the prefix's own processes first, with their output detached.
        if [ "${VISTREL_BENCH_REQUESTS:-0}" = 1 ]; then
            wineserver -f -p -d1 </dev/null >/dev/null 2>"$dir/server.trace" &
        else
            wineserver -f -p </dev/null >/dev/null 2>&1 &
        fi
        "$WINE" cmd /c exit </dev/null >/dev/null 2>&1
        install_prefix_fonts   # the same fonts as the project's own prefix: the same picture
    )
    local server
    server=$(for p in $(prefix_pids "$prefix"); do case "$(comm_of "$p")" in wineserver*) echo "$p" ;; esac; done | head -n 1)
    [ -n "$server" ] || { echo "bench: no wineserver for $prefix" >&2; exit 1; }
    printf -v "${name}_prefix" '%s' "$prefix"
    printf -v "${name}_dir" '%s' "$dir"
    printf -v "${name}_server" '%s' "$server"
    printf -v "${name}_display" '%s' "$display"
}

launch_instance() {   # name, program file name, arguments...
    local name=$1 program=$2; shift 2
    local prefix dir display
    prefix=$(eval echo "\$${name}_prefix")
    dir=$(eval echo "\$${name}_dir")
    display=$(eval echo "\$${name}_display")
    (
        export WINEPREFIX="$prefix" DISPLAY=":$display"
        cd "$dir"
        exec "$WINE" "./$program" "$@" </dev/null >"$dir/$name.out" 2>"$dir/$name.err"
    ) &
    started_pids+=("$!")
    printf -v "${name}_launched" '%s' "$(date +%s.%N)"
}

stop_instance() {   # name, program file name
    local name=$1 program=$2 prefix pid
    prefix=$(eval echo "\$${name}_prefix")
    pid=$(eval echo "\${${name}_pid:-}")
    # A close request ends the program in order, as a user would.
    WINEPREFIX="$prefix" DISPLAY=":$(eval echo "\$${name}_display")" "$WINE" taskkill /im "$program" \
        </dev/null >/dev/null 2>&1 || true
    for _ in $(seq 100); do
        [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
}

other_ticks() {   # CPU ticks of the prefix's processes other than the program and its server
    local name=$1 prefix pid server p sum=0
    prefix=$(eval echo "\$${name}_prefix")
    pid=$(eval echo "\$${name}_pid")
    server=$(eval echo "\$${name}_server")
    for p in $(prefix_pids "$prefix"); do
        [ "$p" = "$pid" ] || [ "$p" = "$server" ] && continue
        sum=$((sum + $(cpu_ticks "$p")))
    done
    echo $sum
}

sample() {   # name, label: records CPU ticks of the program, its server and the rest
    local name=$1 label=$2
    local trace
    trace="$(eval echo "\$${name}_dir")/server.trace"
    [ -f "$trace" ] && printf -v "${name}_${label}_line" '%s' "$(wc -l <"$trace")"
    printf -v "${name}_${label}_own" '%s' "$(cpu_ticks "$(eval echo "\$${name}_pid")")"
    printf -v "${name}_${label}_server" '%s' "$(cpu_ticks "$(eval echo "\$${name}_server")")"
    printf -v "${name}_${label}_other" '%s' "$(other_ticks "$name")"
    printf -v "${name}_${label}_xvfb" '%s' "$(cpu_ticks "$(eval echo "\$${name}_xvfb")")"
}

ms() { echo $(($1 * 1000 / hz)); }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

first_display=${VISTREL_XVFB_NUM:-107}

# ---- soak ------------------------------------------------------------------------------

gdi_objects() {   # the last count the program logged (UTF-16 log)
    iconv -f UTF-16LE -t UTF-8 "$1" 2>/dev/null | tr -d '\r' | grep -o 'GDI objects: [0-9-]*' | tail -n 1 |
        sed 's/GDI objects: //'
}

# Seconds from launch to the first completed painting pass, and to the first one after a
# collection succeeded (the first with values), from the log's clock.
first_frame() {   # log file, launch time (seconds since the epoch)
    iconv -f UTF-16LE -t UTF-8 "$1" 2>/dev/null | tr -d '\r' | python3 -c '
import datetime, sys
launched = float(sys.argv[1])
first = values = None
collected = False
for line in sys.stdin:
    parts = line.split(" ", 3)   # "dd-mm-yy hh:mm:ss:zzz LEVEL text", local time
    try:
        day, month, year = (int(x) for x in parts[0].split("-"))
        hour, minute, second, ms = (int(x) for x in parts[1].replace(".", ":").split(":"))
    except (ValueError, IndexError):
        continue
    t = datetime.datetime(2000 + year, month, day, hour, minute, second, ms * 1000).timestamp()
    if parts[2] == "DATA" and line.rstrip().endswith(" True"):
        collected = True
    if "UpdateEntries Complete." in line:
        first = first if first is not None else t
        if collected and values is None:
            values = t
show = lambda t: "-" if t is None else "%.2f s" % (t - launched)
print("first painting pass complete %s after launch, the first with values %s" % (show(first), show(values)))
' "$2"
}

if [ "$mode" = soak ]; then
    v=vistrel
    start_instance $v "$(free_display "$first_display")" "$vistrel_exe" Vistrel.exe
    cp "$ini" "$vistrel_dir/vistrel.ini"
    cp "$root/x86_64/release/Vistrel64.exe" "$vistrel_dir/"
    log="$vistrel_dir/soak.log"
    # shellcheck disable=SC2086
    launch_instance $v Vistrel.exe /debug="$log" ${VISTREL_BENCH_ARGS:-}
    vistrel_pid=$(find_pid "$vistrel_prefix" Vistrel.exe) || { echo "bench: Vistrel.exe did not start" >&2; exit 1; }
    report() {
        printf '%-10s  cpu %8s ms  wineserver %8s ms  anonymous %6s MiB  private %6s MiB  gdi objects %s\n' "$1" \
            "$(ms "$(cpu_ticks "$vistrel_pid")")" "$(ms "$(cpu_ticks "$vistrel_server")")" \
            "$(mib "$(anon_kib "$vistrel_pid")")" "$(mib "$(private_kib "$vistrel_pid")")" "$(gdi_objects "$log")"
    }
    echo "Soak: $(basename "$vistrel_exe") on $(basename "$ini") for $minutes min (log: $log)"
    sleep 120
    report "minute 2"
    [ "$seconds" -gt 120 ] && sleep $((seconds - 120))
    report "end"
    stop_instance $v Vistrel.exe
    first_frame "$log" "$vistrel_launched"
    echo "live GDI objects at shutdown: $(gdi_objects "$log")"
    exit 0
fi

# ---- side by side ----------------------------------------------------------------------

d1=$(free_display "$first_display")
d2=$(free_display $((d1 + 1)))
start_instance vistrel "$d1" "$vistrel_exe" Vistrel.exe
start_instance floor "$d2" "$floor_exe" floor_widget.exe
cp "$ini" "$vistrel_dir/vistrel.ini"
cp "$root/x86_64/release/Vistrel64.exe" "$vistrel_dir/"

# shellcheck disable=SC2086
launch_instance vistrel Vistrel.exe ${VISTREL_BENCH_ARGS:-}
launch_instance floor floor_widget.exe "$lines"
vistrel_pid=$(find_pid "$vistrel_prefix" Vistrel.exe) || { echo "bench: Vistrel.exe did not start" >&2; exit 1; }
floor_pid=$(find_pid "$floor_prefix" floor_widget.exe) || { echo "bench: floor_widget.exe did not start" >&2; exit 1; }
sleep "$settle"
sample vistrel start
sample floor start
straces=()
if [ "${VISTREL_BENCH_STRACE:-0}" = 1 ]; then
    for n in vistrel floor; do
        strace -c -f -o "$bench/$n.strace" -p "$(eval echo "\$${n}_server")" 2>/dev/null &
        straces+=("$!")
    done
fi
sleep "$seconds"
sample vistrel end
sample floor end
for n in vistrel floor; do
    printf -v "${n}_anon" '%s' "$(anon_kib "$(eval echo "\$${n}_pid")")"
    printf -v "${n}_private" '%s' "$(private_kib "$(eval echo "\$${n}_pid")")"
done
for p in "${straces[@]}"; do kill -INT "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
stop_instance vistrel Vistrel.exe
stop_instance floor floor_widget.exe

echo "Side by side for $seconds s after $settle s of start-up, each with its own prefix, wineserver and Xvfb"
echo "  vistrel: $vistrel_exe on $(basename "$ini")"
echo "  floor:   $floor_exe, $lines lines"
printf '%-8s %8s %11s %8s %12s %12s %8s %9s %9s\n' "" "own ms" "wineserver" "sum ms" "start-up ms" "services ms" \
    "Xvfb ms" "anon MiB" "priv MiB"
for n in vistrel floor; do
    own=$(($(eval echo "\$${n}_end_own") - $(eval echo "\$${n}_start_own")))
    server=$(($(eval echo "\$${n}_end_server") - $(eval echo "\$${n}_start_server")))
    other=$(($(eval echo "\$${n}_end_other") - $(eval echo "\$${n}_start_other")))
    xvfb=$(($(eval echo "\$${n}_end_xvfb") - $(eval echo "\$${n}_start_xvfb")))
    startup=$(($(eval echo "\$${n}_start_own") + $(eval echo "\$${n}_start_server")))
    printf -v "${n}_sum" '%s' $((own + server))
    printf '%-8s %8s %11s %8s %12s %12s %8s %9s %9s\n' "$n" "$(ms $own)" "$(ms $server)" "$(ms $((own + server)))" \
        "$(ms $startup)" "$(ms $other)" "$(ms $xvfb)" "$(mib "$(eval echo "\$${n}_anon")")" \
        "$(mib "$(eval echo "\$${n}_private")")"
done
echo "ratio vistrel/floor: cpu (program + its wineserver) $(ratio "$vistrel_sum" "$floor_sum")," \
    "anonymous memory $(ratio "$vistrel_anon" "$floor_anon")"
[ ${#straces[@]} -gt 0 ] && echo "wineserver system calls: $bench/vistrel.strace, $bench/floor.strace"
if [ "${VISTREL_BENCH_REQUESTS:-0}" = 1 ]; then
    for n in vistrel floor; do
        program=Vistrel.exe
        [ $n = floor ] && program=floor_widget.exe
        echo "$n: wineserver requests in the $seconds s"
        python3 "$here/scripts/count-server-requests.py" "$(eval echo "\$${n}_dir")/server.trace" "$program" \
            $(($(eval echo "\$${n}_start_line") + 1)) "$(eval echo "\$${n}_end_line")"
    done
fi
echo "(start-up: program + wineserver CPU in the first $settle s; services: the prefix's other Wine processes;" \
    "Xvfb: the program's X server; neither is counted in the ratio)"
