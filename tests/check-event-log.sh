#!/usr/bin/env bash
# What the program reports to the system's event log, seen from outside: the log fixture
# logs at every level with the event-log levels set, and Wine's "eventlog" debug channel
# (which keeps no entries but shows each ReportEventW string, classed by the entry's type:
# err for an error, warn for a warning, trace for information) shows what arrived.
#   check-event-log.sh <wine-run.sh> <log_fixture.exe>
set -u
run=$1
fixture=$2
failed=0

# The reports of one fixture run, one line each: "<class> <string>".
reports() {
    WINEDEBUG=-all,+eventlog "$run" "$fixture" "" 00 "$@" 2>&1 >/dev/null |
        sed -n 's/^\([0-9a-f]*:\)\{0,1\}\([a-z]*\):eventlog:ReportEventW \(.*\)$/\2 \3/p' | tr -d '\r'
}

expect() {  # what, expected lines, the fixture's arguments...
    local what=$1 expected=$2
    shift 2
    local got
    got=$(reports "$@")
    if [ "$got" = "$expected" ]; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        echo "  expected: $(printf '%s' "$expected" | tr '\n' '|')"
        echo "  got:      $(printf '%s' "$got" | tr '\n' '|')"
        failed=1
    fi
}

# Errors, information and warnings arrive as their own type with the bare text; data,
# debug and map lines never reach the event log.
expect "every level with all event-log levels set" \
    "$(printf '%s\n' 'err L"disk failed"' 'trace L"started"' 'warn L"careful"')" \
    /e:FF "1:disk failed" 2:started 4:careful 3:value 0:trace 6:area
# Only the levels in the set are reported.
expect "errors only" 'err L"only this"' /e:02 "1:only this" 2:not 4:not
# The switch p silences the event log as it silences the file.
expect "switch p" "" /e:FF 1:silent 2:silent /p
exit $failed
