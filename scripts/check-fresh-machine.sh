#!/usr/bin/env bash
# Runs the README's commands on a machine where set-up has never run: a Debian root made
# with debootstrap (minbase, plus sudo and git, as a newcomer's machine has them), with
# /proc, /sys, /dev, /dev/pts, /dev/shm and /tmp mounted into it, and a clean clone of
# this repository's HEAD inside.
#
# By default as a normal user with sudo ("newcomer", the owner of the clone): first set-up
# without the network and set-up while the package database is locked, each of which
# must end at its step with apt's own words; then `sudo scripts/setup.sh`,
# `scripts/test.sh` and `scripts/run.sh` as the user; at the end nothing under the clone
# may belong to root. With --as-root everything runs as root, set-up through test.sh.
# With --suite <other than bookworm> (bullseye, trixie...) set-up must refuse that system
# in one line and leave the root's apt sources and architectures as they were.
#
#   scripts/check-fresh-machine.sh [--as-root] [--suite <name>] [folder]
#       folder: default build/fresh-root; made anew at each run. Run as root (debootstrap,
#       chroot and mounts need it). VISTREL_EMULATED and VISTREL_XVFB_NUM reach the
#       commands in the root.
#
# Each command's output is in <folder>.<name>-output.txt, beside the root. Needs the
# network (Debian's archive). Takes half an hour or more; not part of the test run. The
# mounts live in a mount namespace of the script's own, made private first, so the
# host's mounts are never touched; they are unmounted in order at the end, and any
# process still running inside the root is stopped first.
#
# The whole script is one block, read before it runs: an edit of this file while a check
# is under way does not reach that check.
{
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

as_root=0
suite=bookworm
target=""
while [ $# -gt 0 ]; do
    case "$1" in
        --as-root) as_root=1 ;;
        --suite) suite=$2; shift ;;
        -*) echo "usage: scripts/check-fresh-machine.sh [--as-root] [--suite <name>] [folder]" >&2; exit 2 ;;
        *) target=$1 ;;
    esac
    shift
