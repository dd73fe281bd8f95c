#!/usr/bin/env bash
# Builds everything and runs all tests under Wine, with a private Xvfb display for the
# tests that open windows. Extra arguments go to ctest (for example -R Log).
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$here/scripts/build.sh"
run_tests() {
    source "$here/scripts/env.sh"
    local rc=0 trees=("$root/x86_64")
    if can_run_32bit; then
        trees=("$root/i686" "$root/x86_64")
    else
        echo "== this host cannot run 32-bit programs: the tests run on the 64-bit build"
    fi
    for tree in "${trees[@]}"; do
        echo "== tests: $(basename "$tree")"
        # A test whose Wine process fails to start under load gets one more run; its first
        # failure stays in the output.
        (cd "$tree" && ctest --output-on-failure --repeat until-pass:2 -j "$(nproc)" "$@") || rc=1
    done
    return $rc
}
export -f run_tests
export here
"$here/scripts/with-xvfb.sh" "$here/scripts/wine-session.sh" bash -c 'run_tests "$@"' run_tests "$@"
