#!/usr/bin/env bash
# Runs a command with a private Xvfb display (1024x768, 24 bits) and stops it afterwards,
# also when the command is interrupted. DISPLAY is set for the command;
# VISTREL_XVFB_DISPLAY names it too. VISTREL_XVFB_NUM chooses the display number.
set -u
if ! command -v Xvfb >/dev/null 2>&1; then
    echo "with-xvfb: Xvfb is not installed (scripts/setup.sh installs the package xvfb)" >&2
    exit 1
fi
n=${VISTREL_XVFB_NUM:-}
if [ -z "$n" ]; then
    for n in $(seq 91 140); do
        [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ] || break
    done
fi
xvfb_log=$(mktemp)
Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >"$xvfb_log" 2>&1 &
xvfb=$!
stop_xvfb() {
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
    rm -f "$xvfb_log"
}
trap stop_xvfb EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
for _ in $(seq 50); do
    [ -e /tmp/.X11-unix/X$n ] && break
    kill -0 $xvfb 2>/dev/null || break
    sleep 0.1
done
if [ ! -e /tmp/.X11-unix/X$n ] || ! kill -0 $xvfb 2>/dev/null; then
    echo "with-xvfb: Xvfb did not start on display :$n; its last lines of output:" >&2
    tail -n 10 "$xvfb_log" | sed 's/^/    /' >&2
    exit 1
fi
export DISPLAY=:$n VISTREL_XVFB_DISPLAY=:$n
"$@"
exit $?