done
target=${target:-$here/build/fresh-root}
case "$target" in /*) ;; *) target=$PWD/$target ;; esac

say() { echo "fresh-machine: $*"; }
if [ "$(id -u)" != 0 ]; then
    echo "fresh-machine: run as root (debootstrap, chroot and mounts need it)" >&2
    exit 1
fi

# The rest runs in a mount namespace of its own whose mounts propagate nowhere.
if [ -z "${VISTREL_FRESH_NAMESPACE:-}" ]; then
    if ! command -v debootstrap >/dev/null 2>&1; then
        say "installing debootstrap (scripts/setup.sh --with-debootstrap)"
        "$here/scripts/setup.sh" --with-debootstrap
    fi
    args=()
    [ $as_root = 1 ] && args+=(--as-root)
    exec env VISTREL_FRESH_NAMESPACE=1 unshare --mount --propagation private \
        bash "$0" ${args[@]+"${args[@]}"} --suite "$suite" "$target"
fi

user=newcomer
uid=4242
mounts=(proc sys dev dev/pts dev/shm tmp)
# Stops every process whose root is the fresh root, then unmounts in reverse order.
unmount_all() {
    local p i
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$target" ] && kill -9 "${p#/proc/}" 2>/dev/null
    done
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        if mountpoint -q "$target/${mounts[$i]}"; then
            umount -R "$target/${mounts[$i]}" || say "could not unmount $target/${mounts[$i]}"
        fi
    done
    return 0
}
trap unmount_all EXIT

if [ -d "$target" ]; then
    unmount_all
    rm -rf --one-file-system "$target"
fi
mkdir -p "$(dirname "$target")"
say "making a Debian $suite root (minbase with sudo and git) in $target"
started=$SECONDS
debootstrap --variant=minbase --include=sudo,git "$suite" "$target" http://deb.debian.org/debian \
    >"$target.debootstrap.txt" 2>&1 || {
    echo "fresh-machine: debootstrap failed; its last lines:" >&2
    tail -n 20 "$target.debootstrap.txt" >&2
    exit 1
}
say "root made in $((SECONDS - started)) s"
cp /etc/resolv.conf "$target/etc/resolv.conf"
# The host's name resolves in the root, as on a machine of its own (sudo looks it up).
grep -qw "$(hostname)" "$target/etc/hosts" 2>/dev/null || echo "127.0.1.1 $(hostname)" >>"$target/etc/hosts"
mount -t proc proc "$target/proc"
mount --rbind /sys "$target/sys"
mount --make-rslave "$target/sys"
mount --bind /dev "$target/dev"
mount --make-slave "$target/dev"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$target/dev/pts"
mount -t tmpfs shm "$target/dev/shm"
# The host's /tmp: the X displays' lock files are seen there, so a free display is chosen.
mount --bind /tmp "$target/tmp"
mount --make-slave "$target/tmp"

# The user: sudo without a password, as a newcomer's own machine has it.
chroot "$target" useradd -m -u $uid -s /bin/bash "$user"
echo "$user ALL=(ALL) NOPASSWD: ALL" >"$target/etc/sudoers.d/$user"
chmod 0440 "$target/etc/sudoers.d/$user"
if [ $as_root = 1 ]; then
    home=/root
    runs=(chroot "$target")
else
    home=/home/$user
    runs=(chroot "$target" /usr/sbin/runuser -u "$user" --)
fi
clone="$home/vistrel"
git clone -q --no-local "$here" "$target$clone"
[ $as_root = 1 ] || chown -R $uid:$uid "$target$clone"
say "clean clone of $(git -C "$here" rev-parse --short HEAD) in $clone, as $([ $as_root = 1 ] && echo root || echo "$user (uid $uid)")"

# One command in the root, as the chosen user, in the clone, with a clean environment.
#   in_root <name> <command line>; output in <target>.<name>-output.txt
in_root() {
    local name=$1 command=$2
    "${runs[@]}" /usr/bin/env -i HOME="$home" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 TERM=dumb ${VISTREL_EMULATED:+VISTREL_EMULATED=$VISTREL_EMULATED} \
        ${VISTREL_XVFB_NUM:+VISTREL_XVFB_NUM=$VISTREL_XVFB_NUM} \
        /bin/bash -c "cd $clone && $command" >"$target.$name-output.txt" 2>&1
}

state_of_apt() {   # the root's apt sources and foreign architectures
    ls "$target/etc/apt/sources.list.d/"
    chroot "$target" dpkg --print-foreign-architectures
}

rc=0
if [ "$suite" != bookworm ]; then
    before=$(state_of_apt)
    setup_rc=0
    in_root setup "$([ $as_root = 1 ] || echo sudo) scripts/setup.sh" || setup_rc=$?
    say "set-up in Debian $suite ended with status $setup_rc; what it said:"
    sed 's/^/    /' "$target.setup-output.txt"
    if [ $setup_rc = 0 ] || [ "$(wc -l <"$target.setup-output.txt")" != 1 ] ||
       ! grep -q "set-up supports Debian 12 (bookworm) on amd64 only" "$target.setup-output.txt"; then
        say "FAILED: set-up did not refuse Debian $suite in one line"
        rc=1
    fi
    if [ "$(state_of_apt)" != "$before" ]; then
        say "FAILED: set-up changed the root's apt sources or architectures"
        rc=1
    else
        say "the root's apt sources and architectures are as they were"
    fi
    exit $rc
fi

say "what the root has of the project's tools:"
chroot "$target" /bin/bash -c 'for t in qemu-i386-static i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix wine Xvfb cmake ninja groff; do printf "    %s: %s\n" "$t" "$(command -v "$t" || echo missing)"; done'

sudo_=$([ $as_root = 1 ] || echo "sudo ")
if [ $as_root = 0 ]; then
    # Set-up without the network ends at the package lists, with apt's words.
    no_net_rc=0
    unshare --net "${runs[@]}" /usr/bin/env -i HOME="$home" PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        /bin/bash -c "cd $clone && sudo scripts/setup.sh" >"$target.no-network-output.txt" 2>&1 || no_net_rc=$?
    say "set-up without the network: status $no_net_rc; what it said:"
    sed 's/^/    /' "$target.no-network-output.txt"
    if [ $no_net_rc = 0 ] || ! grep -q '^setup: FAILED in step "apt-get update"' "$target.no-network-output.txt" ||
       ! grep -qE '^    (E|W|Err):' "$target.no-network-output.txt"; then
        say "FAILED: set-up without the network did not end at apt-get update with apt's words"
        rc=1
    fi
    # Set-up while another program holds the package database's lock (a POSIX record
    # lock on dpkg's front-end lock file, as apt takes it).
    chroot "$target" perl -e 'use Fcntl; $| = 1; open(my $f, ">>", "/var/lib/dpkg/lock-frontend") or die "open: $!";
        my $lock = pack("ssx4qqix4", F_WRLCK, 0, 0, 0, 0); fcntl($f, F_SETLK, $lock) or die "lock: $!";
        print "locked\n"; sleep 600' >"$target.locker.txt" 2>&1 &
    locker=$!
    for _ in $(seq 50); do grep -q locked "$target.locker.txt" && break; sleep 0.2; done
    if ! grep -q locked "$target.locker.txt"; then
        say "FAILED: could not hold the package database's lock: $(cat "$target.locker.txt")"
        exit 1
    fi
    lock_rc=0
    in_root locked "sudo scripts/setup.sh" || lock_rc=$?
    kill $locker 2>/dev/null; wait $locker 2>/dev/null || true
    say "set-up with the package database locked: status $lock_rc; what it said:"
    sed 's/^/    /' "$target.locked-output.txt"
    if [ $lock_rc = 0 ] || ! grep -q '^setup: FAILED in step "installing the missing packages"' "$target.locked-output.txt" ||
       ! grep -q 'lock' "$target.locked-output.txt"; then
        say "FAILED: set-up with the lock held did not end at the installation with apt's words"
        rc=1
    fi
fi

for cmd in "${sudo_}scripts/setup.sh" scripts/test.sh scripts/run.sh; do
    [ $rc = 0 ] || break
    [ $as_root = 1 ] && [ "$cmd" = scripts/setup.sh ] && continue
    name=$(basename "${cmd%.sh}")
    started=$SECONDS
    say "running '$cmd' in the root"
    cmd_rc=0
    in_root "$name" "$cmd" || cmd_rc=$?
    say "'$cmd' ended with status $cmd_rc after $((SECONDS - started)) s; its last lines:"
    tail -n 12 "$target.$name-output.txt" | sed 's/^/    /'
    [ $cmd_rc = 0 ] || rc=1
done
if [ $rc = 0 ]; then
    shot=$target$clone/build/run/screenshot.png
    if [ -s "$shot" ]; then say "screenshot: $shot"; else say "no screenshot at $shot"; rc=1; fi
fi
if [ $as_root = 0 ]; then
    owned=$(find "$target$clone" -not -user $uid | head -n 20)
    if [ -n "$owned" ]; then
        say "FAILED: these files under the clone do not belong to $user:"
        sed 's/^/    /' <<<"$owned"
        rc=1
    else
        say "everything under $clone belongs to $user ($(find "$target$clone" | wc -l) files and folders)"
    fi
fi
say "$([ $rc = 0 ] && echo passed || echo FAILED)"
exit $rc
}
