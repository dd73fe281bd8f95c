#!/usr/bin/env bash
# The shipped 32-bit Vistrel.exe on a host that runs 64-bit code only: started through
# qemu-user's i386 emulation with a fixture ini, then closed as a user closes it. Its log
# and CSV files are checked, and figures past 4 GiB (page-file total, disk size) are
# compared with what the 64-bit build of the same sources writes for the same ini. Then
# the 32-bit test program runs in one emulated process (but for the tests listed below).
#
# Runs on any host that has the emulator (scripts/test.sh runs it where Wine cannot run
# 32-bit programs, or with VISTREL_EMULATED=force). Needs an X display
# (scripts/with-xvfb.sh). Uses a Wine prefix of its own, whose 32-bit system folder holds
# Wine's 32-bit libraries (a 64-bit-only host cannot run the 32-bit half of prefix
# creation). Exit status: 0 when everything was checked and passed; 1 when a check
# failed or something could not be checked (no emulator, a program the emulator did not
# keep running). It ends with a summary, also written to build/i686-emulated/summary.txt
# (a line for the part, then a line "retried: ..." for each thing that passed only when
# tried again).
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
source "$here/scripts/env.sh"
pin_test_locale

say() { echo "== 32-bit build (emulated): $*"; }
report=$root/i686-emulated/summary.txt
mkdir -p "$root/i686-emulated"
rm -f "$report"
# Ends the check as not done: the summary says why.
not_checked() {
    say "NOT CHECKED: $*"
    echo "32-bit build, emulated: NOT CHECKED: $*" >"$report"
    exit 1
}

qemu=$(command -v qemu-i386-static || command -v qemu-i386 || true)
loader32=/usr/lib/wine/wine
dlls32=/usr/lib/i386-linux-gnu/wine/i386-windows
if [ -z "$qemu" ]; then
    not_checked "no qemu-user i386 emulator on this host (scripts/setup.sh installs qemu-user-static)"
fi
if [ ! -f "$loader32" ] || [ ! -d "$dlls32" ]; then
    not_checked "Wine's 32-bit loader or libraries are missing ($loader32, $dlls32; package wine32:i386)"
fi
for f in i686/Vistrel.exe i686/vistrel_tests.exe x86_64/Vistrel.exe x86_64/close_window.exe; do
    if [ ! -f "$root/$f" ]; then
        not_checked "$root/$f is missing (scripts/build.sh makes it)"
    fi
done

# Wine's 32-bit loader re-executes itself, which a host without a 32-bit binary handler
# refuses: WINELOADERNOEXEC keeps it in the emulated process. The guest address space is
# limited to a little over 2 GiB (all a 32-bit Windows program may use), which spares Wine
# reserving the upper half at start (seconds with qemu 10, minutes with qemu 7.2).
run32=(env WINELOADERNOEXEC=1 "$qemu" -R 0x81000000 "$loader32")

# Under the emulator Wine's signal handling (thread ends, exceptions raised by the
# processor) now and then kills or stalls a process; such a run is tried again. A process
# that the emulator killed ends with a signal's status (128 and more).
attempts=${VISTREL_EMULATED_ATTEMPTS:-4}

# The 32-bit test program runs whole in one emulated process, but for these tests, which
# cannot work here for a reason outside the program:
excluded=(
    # they start 32-bit helper programs, which this host cannot start outside the emulator
    'LogFile.LineFormat*' 'LogFile.TextWith*' 'LogFile.Error*' 'LogFile.DebugOnError*' 'LogFile.SwitchP*'
    'LogFile.LevelOutside*' 'LogFile.Appends*' 'CmdTest.*' 'CmdWait.WaitTimeOfDays*' 'ProcessItems.ProcessMem*' 'ProcessItems.TopProcessMem*'
    'ProcessItems.TwoItems*' 'LinkOnForm.ClickStarts*' 'UserControlTest.ButtonClickStarts*'
    'MainFormTest.EditorGetsThePathAsOneArgument' 'ManualTest.OpensInTheProgramForPdfFilesOrSaysThereIsNone'
    # they need the 32-bit COM classes (WMI), which only the 32-bit half of prefix creation registers
    'WmiLive.*' 'PageFaultsLive.*' 'LogicalDrivesTest.*' 'CpuState.CpuRow*' 'ProviderSystem.GetOsBuild*'
    # the emulator computes the x87 unit's tangent and the like in double precision only
    'ExprTable.*'
    # Wine's process list holds no CPU time for a process under the emulator (its user and
    # kernel times read 0 there, while the process's own GetProcessTimes counts)
    'ProcessItems.CpuShareOfAProcessThatRefuses*'
    # they expect a process of their own (under CTest each test has one) and find the
    # state that earlier tests of the same process left behind
    'CollectorHooks.FetchOptionValues' 'ItemCharts.ReleasedControlsAreDeleted' 'AbandonableCall.*'
)

