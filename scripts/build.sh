#!/usr/bin/env bash
# Builds Vistrel.exe (the shipped 32-bit build and a 64-bit build of the same sources),
# Vistrel64.exe and the tests, then gathers the executables to ship in build/release/:
# Vistrel.exe (32-bit) and Vistrel64.exe, stripped, each with its debug information in
# a .debug file beside it. Installs what is missing first when run as root.
#   scripts/build.sh [--quiet]   --quiet: print nothing but a failure's report
# A failing step ends the script with a non-zero status, naming the step and showing the
# last lines of its output.
set -euo pipefail
source "$(dirname "$0")/env.sh"

quiet=0
[ "${1:-}" = --quiet ] && quiet=1

mkdir -p "$root"
build_log="$root/build-output.txt"
# Runs one step; with --quiet (or for a step given as "-q <description>", whose output
# says nothing on success) its output goes to the build log and is shown only when the
# step fails.  step [-q] <description> <command...>
step() {
    local q=$quiet
    if [ "$1" = -q ]; then q=1; shift; fi
    local what=$1 rc=0
    shift
    if [ $q = 1 ]; then
        "$@" >"$build_log" 2>&1 || rc=$?
    else
        "$@" || rc=$?
    fi
    if [ $rc != 0 ]; then
        {
            echo "build: FAILED: $what (exit status $rc): $*"
            if [ $q = 1 ]; then
                echo "build: its last lines of output (all of it in $build_log):"
                tail -n 30 "$build_log" | sed 's/^/    /'
            fi
        } >&2
        exit $rc
    fi
}

if [ "$(id -u)" = 0 ]; then
    # Set-up is quiet when all is in place and reports its own failures on stderr.
    step -q "set-up (scripts/setup.sh)" "$here/scripts/setup.sh"
elif ! command -v i686-w64-mingw32-g++-posix >/dev/null || [ ! -f "$VISTREL_DEPS/x86_64-w64-mingw32/.libjpeg-built" ]; then
    echo "build: the cross compilers or libraries are missing: run 'sudo scripts/setup.sh' first" >&2
    exit 1
fi

for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
    dir="$root/${triple%%-*}"
    if [ ! -f "$dir/build.ninja" ]; then
        step -q "configuring the $triple build in $dir" cmake -S "$here" -B "$dir" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-$triple.cmake" \
            -DVISTREL_DEPS_DIR="$VISTREL_DEPS" \
            -DCMAKE_CROSSCOMPILING_EMULATOR="$here/scripts/wine-run.sh"
    fi
    step "building $dir" cmake --build "$dir"
done

release="$root/release"
mkdir -p "$release"
step "gathering the release executables in $release" \
    cp -p "$root/i686/release/Vistrel.exe" "$root/i686/release/Vistrel.exe.debug" \
      "$root/x86_64/release/Vistrel64.exe" "$root/x86_64/release/Vistrel64.exe.debug" "$release/"
