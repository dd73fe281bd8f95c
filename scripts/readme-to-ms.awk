# The README's sections for a Windows user as a groff ms document (for the PDF manual).
#   awk -v sections="Title one|Title two" -v version=1.2.3.4 -f readme-to-ms.awk README.md
# Takes the level-2 sections ("## ") named in `sections`, with their level-3 subsections,
# and understands the Markdown the README uses: paragraphs, "- " and "1. " list items
# with indented continuation lines, code blocks indented by four blanks after an empty
# line, `code` and **bold** inside a line. A named section that the README lacks ends
# the conversion with status 1.

function escape(s) {
    gsub(/\\/, "\\(rs", s)
    return s
}

# `code` in a fixed-width font, not hyphenated; **bold** in bold.
function inline(s,    out, i, j, code) {
    s = escape(s)
    out = ""
    while ((i = index(s, "`")) > 0) {
        j = index(substr(s, i + 1), "`")
        if (j == 0) break
        code = substr(s, i + 1, j - 1)
        out = out substr(s, 1, i - 1) "\\f(CR\\%" code "\\fP"
        s = substr(s, i + j + 1)
    }
    s = out s
    while (match(s, /\*\*[^*]+\*\*/)) {
        s = substr(s, 1, RSTART - 1) "\\fB" substr(s, RSTART + 2, RLENGTH - 4) "\\fP" substr(s, RSTART + RLENGTH)
    }
    # A line that starts with a period or an apostrophe would be read as a request.
    if (s ~ /^[.']/) s = "\\&" s
    return s
}

# A numbered heading, with an entry in the PDF's outline.
function heading(level, title,    plain) {
    plain = title
    gsub(/[`*"]/, "", plain)
    print ".NH " level
    print inline(title)
    print ".pdfbookmark " level " \"" plain "\""
}

function end_code() {
    if (state == "code") {
        print ".fi"
        print ".ps"
        print ".vs"
        print ".DE"
    }
}

BEGIN {
    n = split(sections, names, "|")
    for (k = 1; k <= n; k++) wanted[names[k]] = 1
    print ".\\\" Made from the README by scripts/readme-to-ms.awk; edit the README instead."
    print ".nr PS 11"
    print ".nr VS 14"
    print ".nr PI 2n"
    print ".nr PD 0.4v"
    print ".ds CH"
    print ".ds CF \\\\n[%]"
    print ".TL"
    print "Vistrel Manual"
    print ".AU"
    print "Version " version
    print ".LP"
    on = 0
    state = "none"
    blank = 1
}

/^## / {
    end_code()
    title = substr($0, 4)
    on = (title in wanted)
    if (on) {
        found[title] = 1
        heading(1, title)
    }
    state = "none"
    blank = 1
    next
}

!on { next }

/^### / {
    end_code()
    heading(2, substr($0, 5))
    state = "none"
    blank = 1
    next
}

/^[ \t]*$/ {
    if (state == "code") { code_blanks++; next }
    if (state == "item") state = "after-item"
    else if (state != "after-item") state = "none"
    blank = 1
    next
}

# A code block: four blanks after an empty line, or the next line of one.
state == "code" || (blank && /^    / && state != "item") {
    if ($0 !~ /^    /) {
        # The first line after the block: the block ends, the line is read anew below.
        end_code()
        state = "none"
    } else {
        if (state != "code") {
            print ".DS L"
            print ".ft CR"
            print ".ps 9"
            print ".vs 11"
            print ".nf"
            state = "code"
            code_blanks = 0
        }
        for (; code_blanks > 0; code_blanks--) print ""
        line = escape(substr($0, 5))
        if (line ~ /^[.']/) line = "\\&" line
        print line
        blank = 0
        next
    }
}

/^- / {
    print ".IP \\(bu 2"
    print inline(substr($0, 3))
    state = "item"
    blank = 0
    next
}

/^[0-9]+\. / {
    number = $0
    sub(/\. .*/, "", number)
    text = $0
    sub(/^[0-9]+\. /, "", text)
    print ".IP " number ". 3"
    print inline(text)
    state = "item"
    blank = 0
    next
}

# A continuation line of a list item.
/^  +[^ ]/ && (state == "item" || state == "after-item") {
    text = $0
    sub(/^ +/, "", text)
    if (state == "after-item") print ".sp 0.4v"
    print inline(text)
    state = "item"
    blank = 0
    next
}

{
    if (state != "para") print ".PP"
    text = $0
    sub(/^ +/, "", text)
    print inline(text)
    state = "para"
    blank = 0
}

END {
    end_code()
    missing = ""
    for (k = 1; k <= n; k++)
        if (!(names[k] in found)) missing = missing " \"" names[k] "\""
    if (missing != "") {
        print "readme-to-ms: the README has no section" missing > "/dev/stderr"
        exit 1
    }
}
