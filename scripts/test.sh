#!/usr/bin/env bash
# Builds everything and runs all tests under Wine, with a private Xvfb display for the
# tests that open windows, in the C locale whatever the host's (tests about another
# locale set their own). Extra arguments go to ctest (for example -R Log).
#
# The shipped 32-bit build is checked natively where Wine runs 32-bit programs (the
# i686 tree's tests), else under qemu-user's i386 emulation (the 64-bit tree's tests,
# then tests/e2e/emulated-i686.sh). The choice is made once and printed with its reason.
# VISTREL_EMULATED=force takes the emulated path on any host (what a host that runs
# 64-bit code only does); VISTREL_EMULATED=0 never takes it.
#
# The run ends with a summary: a line per part, and the tests that passed only when run
# a second time. The exit status is non-zero when a test failed or when a part could not
# be checked (unless VISTREL_EMULATED=0 asked to skip it).
set -euo pipefail
source "$(dirname "$0")/env.sh"
pin_test_locale
"$here/scripts/build.sh"

# The tests of one CTest output that failed a run and passed the next one.
retried_tests() {
    local failed_once failed_at_end
    failed_once=$(sed -nE '/\*\*\*Skipped/d; s/^ *([0-9]+\/[0-9]+ )?Test +#[0-9]+: ([^ ]+) \.+ *\*\*\*.*/\2/p' "$1" | sort -u)
    failed_at_end=$(sed -nE '/^The following tests FAILED:/,$ s/^[[:space:]]+[0-9]+ - ([^ ]+) \(.*/\1/p' "$1" | sort -u)
    comm -23 <(printf '%s\n' "$failed_once" | sed '/^$/d') <(printf '%s\n' "$failed_at_end" | sed '/^$/d')
}

# "passed/total passed" from a CTest output, with the skipped ones named by count.
ctest_counts() {
    local failed total skipped
    read -r failed total < <(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' "$1" | tail -n 1) || true
    if [ -z "${total:-}" ]; then
        grep -q '^No tests were found' "$1" && echo "no test matched" || echo "did not finish"
        return
    fi
    skipped=$(grep -c '(Skipped)$' "$1" || true)
    echo "$((total - failed))/$total passed$([ "$skipped" -gt 0 ] && echo " ($skipped skipped)")"
}

minutes() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

run_tests() {
    source "$here/scripts/env.sh"
    decide_32bit_path
    echo "== 32-bit build: $VISTREL_32BIT: $VISTREL_32BIT_WHY"
    local rc=0 trees=("$root/x86_64") tree started summary=() retried=() line
    [ "$VISTREL_32BIT" = native ] && trees=("$root/i686" "$root/x86_64")
    for tree in "${trees[@]}"; do
        echo "== tests: $(basename "$tree")"
        started=$SECONDS
        # A test whose Wine process fails to start under load gets one more run; its first
        # failure stays in the output, and the summary names such tests.
        (cd "$tree" && set -o pipefail &&
            ctest --output-on-failure --repeat until-pass:2 -j "$(nproc)" "$@" 2>&1 | tee "$tree/ctest-output.txt") || rc=1
        summary+=("tests $(basename "$tree"): $(ctest_counts "$tree/ctest-output.txt") in $(minutes $((SECONDS - started)))")
        while IFS= read -r line; do
            [ -n "$line" ] && retried+=("$(basename "$tree"): $line")
        done < <(retried_tests "$tree/ctest-output.txt")
    done
    case "$VISTREL_32BIT" in
        native)
            summary+=("32-bit build: native (the i686 tests above)") ;;
        emulated)
            started=$SECONDS
            local report="$root/i686-emulated/summary.txt"
            rm -f "$report"
            "$here/tests/e2e/emulated-i686.sh" || rc=1
            if [ -s "$report" ]; then
                while IFS= read -r line; do
                    case "$line" in
                        retried:*) retried+=("${line#retried: }") ;;
                        *) summary+=("$line in $(minutes $((SECONDS - started)))") ;;
                    esac
                done <"$report"
            else
                summary+=("32-bit build, emulated: NOT CHECKED (the emulated check ended without a summary)")
                rc=1
            fi ;;
        *)
            if [ "${VISTREL_EMULATED:-}" = 0 ]; then
                summary+=("32-bit build: not checked, as VISTREL_EMULATED=0 asks ($VISTREL_32BIT_WHY)")
            else
                summary+=("32-bit build: NOT CHECKED: $VISTREL_32BIT_WHY")
                rc=1
            fi ;;
    esac
    echo "== summary"
    for line in "${summary[@]}"; do echo "   $line"; done
    if [ ${#retried[@]} -eq 0 ]; then
        echo "   retried: none"
    else
        echo "   retried (passed only on a second run):"
        for line in "${retried[@]}"; do echo "     $line"; done
    fi
    echo "== $([ $rc = 0 ] && echo "all checked, all passed" || echo "FAILED")"
    return $rc
}
export -f run_tests retried_tests ctest_counts minutes
export here
"$here/scripts/with-xvfb.sh" "$here/scripts/wine-session.sh" bash -c 'run_tests "$@"' run_tests "$@"
