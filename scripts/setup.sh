#!/usr/bin/env bash
# Prepares a Debian machine to build and test Vistrel: installs the cross compilers,
# Wine, Xvfb, ImageMagick and qemu-user's i386 emulation, then cross-builds libpng and
# libjpeg-turbo from Debian's source packages into a cached prefix for both architectures.
# Run as root; safe to run again (it skips what is already in place).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
deps=${VISTREL_DEPS:-$here/build/deps}

packages=(mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          wine wine32:i386 wine64 xvfb xauth imagemagick x11-apps xcompmgr x11-xserver-utils
          libz-mingw-w64-dev fonts-wine fonts-liberation cmake ninja-build googletest file xdotool x11-utils)

need_install=0
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || { need_install=1; break; }
done

# qemu-user's i386 emulation runs the shipped 32-bit build on hosts that run 64-bit code
# only; bookworm's qemu 7.2 crashes Wine's 32-bit processes, the backported one does not.
backports_list=/etc/apt/sources.list.d/vistrel-backports.sources
emulator_version=$(qemu-i386-static --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')
[ "${emulator_version:-0}" -ge 8 ] || need_install=1

src_list=/etc/apt/sources.list.d/vistrel-src.sources
if [ ! -f "$src_list" ]; then
    cat > "$src_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    need_install=1
fi

if [ ! -f "$backports_list" ]; then
    cat > "$backports_list" <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    need_install=1
fi

if [ "$need_install" = 1 ]; then
    dpkg --add-architecture i386
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${packages[@]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends -t bookworm-backports \
        qemu-user-static
fi

# libpng and libjpeg-turbo: sources from Debian, built once per architecture.
mkdir -p "$deps/src"
fetch_source() {   # package name, glob of its .orig tarball
    local pkg=$1 glob=$2
    if ! ls "$deps/src"/$glob >/dev/null 2>&1; then
        (cd "$deps/src" && apt-get source --download-only "$pkg" 2>&1 | tail -n 2)
    fi
    local tarball
    tarball=$(ls "$deps/src"/$glob | head -n 1)
    local dir="$deps/src/${pkg}-src"
    if [ ! -d "$dir" ]; then
        mkdir -p "$dir"
        tar -xzf "$tarball" -C "$dir" --strip-components=1
    fi
    echo "$dir"
}

png_src=$(fetch_source libpng1.6 'libpng1.6_*.orig.tar.gz' | tail -n 1)
jpeg_src=$(fetch_source libjpeg-turbo 'libjpeg-turbo_*.orig.tar.gz' | tail -n 1)

build_dep() {   # arch triple, source dir, name, cmake args...
    local triple=$1 src=$2 name=$3; shift 3
    local prefix="$deps/$triple"
    local stamp="$prefix/.$name-built"
    [ -f "$stamp" ] && return 0
    local bdir="$deps/build-$name-$triple"
    rm -rf "$bdir"
    cmake -S "$src" -B "$bdir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-$triple.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_POLICY_DEFAULT_CMP0074=NEW "$@" >/dev/null
    cmake --build "$bdir" >/dev/null
    cmake --install "$bdir" >/dev/null
    touch "$stamp"
}

for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
    build_dep "$triple" "$png_src" libpng -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
        -DPNG_STATIC=ON -DZLIB_ROOT=/usr/$triple
    build_dep "$triple" "$jpeg_src" libjpeg -DENABLE_SHARED=OFF -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF
done
echo "setup: dependencies in $deps"
