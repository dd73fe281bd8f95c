#!/usr/bin/env bash
# Runs the README's two commands on a machine that has none of the project's packages: a
# Debian bookworm root made with debootstrap (installed first when missing), with /proc,
# /sys, /dev, /dev/shm and /tmp mounted into it and a clean clone of this repository's
# HEAD inside; then, as root in that root, `scripts/test.sh` and `scripts/run.sh`, each
# with its output in <folder>/test-output.txt and run-output.txt, and how long it took.
#   scripts/check-fresh-machine.sh [folder]    (default build/fresh-root; run as root)
# The folder is made anew at each run. Needs the network (Debian's archive). Takes half
# an hour or more; not part of the test run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-$here/build/fresh-root}
case "$target" in /*) ;; *) target=$PWD/$target ;; esac

say() { echo "fresh-machine: $*"; }
if [ "$(id -u)" != 0 ]; then
    echo "fresh-machine: run as root (debootstrap, chroot and mounts need it)" >&2
    exit 1
fi
if ! command -v debootstrap >/dev/null 2>&1; then
    say "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap >/dev/null ||
        { apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap >/dev/null; }
fi

mounts=(proc sys dev dev/shm tmp)
unmount_all() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        mountpoint -q "$target/${mounts[$i]}" && umount -l "$target/${mounts[$i]}"
    done
    return 0
}
trap unmount_all EXIT

if [ -d "$target" ]; then
    unmount_all
    rm -rf --one-file-system "$target"
fi
say "making a bookworm root in $target"
started=$SECONDS
debootstrap --variant=minbase bookworm "$target" http://deb.debian.org/debian >"$target.debootstrap.txt" 2>&1 || {
    echo "fresh-machine: debootstrap failed; its last lines:" >&2
    tail -n 20 "$target.debootstrap.txt" >&2
    exit 1
}
say "root made in $((SECONDS - started)) s"
cp /etc/resolv.conf "$target/etc/resolv.conf"
mount -t proc proc "$target/proc"
mount --rbind /sys "$target/sys"
mount --rbind /dev "$target/dev"
mountpoint -q "$target/dev/shm" || mount -t tmpfs shm "$target/dev/shm"
mount --bind /tmp "$target/tmp"

git clone -q "$here" "$target/root/vistrel"
say "clean clone of $(git -C "$here" rev-parse --short HEAD) in /root/vistrel; what the root has of the project's tools:"
chroot "$target" /bin/bash -c 'for t in qemu-i386-static i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix wine Xvfb cmake ninja; do printf "    %s: %s\n" "$t" "$(command -v "$t" || echo missing)"; done'

rc=0
for cmd in test run; do
    started=$SECONDS
    say "running scripts/$cmd.sh in the root"
    chroot "$target" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 TERM=dumb /bin/bash -c "cd /root/vistrel && scripts/$cmd.sh" \
        >"$target/$cmd-output.txt" 2>&1 || rc=$?
    say "scripts/$cmd.sh ended with status $rc after $((SECONDS - started)) s; its last lines:"
    tail -n 12 "$target/$cmd-output.txt" | sed 's/^/    /'
    [ $rc = 0 ] || break
done
if [ $rc = 0 ]; then
    shot=$target/root/vistrel/build/run/screenshot.png
    if [ -s "$shot" ]; then say "screenshot: $shot"; else say "no screenshot at $shot"; rc=1; fi
fi
exit $rc
