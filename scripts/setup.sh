#!/usr/bin/env bash
# Prepares a Debian 12 machine to build and test Vistrel: installs the cross compilers,
# Wine, Xvfb, ImageMagick and qemu-user's i386 emulation, then cross-builds libpng and
# libjpeg-turbo from Debian's source packages into a cached prefix for both architectures.
# Run as root; safe to run again (it skips what is already in place).
#
#   scripts/setup.sh            probe, install what is missing, build the libraries
#   scripts/setup.sh --dry-run  probe only: print what would be installed or built, change
#                               nothing, exit 0
#
# Every probe answers "missing" for a tool or package that is not there (a fresh machine
# has none of them). A step that fails ends the script with a non-zero status and a
# message naming the step, the command and the last lines of its output.
set -Eeuo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
deps=${VISTREL_DEPS:-$here/build/deps}

dry_run=0
case "${1:-}" in
    --dry-run) dry_run=1 ;;
    "") ;;
    *) echo "usage: scripts/setup.sh [--dry-run]" >&2; exit 2 ;;
esac

say() { echo "setup: $*"; }

# The step under way and the file that holds its commands' output, for the failure report.
step="probing"
step_log=$(mktemp)
trap 'rm -f "$step_log"' EXIT
report_failure() {   # exit status, failed command, line
    {
        echo "setup: FAILED in step \"$step\" (exit status $1, line $3): $2"
        if [ -s "$step_log" ]; then
            echo "setup: its last lines of output:"
            tail -n 25 "$step_log" | sed 's/^/    /'
        fi
    } >&2
}
trap 'report_failure $? "$BASH_COMMAND" $LINENO' ERR

# Runs one command of the current step with its output kept in the step's log; a failure
# is reported with that output and ends the script.  run [-C folder] command...
run() {
    local dir=.
    if [ "$1" = -C ]; then dir=$2; shift 2; fi
    local rc=0
    (cd "$dir" && exec "$@") >"$step_log" 2>&1 || rc=$?
    if [ $rc != 0 ]; then
        trap - ERR
        report_failure "$rc" "$*" "${BASH_LINENO[0]}"
        exit "$rc"
    fi
}

# --- probes: each answers without failing, whatever is installed ---------------------

# Packages, each needed for a command the scripts call, a file the build reads or a
# library Wine loads. A command probe looks on PATH, so a tool that is installed but not
# reachable counts as missing too.
#   package|command on PATH or absolute file ("-" for a package probed by dpkg only)
requirements=(
    "mingw-w64|-"
    "g++-mingw-w64-i686-posix|i686-w64-mingw32-g++-posix"
    "g++-mingw-w64-x86-64-posix|x86_64-w64-mingw32-g++-posix"
    "libz-mingw-w64-dev|/usr/i686-w64-mingw32/lib/libz.a"
    "wine|wineserver"
    "wine64|/usr/lib/wine/wine64"
    "wine32:i386|/usr/lib/wine/wine"
    "xvfb|Xvfb"
    "xauth|xauth"
    "imagemagick|import"
    "x11-apps|xwd"
    "xcompmgr|xcompmgr"
    "x11-xserver-utils|xset"
    "x11-utils|xwininfo"
    "xdotool|xdotool"
    "fonts-wine|/usr/share/wine/fonts/marlett.ttf"
    "fonts-liberation|-"
    "cmake|cmake"
    "ninja-build|ninja"
    "googletest|/usr/src/googletest/CMakeLists.txt"
    "file|file"
)

package_installed() {   # package name (with :arch where it has one)
    local status
    status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) || return 1
    [ "$status" = "install ok installed" ]
}

