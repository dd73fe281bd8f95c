# Shared settings of the project's scripts (sourced, not run).
# VISTREL_BUILD_ROOT: where the build trees, the Wine prefix and the run folder live
# (default build/). The dependency prefix: VISTREL_DEPS (default build/deps).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${VISTREL_BUILD_ROOT:-$here/build}
case "$root" in /*) ;; *) root=$here/$root ;; esac
export VISTREL_BUILD_ROOT=$root
export VISTREL_DEPS=${VISTREL_DEPS:-$here/build/deps}
export WINEPREFIX=${WINEPREFIX:-$root/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# The 64-bit loader runs 64-bit programs itself and hands 32-bit ones to the 32-bit loader.
# WINE may also name a command on PATH (WINE=wine, as Wine's own helper scripts use it).
WINE=${WINE:-/usr/lib/wine/wine64}
case "$WINE" in
    */*) ;;
    *) WINE=$(command -v "$WINE" 2>/dev/null || echo "$WINE") ;;
esac
export WINE
export WINELOADER=${WINELOADER:-$WINE}
# Wine's 32-bit loader, which runs the shipped 32-bit build where the kernel can.
wine_loader32=/usr/lib/wine/wine

# Tests expect the formats of the C locale (a decimal point, English names); Wine takes
# its user locale from the host's. The tests about another locale set their own.
pin_test_locale() {
    export LC_ALL=C.UTF-8 LANG=C.UTF-8
    unset LANGUAGE
}

# How the shipped 32-bit build is checked on this host, decided once per run and kept
# in the environment for the scripts it starts:
#   VISTREL_32BIT=native     Wine runs 32-bit programs here: the i686 tree's tests run
#   VISTREL_32BIT=emulated   the kernel runs 64-bit programs only (or VISTREL_EMULATED=force):
#                            the 64-bit tree's tests, then tests/e2e/emulated-i686.sh
#   VISTREL_32BIT=unchecked  neither is possible; VISTREL_32BIT_WHY says why
# VISTREL_EMULATED: "force" takes the emulated path on any host; "0" never takes it (on
# a host without 32-bit support the 32-bit build then goes unchecked, and says so).
# Needs the Wine server of wine-session.sh (the probe runs a 32-bit program).
decide_32bit_path() {
    [ -n "${VISTREL_32BIT:-}" ] && return 0
    local mode=${VISTREL_EMULATED:-auto} probe="$root/i686/version_fixture.exe" out rc=0
    case "$mode" in
        force)
            VISTREL_32BIT=emulated
            VISTREL_32BIT_WHY="forced by VISTREL_EMULATED=force"
            export VISTREL_32BIT VISTREL_32BIT_WHY
            return 0 ;;
        auto | 0 | 1) ;;
        *)
            VISTREL_32BIT=unchecked
            VISTREL_32BIT_WHY="VISTREL_EMULATED=$mode is not understood (force, 0, or unset)"
            export VISTREL_32BIT VISTREL_32BIT_WHY
            return 0 ;;
    esac
    if [ ! -f "$probe" ]; then
        VISTREL_32BIT=unchecked
        VISTREL_32BIT_WHY="$probe is missing (scripts/build.sh makes it)"
    elif [ ! -e "$wine_loader32" ]; then
        VISTREL_32BIT=unchecked
        VISTREL_32BIT_WHY="Wine's 32-bit loader $wine_loader32 is missing (package wine32:i386; scripts/setup.sh installs it)"
    elif ! out=$("$wine_loader32" --version 2>&1 </dev/null); then
        if grep -q 'Exec format error' <<<"$out"; then
            # The kernel refuses the loader itself: a host that runs 64-bit code only.
            VISTREL_32BIT=emulated
            VISTREL_32BIT_WHY="this kernel does not run 32-bit programs ($wine_loader32: Exec format error)"
        else
            VISTREL_32BIT=unchecked
            VISTREL_32BIT_WHY="Wine's 32-bit loader does not start: $(tail -n 1 <<<"$out")"
        fi
    else
        # The loader runs: a 32-bit program must run too. The prefix is ready, so a
        # start takes well under a second; the bound is for a loaded machine.
        out=$(timeout 90 "$WINE" "$probe" </dev/null 2>&1) || rc=$?
        if [ $rc = 0 ]; then
            VISTREL_32BIT=native
            VISTREL_32BIT_WHY="Wine runs 32-bit programs here ($(basename "$probe") ran)"
        else
            VISTREL_32BIT=unchecked
            VISTREL_32BIT_WHY="Wine's 32-bit loader runs, but $(basename "$probe") failed with status $rc$([ $rc = 124 ] && echo " (no end within 90 s)"): $(tail -n 1 <<<"$out")"
        fi
    fi
    if [ "$VISTREL_32BIT" = emulated ] && [ "$mode" = 0 ]; then
        VISTREL_32BIT=unchecked
        VISTREL_32BIT_WHY="$VISTREL_32BIT_WHY, and VISTREL_EMULATED=0 skips the emulated check"
    fi
    export VISTREL_32BIT VISTREL_32BIT_WHY
}

# The build tree whose Vistrel.exe runs here under Wine without an emulator.
runnable_tree() {
    decide_32bit_path
    if [ "$VISTREL_32BIT" = native ]; then echo "$root/i686"; else echo "$root/x86_64"; fi
}

# Wine's own fonts (package fonts-wine, in /usr/share/wine/fonts) are not found by
# Debian's Wine 8: it looks for them under "<data folder>/../fonts", a path it cannot
# resolve, and fontconfig does not index that folder. Without them "Marlett", the symbol
# font of the navigation arrows, falls back to a text font and the arrows show as the
# letters "3 g 4". A font file in the prefix's own Fonts folder is read by every Wine
# process, so the fonts the program names are copied there.
install_prefix_fonts() {
    local fonts="$WINEPREFIX/drive_c/windows/Fonts" dir file
    mkdir -p "$fonts"
    for file in marlett.ttf; do
        [ -f "$fonts/$file" ] && continue
        for dir in /usr/share/wine/fonts /usr/share/fonts/truetype/wine /usr/local/share/wine/fonts; do
            if [ -f "$dir/$file" ]; then
                cp "$dir/$file" "$fonts/$file"
                break
            fi
        done
        [ -f "$fonts/$file" ] || echo "wine-session: $file not found (install fonts-wine)" >&2
    done
    return 0
}
