#!/usr/bin/env bash
# Runs a command with the project's Wine prefix ready and its server running, with the
# server's own output detached (so test runners do not wait for it), and stops the
# server afterwards. The prefix is created on first use.
source "$(dirname "$0")/env.sh"
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 &
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1
install_prefix_fonts
"$@"
rc=$?
wineserver -k >/dev/null 2>&1
exit $rc
