#!/usr/bin/env bash
# Runs a command with a private Xvfb display (1024x768, 24 bits) and stops it afterwards.
# DISPLAY is set for the command; VISTREL_XVFB_DISPLAY names it too.
set -u
n=${VISTREL_XVFB_NUM:-}
if [ -z "$n" ]; then
    for n in $(seq 91 140); do
        [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ] || break
    done
fi
Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do
    [ -e /tmp/.X11-unix/X$n ] && break
    sleep 0.1
done
export DISPLAY=:$n VISTREL_XVFB_DISPLAY=:$n
"$@"
rc=$?
kill $xvfb 2>/dev/null
wait $xvfb 2>/dev/null
exit $rc
