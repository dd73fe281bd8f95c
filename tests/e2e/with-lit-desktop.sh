#!/usr/bin/env bash
# Runs a Windows test program under Wine on a grey desktop, so that see-through parts of
# a window show: "plain" as it is, "composited" with xcompmgr running so that window
# opacity takes effect. The desktop turns black again afterwards. A run in which every
# selected test skipped fails.
set -u
kind=$1
shift
for tool in xsetroot xcompmgr; do
    command -v $tool >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)"; exit 1; }
done
xsetroot -solid grey50
manager=
if [ "$kind" = composited ]; then
    xcompmgr >/dev/null 2>&1 &
    manager=$!
    sleep 1
fi
output=$(mktemp)
VISTREL_LIT_DESKTOP=$kind "${WINE:-wine}" "$@" 2>&1 | tee "$output"
rc=${PIPESTATUS[0]}
[ -n "$manager" ] && { kill $manager 2>/dev/null; wait $manager 2>/dev/null; }
xsetroot -solid black
# GoogleTest ends with success when every selected test skipped: here that means the
# desktop check never ran, which counts as a failure.
if [ "$rc" = 0 ] && ! grep -q '^\[       OK \]' "$output"; then
    echo "with-lit-desktop.sh: no selected test ran on the $kind desktop (all skipped)"
    rc=1
fi
rm -f "$output"
exit $rc
