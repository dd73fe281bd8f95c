#!/usr/bin/env bash
# Runs a command with the project's Wine prefix ready and its server running, with the
# server's own output detached (so test runners do not wait for it), and stops the
# server afterwards, also when the command is interrupted. The prefix is created on
# first use.
source "$(dirname "$0")/env.sh"
if [ ! -x "$WINE" ] || ! command -v wineserver >/dev/null 2>&1; then
    echo "wine-session: Wine is not installed (WINE=$WINE is not a program, or wineserver is missing; scripts/setup.sh installs wine and wine64)" >&2
    exit 1
fi
mkdir -p "$WINEPREFIX"
# In the foreground of its own (-f), so that its process id is the server's.
wineserver -f -p </dev/null >/dev/null 2>&1 &
server=$!
keeper=
stop_session() {
    wineserver -k >/dev/null 2>&1
    [ -n "$keeper" ] && kill "$keeper" 2>/dev/null
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
}
trap stop_session EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
# Creates the prefix on first use; a Wine that cannot start a program here is reported.
# In a new prefix the first program can start before the server just started has written
# where its socket is, and then fails to reach it ("chdir to /tmp/wine-…/server-…");
# once the server is up the next attempt finds it, so a few are made.
started=no
for attempt in 1 2 3 4 5; do
    if "$WINE" cmd /c exit </dev/null >"$WINEPREFIX/.session-start.txt" 2>&1; then
        started=yes
        break
    fi
    sleep 1
done
if [ "$started" != yes ]; then
    echo "wine-session: Wine could not start a program in $WINEPREFIX; its last lines of output:" >&2
    tail -n 10 "$WINEPREFIX/.session-start.txt" | sed 's/^/    /' >&2
    exit 1
fi
install_prefix_fonts
# The desktop process too, kept for the whole session: else the first program that opens
# a window starts it, and it keeps that program's output pipe (a test runner then waits
# for it long after the program ended, as long as other programs keep the desktop in use).
keeper_exe="$root/x86_64/desktop_keeper.exe"
if [ -n "${DISPLAY:-}" ] && [ -f "$keeper_exe" ]; then
    "$WINE" "$keeper_exe" </dev/null >/dev/null 2>&1 &
    keeper=$!
    # Up once it has a window on the display.
    for _ in $(seq 100); do
        xwininfo -root -tree 2>/dev/null | grep -q '"explorer.exe"' && break
        sleep 0.1
    done
fi
"$@"
exit $?
