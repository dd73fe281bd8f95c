#!/usr/bin/env bash
# Builds Vistrel.exe (the shipped 32-bit build and a 64-bit build of the same sources),
# Vistrel64.exe and the tests, then gathers the executables to ship in build/release/:
# Vistrel.exe (32-bit) and Vistrel64.exe, stripped, each with its debug information in
# a .debug file beside it. Installs what is missing first when run as root.
set -euo pipefail
source "$(dirname "$0")/env.sh"

if [ "$(id -u)" = 0 ]; then
    "$here/scripts/setup.sh" >/dev/null
elif ! command -v i686-w64-mingw32-g++-posix >/dev/null || [ ! -f "$VISTREL_DEPS/x86_64-w64-mingw32/.libjpeg-built" ]; then
    echo "build: run 'sudo scripts/setup.sh' first" >&2
    exit 1
fi

for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
    dir="$root/${triple%%-*}"
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S "$here" -B "$dir" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-$triple.cmake" \
            -DVISTREL_DEPS_DIR="$VISTREL_DEPS" \
            -DCMAKE_CROSSCOMPILING_EMULATOR="$here/scripts/wine-run.sh" >/dev/null
    fi
    cmake --build "$dir"
done

release="$root/release"
mkdir -p "$release"
cp -p "$root/i686/release/Vistrel.exe" "$root/i686/release/Vistrel.exe.debug" \
      "$root/x86_64/release/Vistrel64.exe" "$root/x86_64/release/Vistrel64.exe.debug" "$release/"
