#!/usr/bin/env bash
# Checks that set-up's probes survive a machine without the tools they look for: runs
# `scripts/setup.sh --dry-run` with a PATH from which the emulator, the cross compilers,
# Wine and Xvfb are hidden (every other command of the machine stays reachable), and
# requires it to exit 0 and to name the package of each hidden tool among what it would
# install. A probe that ends the script early (a failing pipeline under `set -e`, say)
# fails the check. Then it checks that set-up refuses, in one line that names what it
# found, a system other than Debian 12 on amd64: another architecture (dpkg answering
# arm64), another release and another distribution (an os-release file saying so).
# Changes nothing on the machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

# Hidden command, then the package set-up must then want to install.
hidden=(
    "qemu-i386-static|qemu-user-static"
    "i686-w64-mingw32-g++-posix|g++-mingw-w64-i686-posix"
    "x86_64-w64-mingw32-g++-posix|g++-mingw-w64-x86-64-posix"
    "wineserver|wine"
    "Xvfb|xvfb"
)

bin=$(mktemp -d)
out=$(mktemp)
trap 'rm -rf "$bin" "$out"' EXIT

# A folder of links to every command on PATH but the hidden ones.
IFS=: read -r -a dirs <<<"$PATH"
for dir in "${dirs[@]}"; do
    [ -d "$dir" ] || continue
    for f in "$dir"/*; do
        [ -x "$f" ] && [ ! -d "$f" ] || continue
        name=${f##*/}
        skip=0
        for entry in "${hidden[@]}"; do
            [ "$name" = "${entry%%|*}" ] && skip=1
        done
        [ $skip = 1 ] || [ -e "$bin/$name" ] || ln -s "$f" "$bin/$name"
    done
done

failed=0
rc=0
env PATH="$bin" VISTREL_DEPS="$(mktemp -u -d)" bash "$here/scripts/setup.sh" --dry-run >"$out" 2>&1 || rc=$?
if [ $rc != 0 ]; then
    echo "check-setup-probes: FAILED: setup.sh --dry-run ended with status $rc with the tools hidden"
    failed=1
fi
for entry in "${hidden[@]}"; do
    tool=${entry%%|*} pkg=${entry#*|}
    if grep -E "^setup: would install: (.* )?${pkg//+/\\+}( |$)" "$out" >/dev/null; then
        echo "check-setup-probes: ok: with $tool hidden, set-up would install $pkg"
    else
        echo "check-setup-probes: FAILED: with $tool hidden, set-up does not list $pkg"
        failed=1
    fi
done
if [ $failed != 0 ]; then
    echo "check-setup-probes: what setup.sh --dry-run printed:"
    sed 's/^/    /' "$out"
fi
# A fresh dependency folder: the libraries are to be built, and the build says so.
deps_out=$(VISTREL_DEPS="$(mktemp -u -d)" bash "$here/scripts/build-deps.sh" --dry-run 2>&1) || true
if grep -q "^build: would build libpng for i686-w64-mingw32" <<<"$deps_out"; then
    echo "check-setup-probes: ok: with no dependency folder, the build would build the libraries"
else
    echo "check-setup-probes: FAILED: with no dependency folder, build-deps.sh --dry-run does not list the libraries to build:"
    sed 's/^/    /' <<<"$deps_out"
    failed=1
fi

# Other systems: refused in one line that names them, before anything is probed or changed.
fake=$(mktemp -d)
trap 'rm -rf "$bin" "$out" "$fake"' EXIT
printf '#!/bin/sh
[ "$1" = --print-architecture ] && { echo arm64; exit 0; }
exec %s "$@"
' "$(command -v dpkg)" >"$fake/dpkg"
chmod +x "$fake/dpkg"
printf 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"
ID=debian
VERSION_ID="12"
' >"$fake/debian12"
printf 'PRETTY_NAME="Debian GNU/Linux 13 (trixie)"
ID=debian
VERSION_ID="13"
' >"$fake/debian13"
printf 'PRETTY_NAME="Ubuntu 24.04 LTS"
ID=ubuntu
ID_LIKE=debian
VERSION_ID="24.04"
' >"$fake/ubuntu"
#   what | os-release file | PATH | the words the line must hold
refusals=(
    "arm64|$fake/debian12|$fake:$PATH|Debian GNU/Linux 12 (bookworm) on arm64"
    "Debian 13|$fake/debian13|$PATH|Debian GNU/Linux 13 (trixie) on amd64"
    "Ubuntu|$fake/ubuntu|$PATH|Ubuntu 24.04 LTS on amd64"
)
for entry in "${refusals[@]}"; do
    IFS='|' read -r what release path words <<<"$entry"
    rc=0
    refusal=$(env PATH="$path" VISTREL_OS_RELEASE="$release" bash "$here/scripts/setup.sh" --dry-run 2>&1) || rc=$?
    if [ $rc != 0 ] && [ "$(wc -l <<<"$refusal")" = 1 ] &&
       grep -qF "setup: this machine is $words; set-up supports Debian 12 (bookworm) on amd64 only" <<<"$refusal"; then
        echo "check-setup-probes: ok: $what is refused in one line"
    else
        echo "check-setup-probes: FAILED: $what is not refused in one line (status $rc):"
        sed 's/^/    /' <<<"$refusal"
        failed=1
    fi
done
exit $failed
