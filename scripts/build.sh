#!/usr/bin/env bash
# Builds Vistrel.exe (the shipped 32-bit build and a 64-bit build of the same sources),
# Vistrel64.exe, the manual and the tests, then gathers what ships in build/release/:
# Vistrel.exe (32-bit) and Vistrel64.exe, stripped, each with its debug information in
# a .debug file beside it, and Vistrel-<version>.zip, what a Windows user takes.
# As root it runs the set-up first (scripts/setup.sh installs what is missing); as any
# other user it needs that set-up done once (sudo scripts/setup.sh). The libraries
# libpng and libjpeg-turbo are built once, as the user who builds (scripts/build-deps.sh).
#   scripts/build.sh [--quiet]   --quiet: print nothing but a line for each first build of
#                                a tree or a library, and a failure's report
# Each step's output is appended to build/build-output.txt. A failing step ends the
# script with a non-zero status, naming the step and showing the last lines of its
# output.
set -euo pipefail
source "$(dirname "$0")/env.sh"

quiet=0
[ "${1:-}" = --quiet ] && quiet=1

# A build folder made by root (an earlier set-up that ran as root, say) cannot take this
# user's build: say so at once, with the way out.
if [ -e "$root" ] && [ ! -w "$root" ]; then
    echo "build: $root belongs to $(stat -c %U "$root"), and $(id -un) cannot write there; give it to yourself with 'sudo chown -R $(id -un): $root'" >&2
    exit 1
fi
mkdir -p "$root"
build_log="$root/build-output.txt"
# One run's steps follow each other in the log; the log of earlier runs is kept up to a
# few megabytes, then moved aside once.
if [ -f "$build_log" ] && [ "$(stat -c %s "$build_log")" -gt 8000000 ]; then
    mv -f "$build_log" "$build_log.old"
fi
echo "=== $(date '+%F %T') scripts/build.sh $*" >>"$build_log"

# Runs one step; with --quiet (or for a step given as "-q <description>", whose output
# says nothing on success) its output goes to the build log only, and is shown when the
# step fails. Otherwise it goes to the terminal and to the log.  step [-q] <description> <command...>
step() {
    local q=$quiet
    if [ "$1" = -q ]; then q=1; shift; fi
    local what=$1 rc=0
    shift
    echo "--- $(date '+%T') $what: $*" >>"$build_log"
    local start
    start=$(stat -c %s "$build_log")
    if [ $q = 1 ]; then
        "$@" >>"$build_log" 2>&1 || rc=$?
    else
        "$@" 2>&1 | tee -a "$build_log" || rc=${PIPESTATUS[0]}
    fi
    if [ $rc != 0 ]; then
        {
            echo "build: FAILED: $what (exit status $rc): $*"
            echo "build: its last lines of output (all of it in $build_log):"
            tail -c +$((start + 1)) "$build_log" | tail -n 30 | sed 's/^/    /'
        } >&2
        exit $rc
    fi
}

if [ "$(id -u)" = 0 ]; then
    # Set-up is quiet when all is in place and reports its own failures on stderr.
    step -q "set-up (scripts/setup.sh)" "$here/scripts/setup.sh"
else
    needs=()
    for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix cmake ninja gropdf; do
        command -v "$tool" >/dev/null 2>&1 || needs+=("$tool")
    done
    if [ ${#needs[@]} -gt 0 ]; then
        echo "build: ${needs[*]} not found: run 'sudo scripts/setup.sh' once first (it installs the packages)" >&2
        exit 1
    fi
fi
# Says a line per library it builds; its commands' output goes to the build log.
VISTREL_BUILD_LOG=$build_log "$here/scripts/build-deps.sh"

for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
    dir="$root/${triple%%-*}"
    if [ ! -f "$dir/build.ninja" ]; then
        echo "build: configuring and building $dir for the first time (several minutes)"
        step -q "configuring the $triple build in $dir" cmake -S "$here" -B "$dir" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-$triple.cmake" \
            -DVISTREL_DEPS_DIR="$VISTREL_DEPS" \
            -DCMAKE_CROSSCOMPILING_EMULATOR="$here/scripts/wine-run.sh"
    fi
    step "building $dir" cmake --build "$dir"
done

release="$root/release"
mkdir -p "$release"
step -q "gathering the release executables in $release" \
    cp -p "$root/i686/release/Vistrel.exe" "$root/i686/release/Vistrel.exe.debug" \
      "$root/x86_64/release/Vistrel64.exe" "$root/x86_64/release/Vistrel64.exe.debug" "$release/"

# The ZIP a Windows user takes: the programs, the sample, the manual and the short text,
# side by side, named with the version the programs carry.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/i686/CMakeCache.txt")
zip_name="Vistrel-$version.zip"
make_zip() {
    local stage="$release/.zip-stage"
    rm -rf "$stage" && mkdir -p "$stage"
    cp -p "$root/i686/release/Vistrel.exe" "$root/x86_64/release/Vistrel64.exe" "$here/vistrel-sample.ini" \
        "$root/i686/release/Vistrel Manual.pdf" "$root/i686/release/Read Me.txt" "$stage/"
    rm -f "$release"/Vistrel-*.zip
    (cd "$stage" && cmake -E tar cf "../$zip_name" --format=zip -- \
        "Read Me.txt" "Vistrel Manual.pdf" Vistrel.exe Vistrel64.exe vistrel-sample.ini)
    rm -rf "$stage"
}
step -q "packing $release/$zip_name" make_zip
