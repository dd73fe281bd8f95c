#!/usr/bin/env bash
# Runs a Windows test program under Wine on a grey desktop, so that see-through parts of
# a window show: "plain" as it is, "composited" with xcompmgr running so that window
# opacity takes effect. The desktop turns black again afterwards.
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
VISTREL_LIT_DESKTOP=$kind "${WINE:-wine}" "$@"
rc=$?
[ -n "$manager" ] && { kill $manager 2>/dev/null; wait $manager 2>/dev/null; }
xsetroot -solid black
exit $rc
