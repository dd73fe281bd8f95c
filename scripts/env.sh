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
