#!/usr/bin/env bash
# Prepares a Debian 12 (bookworm) amd64 machine to build and test Vistrel: installs the
# cross compilers, Wine, Xvfb, ImageMagick, groff (which makes the PDF manual) and
# qemu-user's i386 emulation. It only installs Debian packages and adds the apt sources
# they come from: it writes nothing into the checkout. The libraries the build needs
# (libpng, libjpeg-turbo) are built by scripts/build.sh as the user who builds.
#
#   sudo scripts/setup.sh            probe, install what is missing (needs root)
#   scripts/setup.sh --dry-run       probe only: print what would be installed, change
#                                    nothing, exit 0 (any user)
#   sudo scripts/setup.sh --with-debootstrap
#                                    also install debootstrap, which
#                                    scripts/check-fresh-machine.sh needs
#
# Before anything else it checks that this is Debian 12 on amd64 and refuses any other
# system in one line. Safe to run again: it skips what is in place, and as any user it
# ends at once when nothing is missing. Each step prints a line as it starts; its whole
# output is appended to /var/log/vistrel-setup.log (VISTREL_SETUP_LOG). A step that
# fails ends the script with a non-zero status and a message naming the step, followed
# by apt's own error lines (or the last lines of the step's output).
set -Eeuo pipefail

dry_run=0
extra_packages=()
for arg in "$@"; do
    case "$arg" in
        --dry-run) dry_run=1 ;;
        --with-debootstrap) extra_packages+=("debootstrap|debootstrap") ;;
        *) echo "usage: scripts/setup.sh [--dry-run] [--with-debootstrap]" >&2; exit 2 ;;
    esac
done

say() { echo "setup: $*"; }

# --- the system: Debian 12 on amd64, checked before anything is changed ------------

# VISTREL_OS_RELEASE names another os-release file (for the checks of this refusal).
os_release=${VISTREL_OS_RELEASE:-/etc/os-release}
os_id="" os_version="" os_name="an unknown system (no readable $os_release)"
if [ -r "$os_release" ]; then
    os_id=$(. "$os_release" 2>/dev/null && echo "${ID:-}") || true
    os_version=$(. "$os_release" 2>/dev/null && echo "${VERSION_ID:-}") || true
    os_name=$(. "$os_release" 2>/dev/null && echo "${PRETTY_NAME:-${NAME:-an unnamed system}}") || true
fi
arch=$(dpkg --print-architecture 2>/dev/null || uname -m)
if [ "$os_id" != debian ] || [ "$os_version" != 12 ] || [ "$arch" != amd64 ]; then
    echo "setup: this machine is $os_name on $arch; set-up supports Debian 12 (bookworm) on amd64 only, and changed nothing" >&2
    exit 1
fi

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
    "groff|gropdf"
    ${extra_packages[@]+"${extra_packages[@]}"}
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
if dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386; then
    i386_enabled=1
fi

src_list=/etc/apt/sources.list.d/vistrel-src.sources
backports_list=/etc/apt/sources.list.d/vistrel-backports.sources
need_sources=0
[ -f "$src_list" ] && [ -f "$backports_list" ] || need_sources=1

work_to_do=0
if [ ${#missing[@]} -gt 0 ] || [ "$need_emulator" = 1 ] || [ "$i386_enabled" = 0 ] || [ "$need_sources" = 1 ]; then
    work_to_do=1
fi

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
    exit 0
fi

if [ "$work_to_do" = 0 ]; then
    say "every package is in place"
    exit 0
fi

if [ "$(id -u)" != 0 ]; then
    echo "setup: installing Debian packages needs root: run 'sudo scripts/setup.sh' once, then scripts/run.sh and scripts/test.sh as yourself" >&2
    echo "setup: missing: ${missing[*]:-}$([ "$need_emulator" = 1 ] && echo " qemu-user-static")" >&2
    exit 1
fi

# --- installation, as root ------------------------------------------------------------

log=${VISTREL_SETUP_LOG:-/var/log/vistrel-setup.log}
if ! { mkdir -p "$(dirname "$log")" && echo "=== $(date '+%F %T') scripts/setup.sh $*" >>"$log"; } 2>/dev/null; then
    log=$(mktemp /tmp/vistrel-setup.XXXXXX.log)
fi
# The step under way, and where its output starts in the log, for the failure report.
step="probing"
step_start=0
report_failure() {   # exit status, failed command, line
    {
        echo "setup: FAILED in step \"$step\" (exit status $1, line $3): $2"
        local words
        words=$(tail -c +$((step_start + 1)) "$log" | grep -E '^(E|W|Err):' | head -n 15 || true)
        if [ -n "$words" ]; then
            echo "setup: apt said:"
            sed 's/^/    /' <<<"$words"
        elif [ -s "$log" ]; then
            echo "setup: its last lines of output:"
            tail -c +$((step_start + 1)) "$log" | tail -n 25 | sed 's/^/    /'
        fi
        echo "setup: the whole output is in $log"
    } >&2
}
trap 'report_failure $? "$BASH_COMMAND" $LINENO' ERR

# Starts a step: a line on the terminal (the step's name and what it does), a header in
# the log.  begin <name> [what it does]
begin() {
    step=$1
    say "$step${2:+: $2}"
    echo "--- $(date '+%T') $step${2:+: $2}" >>"$log"
    step_start=$(stat -c %s "$log")
}

# Runs one command of the current step with its output appended to the log; a failure
# is reported with that output and ends the script.  run command...
run() {
    local rc=0
    "$@" </dev/null >>"$log" 2>&1 || rc=$?
    if [ $rc != 0 ]; then
        trap - ERR
        report_failure "$rc" "$*" "${BASH_LINENO[0]}"
        exit "$rc"
    fi
}

packages=()
for entry in "${requirements[@]}"; do packages+=("${entry%%|*}"); done
apt_install=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends)

if [ "$i386_enabled" = 0 ] || [ "$need_sources" = 1 ]; then
    begin "adding the i386 architecture and apt sources" "Debian's source packages and bookworm-backports"
    run dpkg --add-architecture i386
    if [ ! -f "$src_list" ]; then
        cat >"$src_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    fi
    if [ ! -f "$backports_list" ]; then
        cat >"$backports_list" <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    fi
fi

# apt-get update ends with status 0 when an archive cannot be reached (it keeps the old
# lists and warns): --error-on=any makes that a failure, with apt's own lines.
begin "apt-get update" "the package lists of Debian's archive"
run apt-get update -q --error-on=any
if [ ${#missing[@]} -gt 0 ]; then
    begin "installing the missing packages" "${missing[*]}, with what they need (a few minutes on a new machine)"
    run "${apt_install[@]}" "${packages[@]}"
fi
if [ "$need_emulator" = 1 ]; then
    begin "installing qemu-user-static" "the i386 emulator, from bookworm-backports"
    run "${apt_install[@]}" -t bookworm-backports qemu-user-static
fi

# What the installation should have made reachable: name what is still not there.
begin "checking the installed tools"
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
say "every package is in place; scripts/build.sh builds the rest as the user who runs it"