present() {   # command name or absolute path
    case "$1" in
        -) return 0 ;;
        /*) [ -e "$1" ] ;;
        *) command -v "$1" >/dev/null 2>&1 ;;
    esac
}

# The major version of qemu-user's i386 emulator on PATH, 0 when there is none.
emulator_major() {
    local v=""
    if command -v qemu-i386-static >/dev/null 2>&1; then
        v=$(qemu-i386-static --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p' || true)
    fi
    echo "${v:-0}"
}

missing=()
for entry in "${requirements[@]}"; do
    pkg=${entry%%|*}
    probe=${entry#*|}
    if ! package_installed "$pkg" || ! present "$probe"; then
        missing+=("$pkg")
    fi
done

# qemu-user's i386 emulation runs the shipped 32-bit build on hosts that run 64-bit code
# only; bookworm's qemu 7.2 crashes Wine's 32-bit processes, the backported one does not.
need_emulator=0
[ "$(emulator_major)" -ge 8 ] || need_emulator=1

i386_enabled=0
if command -v dpkg >/dev/null 2>&1 && dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386; then
    i386_enabled=1
fi

src_list=/etc/apt/sources.list.d/vistrel-src.sources
backports_list=/etc/apt/sources.list.d/vistrel-backports.sources
libs_to_build=()
for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
    for name in libpng libjpeg; do
        [ -f "$deps/$triple/.$name-built" ] || libs_to_build+=("$name for $triple")
    done
done

if [ "$dry_run" = 1 ]; then
    say "dry run: nothing is changed"
    [ "$i386_enabled" = 1 ] || say "would add the i386 architecture (dpkg --add-architecture i386)"
    [ -f "$src_list" ] || say "would add the apt source $src_list (Debian's source packages)"
    [ -f "$backports_list" ] || say "would add the apt source $backports_list (bookworm-backports)"
    if [ ${#missing[@]} -gt 0 ]; then
        say "would install: ${missing[*]}"
    fi
    if [ "$need_emulator" = 1 ]; then
        say "would install: qemu-user-static (from bookworm-backports; qemu-i386-static 8 or later is not on PATH)"
    fi
    if [ ${#missing[@]} -eq 0 ] && [ "$need_emulator" = 0 ]; then
        say "every package is in place"
    fi
    for lib in "${libs_to_build[@]}"; do say "would build $lib into $deps"; done
    exit 0
fi

if [ "$(id -u)" != 0 ]; then
    echo "setup: run as root (it installs Debian packages)" >&2
    exit 1
fi

# --- installation ---------------------------------------------------------------------

if [ ! -f "$src_list" ]; then
    cat > "$src_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    missing+=(apt-sources)
fi
if [ ! -f "$backports_list" ]; then
    cat > "$backports_list" <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    need_emulator=1
fi

if [ ${#missing[@]} -gt 0 ] || [ "$need_emulator" = 1 ] || [ "$i386_enabled" = 0 ]; then
    packages=()
    for entry in "${requirements[@]}"; do packages+=("${entry%%|*}"); done
    say "installing packages (missing: ${missing[*]:-none}$([ "$need_emulator" = 1 ] && echo ", qemu-user-static"))"
    step="dpkg --add-architecture i386"
    run dpkg --add-architecture i386
    step="apt-get update"
    run apt-get update -q
    step="apt-get install of the build and test packages"
    run env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${packages[@]}"
    step="apt-get install of qemu-user-static from bookworm-backports"
    run env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -t bookworm-backports qemu-user-static
fi

# What the installation should have made reachable: name what is still not there.
step="checking the installed tools"
still_missing=()
for entry in "${requirements[@]}"; do
    probe=${entry#*|}
    present "$probe" || still_missing+=("$probe (package ${entry%%|*})")
done
[ "$(emulator_major)" -ge 8 ] || still_missing+=("qemu-i386-static 8 or later (package qemu-user-static from bookworm-backports)")
if [ ${#still_missing[@]} -gt 0 ]; then
    echo "setup: FAILED in step \"$step\": still not found after the installation: ${still_missing[*]}" >&2
    exit 1
fi

# --- libpng and libjpeg-turbo: sources from Debian, built once per architecture -------

mkdir -p "$deps/src"
fetch_source() {   # package name, glob of its .orig tarball; prints the source folder
    local pkg=$1 glob=$2 tarball
    step="fetching the source package $pkg"
    tarball=$(compgen -G "$deps/src/$glob" | head -n 1 || true)
    if [ -z "$tarball" ]; then
        run -C "$deps/src" apt-get source --download-only "$pkg"
        tarball=$(compgen -G "$deps/src/$glob" | head -n 1 || true)
    fi
    if [ -z "$tarball" ]; then
        echo "setup: FAILED in step \"$step\": apt-get source left no $glob in $deps/src" >&2
        exit 1
    fi
    local dir="$deps/src/${pkg}-src"
    if [ ! -d "$dir" ]; then
        step="unpacking $tarball"
        mkdir -p "$dir.part"
        run tar -xzf "$tarball" -C "$dir.part" --strip-components=1
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
    say "building $name for $triple"
    rm -rf "$bdir"
    step="configuring $name for $triple"
    run cmake -S "$src" -B "$bdir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-$triple.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_POLICY_DEFAULT_CMP0074=NEW "$@"
    step="building $name for $triple"
    run cmake --build "$bdir"
    step="installing $name for $triple"
    run cmake --install "$bdir"
    touch "$stamp"
}

if [ ${#libs_to_build[@]} -gt 0 ]; then
    fetch_source libpng1.6 'libpng1.6_*.orig.tar.gz'
    png_src=$src_dir
    fetch_source libjpeg-turbo 'libjpeg-turbo_*.orig.tar.gz'
    jpeg_src=$src_dir
    for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
        build_dep "$triple" "$png_src" libpng -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
            -DPNG_STATIC=ON -DZLIB_ROOT=/usr/$triple
        build_dep "$triple" "$jpeg_src" libjpeg -DENABLE_SHARED=OFF -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF
    done
fi
say "dependencies in $deps"
