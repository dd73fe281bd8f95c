#!/usr/bin/env bash
# One minute of Vistrel.exe with an UPTIME item every second beside an HTTPGET item every
# 5 seconds whose server (on 127.0.0.1) accepts the connection and never answers: counts
# the rows the one-second item wrote to its CSV file, and the requests the server got.
# Run under the tests' X display and Wine session:
#   scripts/with-xvfb.sh scripts/wine-session.sh tests/e2e/silent-source-minute.sh [<Vistrel.exe> [<close_window.exe>]]
# Exit status 0 when the one-second item was collected at least 40 times.
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
source "$here/scripts/env.sh"
tree=$(runnable_tree)
exe=${1:-$tree/Vistrel.exe}
closer=${2:-$root/x86_64/close_window.exe}
seconds=${VISTREL_MINUTE_SECONDS:-60}
work=$(mktemp -d)
server_pid=
trap '[ -n "$server_pid" ] && kill $server_pid 2>/dev/null; rm -rf "$work"' EXIT

# The silent server: accepts, reads nothing back, answers nothing, counts connections.
python3 - "$work/port" "$work/requests" <<'EOF' &
import socket, sys, threading
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(16)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
held = []
while True:
    c, _ = s.accept()
    held.append(c)
    open(sys.argv[2], "w").write(str(len(held)))
EOF
server_pid=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

cp "$exe" "$work/Vistrel.exe"
printf '%s\r\n' '[options]' 'nav=0' '[items]' \
    'uptime=active:1,lid:up,interval:1,csv:up.csv' \
    "httpget=active:1,lid:web,interval:5,source:http://127.0.0.1:$port/status" >"$work/test.ini"

(cd "$work" && exec "$WINE" Vistrel.exe /ini=test.ini /debug=log.txt) </dev/null >"$work/output.txt" 2>&1 &
pid=$!
# The minute starts with the first row.
for _ in $(seq 300); do
    [ -s "$work/up.csv" ] && break
    sleep 0.1
done
sleep "$seconds"
rows=$(($(wc -l <"$work/up.csv") - 1))
"$WINE" "$closer" TVistrelMainForm </dev/null >/dev/null 2>&1
for _ in $(seq 30); do kill -0 $pid 2>/dev/null || break; sleep 0.5; done
kill $pid 2>/dev/null
wait $pid 2>/dev/null

log=$(iconv -f UTF-16LE -t UTF-8 "$work/log.txt" 2>/dev/null | tr -d '\r')
echo "rows of the one-second item in ${seconds} s: $rows"
echo "requests the silent server got: $(cat "$work/requests" 2>/dev/null || echo 0)"
echo "HTTPGET error lines: $(grep -c 'ERROR GetUrlContent: ' <<<"$log")"
grep 'ERROR GetUrlContent: ' <<<"$log" | sed 's/^/    /'
[ "$rows" -ge $((seconds * 40 / 60)) ]
