#!/usr/bin/env bash
# Builds the libraries that Vistrel links and Debian has no mingw package of, libpng and
# libjpeg-turbo, from Debian's source packages (apt-get source, which needs the deb-src
# entry that scripts/setup.sh adds, and the network once), for both architectures, into
# VISTREL_DEPS (default build/deps). Runs as the user who builds; scripts/build.sh calls
# it. Builds only what is missing: a library is done once its stamp file is there.
#   scripts/build-deps.sh            build what is missing, a line per library
#   scripts/build-deps.sh --dry-run  print what would be built, change nothing
# The commands' output is appended to VISTREL_BUILD_LOG (default build/build-output.txt).
# A step that fails ends the script with a non-zero status, naming the step and showing
# the last lines of its output (apt's own error lines when apt failed).
set -euo pipefail
source "$(dirname "$0")/env.sh"
deps=$VISTREL_DEPS

dry_run=0
case "${1:-}" in
    --dry-run) dry_run=1 ;;
    "") ;;
    *) echo "usage: scripts/build-deps.sh [--dry-run]" >&2; exit 2 ;;
esac

libs_to_build=()
for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
    for name in libpng libjpeg; do
        [ -f "$deps/$triple/.$name-built" ] || libs_to_build+=("$name for $triple")
    done
done
if [ "$dry_run" = 1 ]; then
    for lib in ${libs_to_build[@]+"${libs_to_build[@]}"}; do echo "build: would build $lib into $deps"; done
    [ ${#libs_to_build[@]} = 0 ] && echo "build: the libraries are in place in $deps"
    exit 0
fi
[ ${#libs_to_build[@]} = 0 ] && exit 0

if ! mkdir -p "$deps/src" 2>/dev/null || [ ! -w "$deps" ]; then
    echo "build: the libraries are to be built into $deps, where $(id -un) cannot write (owner: $(stat -c %U "$deps" 2>/dev/null || echo unknown)); give it to yourself with 'sudo chown -R $(id -un): $deps', or choose another folder with VISTREL_DEPS" >&2
    exit 1
fi
log=${VISTREL_BUILD_LOG:-$root/build-output.txt}
mkdir -p "$(dirname "$log")"

# Runs one command with its output appended to the log; a failure ends the script with
# the step's name and its output.  run <step> [-C folder] command...
run() {
    local what=$1 dir=.
    shift
    if [ "$1" = -C ]; then dir=$2; shift 2; fi
    echo "--- $(date '+%T') $what: $*" >>"$log"
    local start rc=0 words
    start=$(stat -c %s "$log")
    (cd "$dir" && exec "$@") </dev/null >>"$log" 2>&1 || rc=$?
    if [ $rc != 0 ]; then
        {
            echo "build: FAILED: $what (exit status $rc): $*"
            words=$(tail -c +$((start + 1)) "$log" | grep -E '^(E|W|Err):' | head -n 15 || true)
            if [ -n "$words" ]; then
                echo "build: apt said (all of the output in $log):"
                sed 's/^/    /' <<<"$words"
            else
                echo "build: its last lines of output (all of it in $log):"
                tail -c +$((start + 1)) "$log" | tail -n 30 | sed 's/^/    /'
            fi
        } >&2
        exit $rc
    fi
}

fetch_source() {   # package name, glob of its .orig tarball; sets src_dir
    local pkg=$1 glob=$2 tarball
    tarball=$(compgen -G "$deps/src/$glob" | head -n 1 || true)
    if [ -z "$tarball" ]; then
        echo "build: fetching Debian's source package $pkg (apt-get source) into $deps/src"
        run "fetching the source package $pkg" -C "$deps/src" apt-get source --download-only "$pkg"
        tarball=$(compgen -G "$deps/src/$glob" | head -n 1 || true)
    fi
    if [ -z "$tarball" ]; then
        echo "build: FAILED: apt-get source $pkg left no $glob in $deps/src (is the deb-src entry of scripts/setup.sh in place?)" >&2
        exit 1
    fi
    local dir="$deps/src/${pkg}-src"
    if [ ! -d "$dir" ]; then
        rm -rf "$dir.part" && mkdir -p "$dir.part"
        run "unpacking $tarball" tar -xzf "$tarball" -C "$dir.part" --strip-components=1
        mv "$dir.part" "$dir"
    fi
    src_dir=$dir
}

build_dep() {   # arch triple, source dir, name, cmake args...
    local triple=$1 src=$2 name=$3; shift 3
    local prefix="$deps/$triple"
    local stamp="$prefix/.$name-built"
    [ -f "$stamp" ] && return 0
    local bdir="$deps/build-$name-$triple"
    echo "build: building $name for $triple into $deps (once)"
    rm -rf "$bdir"
    run "configuring $name for $triple" cmake -S "$src" -B "$bdir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-$triple.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_POLICY_DEFAULT_CMP0074=NEW "$@"
    run "building $name for $triple" cmake --build "$bdir"
    run "installing $name for $triple" cmake --install "$bdir"
    touch "$stamp"
}

fetch_source libpng1.6 'libpng1.6_*.orig.tar.gz'
png_src=$src_dir
fetch_source libjpeg-turbo 'libjpeg-turbo_*.orig.tar.gz'
jpeg_src=$src_dir
for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
    build_dep "$triple" "$png_src" libpng -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
        -DPNG_STATIC=ON -DZLIB_ROOT=/usr/$triple
    build_dep "$triple" "$jpeg_src" libjpeg -DENABLE_SHARED=OFF -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF
done
echo "build: the libraries are in place in $deps"
