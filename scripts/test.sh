#!/usr/bin/env bash
# Builds everything and runs all tests under Wine, with a private Xvfb display for the
# tests that open windows. Extra arguments go to ctest (for example -R Log). On a host
# that cannot run 32-bit programs, the shipped 32-bit build is then checked under
# qemu-user's i386 emulation (tests/e2e/emulated-i686.sh; VISTREL_EMULATED=0 skips it).
# The run ends with the list of tests that passed only when run a second time.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$here/scripts/build.sh"

# The tests of one CTest output that failed a run and passed the next one.
retried_tests() {
    local failed_once failed_at_end
    failed_once=$(sed -nE '/\*\*\*Skipped/d; s/^ *([0-9]+\/[0-9]+ )?Test +#[0-9]+: ([^ ]+) \.+ *\*\*\*.*/\2/p' "$1" | sort -u)
    failed_at_end=$(sed -nE '/^The following tests FAILED:/,$ s/^[[:space:]]+[0-9]+ - ([^ ]+) \(.*/\1/p' "$1" | sort -u)
    comm -23 <(printf '%s\n' "$failed_once" | sed '/^$/d') <(printf '%s\n' "$failed_at_end" | sed '/^$/d')
}
export -f retried_tests

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
        # failure stays in the output, and the run ends with the list of such tests.
        (cd "$tree" && set -o pipefail &&
            ctest --output-on-failure --repeat until-pass:2 -j "$(nproc)" "$@" 2>&1 | tee "$tree/ctest-output.txt") || rc=1
    done
    if ! can_run_32bit && [ "${VISTREL_EMULATED:-1}" != 0 ]; then
        "$here/tests/e2e/emulated-i686.sh" || rc=1
    fi
    echo "== tests that passed only on their second run:"
    local tree retried
    for tree in "${trees[@]}"; do
        retried=$(retried_tests "$tree/ctest-output.txt")
        [ -n "$retried" ] && sed "s|^|   $(basename "$tree"): |" <<<"$retried"
    done
    echo "== (end of the list)"
    return $rc
}
export -f run_tests
export here
"$here/scripts/with-xvfb.sh" "$here/scripts/wine-session.sh" bash -c 'run_tests "$@"' run_tests "$@"
