#!/usr/bin/env bash
# Vistrel.exe in a user locale with a decimal comma (as in most of Europe): a Wine prefix
# of its own whose user settings say "," for decimals and "." for thousands, a fixture ini
# with a variable, an inline calculation and user-function calls, and the CSV line the
# item writes; then numbers that come in as text (a file's "2,5", a formatted WMI value)
# inside calculations, beside texts that are no numbers. Run under the tests' X display.
#   comma-locale.sh <Vistrel.exe> <close_window.exe>
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
source "$here/scripts/env.sh"
exe=$1
closer=$2
export WINEPREFIX=$root/comma-locale/prefix-$(basename "$(dirname "$exe")")
work=$(mktemp -d)
trap 'WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
mkdir -p "$WINEPREFIX"
quiet() { "$@" </dev/null >/dev/null 2>&1; }

quiet "$WINE" reg add 'HKCU\Control Panel\International' /v sDecimal /d , /f
quiet "$WINE" reg add 'HKCU\Control Panel\International' /v sThousand /d . /f
cp "$exe" "$work/Vistrel.exe"
printf '%s\r\n' '[options]' 'nav=0' '[functions]' 'half=%1/2' 'same=%1' '[items]' \
    'set=key:v,value:{{5/2}}' \
    'text=active:1,display:A {{5/2}} B %v% C {{half::%v%}} D {{half::3}},csv:t.csv,csvdatatype:1' \
    'file=active:1,file:half.txt,type:text,display:F %2 {{%2*2}} {{same::%2}},csv:f.csv,csvdatatype:1' \
    'wmi=active:1,query:Win32_OperatingSystem,display:W {{%OSType[1.1f]%/2}} %Version%,csv:w.csv,csvdatatype:1' \
    >"$work/test.ini"
printf '2,5\r\n' >"$work/half.txt"

(cd "$work" && exec "$WINE" Vistrel.exe /ini=test.ini /debug=log.txt) </dev/null >"$work/output.txt" 2>&1 &
pid=$!
for _ in $(seq 60); do
    grep -q 'D ' "$work/t.csv" 2>/dev/null && grep -q 'F ' "$work/f.csv" 2>/dev/null &&
        grep -q 'W ' "$work/w.csv" 2>/dev/null && break
    kill -0 $pid 2>/dev/null || break
    sleep 1
done
quiet "$WINE" "$closer" TVistrelMainForm
for _ in $(seq 30); do kill -0 $pid 2>/dev/null || break; sleep 0.5; done
kill $pid 2>/dev/null
wait $pid 2>/dev/null

failed=0
line=$(tail -n 1 "$work/t.csv" 2>/dev/null | tr -d '\r')
log=$(iconv -f UTF-16LE -t UTF-8 "$work/log.txt" 2>/dev/null | tr -d '\r')
if [[ "$line" == *"A 2,5 B 2,5 C 1,25 D 1,5"* ]]; then
    echo "ok: the CSV line in the comma locale: $line"
else
    echo "FAILED: the CSV line reads \"$line\", not \"A 2,5 B 2,5 C 1,25 D 1,5\""
    failed=1
fi
# A file's "2,5" (a text value) and Wine's operating-system type 18 formatted as "18,0"
# (a formatted WMI value) go into the calculations as numbers; the version stays text.
line=$(tail -n 1 "$work/f.csv" 2>/dev/null | tr -d '\r')
if [[ "$line" == *"F 2,5 5 2,5"* ]]; then
    echo "ok: a text value in a calculation: $line"
else
    echo "FAILED: the FILE item's CSV line reads \"$line\", not \"F 2,5 5 2,5\""
    failed=1
fi
line=$(tail -n 1 "$work/w.csv" 2>/dev/null | tr -d '\r')
if [[ "$line" == *"W 9 6.1.7601"* ]]; then
    echo "ok: a formatted WMI value in a calculation: $line"
else
    echo "FAILED: the WMI item's CSV line reads \"$line\", not \"W 9 6.1.7601\""
    failed=1
fi
if grep -q 'EvaluateUserFunction: ' <<<"$log"; then
    echo "FAILED: the log has an EvaluateUserFunction error"
    failed=1
fi
if [ $failed != 0 ]; then
    echo "the log:"
    grep -v ' DEBUG ' <<<"$log" | head -n 30 | sed 's/^/    /'
    echo "the output:"
    head -n 10 "$work/output.txt" | sed 's/^/    /'
fi
exit $failed