inside() {
    local failed=0 checks=0 passed_checks=0 program_line="" sys32=$WINEPREFIX/drive_c/windows/syswow64
    if [ ! -f "$sys32/kernel32.dll" ]; then
        mkdir -p "$sys32"
        for f in "$dlls32"/*; do ln -sfn "$f" "$sys32/"; done
    fi

    # The fixture: figures past 4 GiB on any machine of today (page-file total, disk size)
    # and small ones, each item with its own CSV file. (The physical-memory total is left
    # out: Wine hands 32-bit programs that figure cut to 32 bits.)
    local ini=$'[options]\r\nnav=0\r\n[items]\r\nHOST=active:1,csv:host.csv\r\n'
    ini+=$'PAGEFILE=active:1,csv:pagefile.csv\r\nFIXEDDISK=active:1,filter:C,csv:disk.csv\r\n'
    ini+=$'PROCESSCOUNT=active:1,csv:count.csv\r\nUPTIME=active:1\r\n'
    # A file that only the 64-bit system folder holds: the 32-bit program's view of the
    # system folder is redirected to syswow64, as on 64-bit Windows.
    local only64=vistrel-64bit-only.txt
    printf '64-bit only\r\n' >"$WINEPREFIX/drive_c/windows/system32/$only64"
    rm -f "$WINEPREFIX/drive_c/windows/syswow64/$only64"
    ini+="FILEEXIST=active:1,file:C:\\windows\\system32\\$only64,csv:fileexist.csv"$'\r\n'
    local csvs="host pagefile disk count fileexist"

    # Starts one build's Vistrel.exe in a fresh folder, waits for every item's data line
    # and CSV file, asks its window to close and waits for its end. Prints
    # "<collected 0/1>|<how it ended>|<exit status>|<seconds>".
    #   start_and_close <folder> <exe> <starter...>
    start_and_close() {
        local dir=$1 exe=$2
        shift 2
        rm -rf "$dir" && mkdir -p "$dir" && cp "$exe" "$dir/Vistrel.exe" && printf '%s' "$ini" >"$dir/fixture.ini"
        local started=$SECONDS
        (cd "$dir" && exec "$@" Vistrel.exe /ini=fixture.ini /debug=log.txt) </dev/null >"$dir/output.txt" 2>&1 &
        local pid=$! ready=0 f size last=-1 still=0
        for _ in $(seq 120); do
            ready=1
            for f in $csvs; do [ -s "$dir/$f.csv" ] || ready=0; done
            [ $ready = 1 ] && break
            kill -0 $pid 2>/dev/null || break
            # A log that has not grown for 20 s (the program writes a line every second
            # once it runs) belongs to a stalled process.
            size=$(stat -c %s "$dir/log.txt" 2>/dev/null || echo 0)
            if [ "$size" = "$last" ]; then still=$((still + 1)); else still=0; last=$size; fi
            [ $still -ge 20 ] && break
            sleep 1
        done
        local ended="ended on the close request"
        if ! kill -0 $pid 2>/dev/null; then
            ended="ended before the close request"
        elif ! "$WINE" "$root/x86_64/close_window.exe" TVistrelMainForm </dev/null >/dev/null 2>&1; then
            ended="had no window to close"
        fi
        for _ in $(seq 60); do
            kill -0 $pid 2>/dev/null || break
            sleep 0.5
        done
        if kill -0 $pid 2>/dev/null; then
            kill $pid 2>/dev/null
            ended="did not end after the close request"
        fi
        wait $pid
        echo "$ready|$ended|$?|$((SECONDS - started))"
    }

    # One field of the last data line of a CSV file (fields counted from 1, the time
    # first; the double quotes taken off).
    csv_field() {
        tail -n 1 "$1" | tr -d '\r' | awk -F'","' -v n="$2" '{ gsub(/^"|"$/, ""); print $n }'
    }

    check() {  # what, then a command whose success is the check
        local what=$1
        shift
        checks=$((checks + 1))
        if "$@"; then
            echo "   ok: $what"
            passed_checks=$((passed_checks + 1))
        else
            echo "   FAILED: $what"
            failed=1
        fi
    }

    local d32=$root/i686-emulated/run32 d64=$root/i686-emulated/run64
    local r64 ready64 ended64 rc64 secs64
    r64=$(start_and_close "$d64" "$root/x86_64/Vistrel.exe" "$WINE")
    IFS='|' read -r ready64 ended64 rc64 secs64 <<<"$r64"

    local r32 ready32 ended32 rc32 secs32 attempt earlier=""
    for attempt in $(seq "$attempts"); do
        say "starting the shipped build/i686/Vistrel.exe through $("$qemu" --version | head -n 1) (attempt $attempt)"
        r32=$(start_and_close "$d32" "$root/i686/Vistrel.exe" "${run32[@]}")
        IFS='|' read -r ready32 ended32 rc32 secs32 <<<"$r32"
        say "it ran ${secs32} s, $([ "$ready32" = 1 ] && echo "collected every item" || echo "did not collect every item"), $ended32, exit status $rc32"
        # A stalled or emulator-killed process: the emulator's doing, not the program's.
        if [ "$ended32" = "did not end after the close request" ] || [ "$rc32" -ge 128 ] ||
           { [ "$ready32" != 1 ] && [ "$ended32" = "had no window to close" ]; }; then
            earlier+="${earlier:+; }attempt $attempt $ended32, exit status $rc32"
            continue
        fi
        break
    done
    if [ -n "$earlier" ]; then
        echo "retried: emulated Vistrel.exe started again ($earlier)" >>"$report.retried"
    fi
    if [ "$ended32" = "did not end after the close request" ] || [ "$rc32" -ge 128 ]; then
        say "the emulator did not keep the program running in $attempts attempts: not checked"
        program_line="Vistrel.exe NOT CHECKED (the emulator did not keep it running in $attempts attempts)"
        failed=1
    else
        local log32
        log32=$(iconv -f UTF-16LE -t UTF-8 "$d32/log.txt" 2>/dev/null | tr -d '\r')
        check "the 32-bit program collected every item and wrote its CSV files" [ "$ready32" = 1 ]
        check "it ended on the close request with exit code 0" \
            [ "$ended32" = "ended on the close request" -a "$rc32" = 0 ]
        check "the 64-bit comparison run did the same ($ended64, exit status $rc64)" \
            [ "$ready64" = 1 -a "$ended64" = "ended on the close request" -a "$rc64" = 0 ]
        check "its log names the version and the items loaded" \
            grep -q -e 'INFO  Vistrel version ' <<<"$log32"
        check "its log holds no error line" bash -c '! grep -q " ERROR " <<<"$1"' _ "$log32"
        local tag
        for tag in "Host: " "Page File: " "Fixed Disk: C" "GetProcessCount: "; do
            check "its log holds the data line \"$tag...\"" grep -q -e "DATA  $tag" <<<"$log32"
        done
        local host32 host64 pf32 pf64 disk32 disk64
        host32=$(csv_field "$d32/host.csv" 2)
        host64=$(csv_field "$d64/host.csv" 2)
        pf32=$(csv_field "$d32/pagefile.csv" 3)
        pf64=$(csv_field "$d64/pagefile.csv" 3)
        disk32=$(csv_field "$d32/disk.csv" 6)
        disk64=$(csv_field "$d64/disk.csv" 6)
        check "host name \"$host32\", as the 64-bit build writes it" [ -n "$host32" -a "$host32" = "$host64" ]
        check "page-file total $pf32 bytes, as the 64-bit build writes it ($pf64)" [ -n "$pf32" -a "$pf32" = "$pf64" ]
        check "disk C: size $disk32 bytes, as the 64-bit build writes it ($disk64)" \
            [ -n "$disk32" -a "$disk32" = "$disk64" ]
        local exists32 exists64
        exists32=$(csv_field "$d32/fileexist.csv" 2)
        exists64=$(csv_field "$d64/fileexist.csv" 2)
        check "FILEEXIST finds a file only the 64-bit system folder holds: \"$exists32\" (64-bit build: \"$exists64\")" \
            [ "$exists32" = True -a "$exists64" = True ]
        local f
        for f in $csvs; do
            check "the header of $f.csv is the 64-bit build's" cmp -s <(head -n 1 "$d32/$f.csv") <(head -n 1 "$d64/$f.csv")
        done
        program_line="Vistrel.exe $passed_checks/$checks checks passed"
        if [ $failed != 0 ]; then
            echo "   the 32-bit program's log:"
            sed 's/^/     /' <<<"$log32" | grep -v ' DEBUG ' | head -n 40
            echo "   its output:"
            sed 's/^/     /' "$d32/output.txt" | head -n 20
        fi
    fi

    # The 32-bit test program, in one process. A run that the emulator stopped (a status
    # of 128 or more) is made again; tests that failed get one more run of their own, as
    # the native trees' tests do, and are named in the summary when they pass then.
    local filter out=$root/i686-emulated/tests.txt rc tests_line
    filter=-$(IFS=:; echo "${excluded[*]}")
    for attempt in $(seq 2); do
        say "the 32-bit test program in one process, but for ${#excluded[@]} patterns of tests that cannot work here (attempt $attempt)"
        (cd "$root/i686" && exec "${run32[@]}" vistrel_tests.exe "--gtest_filter=$filter") </dev/null >"$out" 2>&1
        rc=$?
        [ $rc -lt 128 ] && break
        echo "retried: the emulated test program, run again (the emulator stopped it with status $rc)" >>"$report.retried"
    done
    local passed failed_tests=""
    passed=$(tr -d '\r' <"$out" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests*\.$/\1/p')
    if [ $rc -ge 128 ]; then
        say "the emulator stopped the test program in both attempts (exit status $rc): not checked"
        tail -n 5 "$out" | sed 's/^/     /'
        tests_line="test program NOT CHECKED (the emulator stopped it twice)"
        failed=1
    else
        if [ $rc != 0 ]; then
            failed_tests=$(tr -d '\r' <"$out" | sed -nE 's/^\[  FAILED  \] ([A-Za-z0-9_]+\.[A-Za-z0-9_/]+) \(.*/\1/p' | sort -u)
            grep -E '^\[  FAILED  \]|Failure' "$out" | head -n 20 | sed 's/^/     /'
        fi
        if [ $rc != 0 ] && [ -n "$failed_tests" ]; then
            local again=$root/i686-emulated/tests-again.txt rc2 t
            say "one more run of the tests that failed: $(echo $failed_tests)"
            (cd "$root/i686" && exec "${run32[@]}" vistrel_tests.exe "--gtest_filter=$(echo $failed_tests | tr ' ' :)") \
                </dev/null >"$again" 2>&1
            rc2=$?
            if [ $rc2 = 0 ]; then
                for t in $failed_tests; do echo "retried: emulated $t" >>"$report.retried"; done
                passed=$((${passed:-0} + $(wc -w <<<"$failed_tests")))
                rc=0
            else
                grep -E '^\[  FAILED  \]|Failure' "$again" | head -n 20 | sed 's/^/     /'
            fi
        fi
        local total=$((${passed:-0} + $(wc -w <<<"$failed_tests")))
        [ $rc = 0 ] && total=${passed:-0}
        check "the 32-bit test program's tests pass (${passed:-0} of $total passed)" [ $rc = 0 -a "${passed:-0}" -gt 0 ]
        tests_line="test program ${passed:-0}/$total passed (${#excluded[@]} patterns left out)"
    fi
    echo "32-bit build, emulated: ${program_line:-Vistrel.exe not run}, $tests_line" >"$report.part"
    return $failed
}

if [ "${1:-}" = --inside ]; then
    inside
    exit $?
fi
rm -f "$report.part" "$report.retried"
WINEPREFIX=$root/i686-emulated/wineprefix "$here/scripts/wine-session.sh" bash "$0" --inside
rc=$?
if [ ! -s "$report.part" ]; then
    echo "32-bit build, emulated: NOT CHECKED (the check ended early with status $rc)" >"$report.part"
    rc=1
fi
cat "$report.part" "$report.retried" 2>/dev/null >"$report"
rm -f "$report.part" "$report.retried"
say "summary:"
sed 's/^/   /' "$report"
grep -q '^retried:' "$report" || echo "   retried: none"
exit $rc
