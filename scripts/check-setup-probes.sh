#!/usr/bin/env bash
# Checks that set-up's probes survive a machine without the tools they look for: runs
# `scripts/setup.sh --dry-run` with a PATH from which the emulator, the cross compilers,
# Wine and Xvfb are hidden (every other command of the machine stays reachable), and
# requires it to exit 0 and to name the package of each hidden tool among what it would
# install. A probe that ends the script early (a failing pipeline under `set -e`, say)
# fails the check. Changes nothing on the machine.
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
# A fresh dependency folder: the libraries are to be built, and set-up says so.
if grep -q "^setup: would build libpng for i686-w64-mingw32" "$out"; then
    echo "check-setup-probes: ok: with no dependency folder, set-up would build the libraries"
else
    echo "check-setup-probes: FAILED: with no dependency folder, set-up does not list the libraries to build"
    failed=1
fi
if [ $failed != 0 ]; then
    echo "check-setup-probes: what setup.sh --dry-run printed:"
    sed 's/^/    /' "$out"
fi
exit $failed
