# Shared settings of the project's scripts (sourced, not run).
# VISTREL_BUILD_ROOT: where the build trees, the Wine prefix and the run folder live
# (default build/). The dependency prefix is shared: VISTREL_DEPS (default build/deps).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${VISTREL_BUILD_ROOT:-$here/build}
case "$root" in /*) ;; *) root=$here/$root ;; esac
export VISTREL_BUILD_ROOT=$root
export VISTREL_DEPS=${VISTREL_DEPS:-$here/build/deps}
export WINEPREFIX=${WINEPREFIX:-$root/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# The 64-bit loader runs 64-bit programs itself and hands 32-bit ones to the 32-bit loader.
export WINE=${WINE:-/usr/lib/wine/wine64}
export WINELOADER=${WINELOADER:-$WINE}

# True when this host can run 32-bit Windows programs under Wine (some kernels run
# 64-bit user code only). Needs the Wine server of wine-session.sh.
can_run_32bit() {
    [ -f "$root/i686/version_fixture.exe" ] || return 1
    timeout 30 "$WINE" "$root/i686/version_fixture.exe" </dev/null >/dev/null 2>&1
}

# The build tree whose Vistrel.exe runs here: the 32-bit one where possible.
runnable_tree() {
    if can_run_32bit; then echo "$root/i686"; else echo "$root/x86_64"; fi
}
