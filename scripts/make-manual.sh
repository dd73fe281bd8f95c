#!/usr/bin/env bash
# Makes the user's manual, "Vistrel Manual.pdf", from the README: its sections for a
# Windows user, turned into groff's ms macros (scripts/readme-to-ms.awk) and set as PDF
# by groff (package groff, which scripts/setup.sh installs).
#   scripts/make-manual.sh <README.md> <output.pdf> <version> <sections>
# Sections: the titles of the README's level-2 sections that the manual holds, separated
# by "|" (CMakeLists.txt names them). The ms text is kept beside the PDF (<output>.ms).
# A section missing from the README, or any complaint of groff, fails the script.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
readme=$1 out=$2 version=$3 sections=$4

if ! command -v groff >/dev/null 2>&1 || ! command -v gropdf >/dev/null 2>&1; then
    echo "make-manual: groff's PDF output is missing (package groff; run 'sudo scripts/setup.sh')" >&2
    exit 1
fi
ms="$out.ms"
LC_ALL=C.UTF-8 awk -v sections="$sections" -v version="$version" -f "$here/readme-to-ms.awk" "$readme" >"$ms.part"
mv "$ms.part" "$ms"
warnings="$out.warnings"
# -k: the text is UTF-8 (preconv); -ww: every warning; -mpdf: the outline entries of the
# headings (gropdf's bookmarks).
groff -k -ww -Tpdf -ms -mpdf -P-pa4 -dpaper=a4 "$ms" >"$out.part" 2>"$warnings" || {
    echo "make-manual: groff failed:" >&2
    cat "$warnings" >&2
    rm -f "$out.part"
    exit 1
}
if [ -s "$warnings" ]; then
    echo "make-manual: groff complained about $ms:" >&2
    cat "$warnings" >&2
    rm -f "$out.part"
    exit 1
fi
rm -f "$warnings"
mv "$out.part" "$out"
