#!/bin/sh
# sh doc_links_test.sh ROOT
#
# Every relative link and image of ROOT/README.md and ROOT/docs/*.md must
# name a file or directory that exists, taken from the page's own
# directory, and a section that the page it leads to has: what follows a
# '#' must be the anchor of one of its headings, as GitHub makes them
# (lower case, spaces as hyphens, other punctuation dropped). A section of
# README named in the text (README's "Quick start") must be a heading of
# README.md. Code, fenced or in a span, holds no links. Names every link
# and every section that leads nowhere, and fails.
root=$1

# The text of the pages, code left out, one line a line: PAGE<tab>TEXT.
prose() {
    awk '
        FNR == 1 { fenced = 0; span = 0 }
        /^```/ { fenced = !fenced; next }
        fenced { next }
        /^$/ { span = 0 }
        {
            # A code span may go on over lines, within a paragraph.
            line = ""
            n = split($0, parts, "`")
            for (i = 1; i <= n; i++) {
                if (!span)
                    line = line parts[i]
                if (i < n)
                    span = !span
            }
            print FILENAME "\t" line
        }
    ' "$root/README.md" "$root"/docs/*.md
}

# anchors PAGE: the anchor of each heading of PAGE, one a line.
anchors() {
    awk '
        /^```/ { fenced = !fenced; next }
        fenced || !/^#+ / { next }
        {
            sub(/^#+ +/, "")
            heading = tolower($0)
            gsub(/[^a-z0-9 _-]/, "", heading)
            gsub(/ /, "-", heading)
            print heading
        }
    ' "$1"
}

# headings PAGE: the text of each heading of PAGE, one a line.
headings() {
    awk '/^```/ { fenced = !fenced; next } !fenced && /^#+ / { sub(/^#+ +/, ""); print }' "$1"
}

prose | awk -F '\t' '
    {
        line = $2
        while (match(line, /\]\([^)]*\)/)) {
            print "link\t" $1 "\t" substr(line, RSTART + 2, RLENGTH - 3)
            line = substr(line, RSTART + RLENGTH)
        }
        line = $2
        while (match(line, /README'"'"'s "[^"]*"/)) {
            print "section\t" $1 "\t" substr(line, RSTART + 10, RLENGTH - 11)
            line = substr(line, RSTART + RLENGTH)
        }
    }
' | {
    failed=0
    while IFS="	" read -r kind page target; do
        if [ "$kind" = section ]; then
            if ! headings "$root/README.md" | grep -qxF "$target"; then
                echo "$page: names README's \"$target\", which README.md has no heading for"
                failed=1
            fi
            continue
        fi
        case $target in
        http://* | https://* | mailto:*) continue ;;
        esac
        file=${target%%#*}
        linked=$(dirname "$page")/$file
        [ -n "$file" ] || linked=$page
        if [ ! -e "$linked" ]; then
            echo "$page: links to $target, which does not exist"
            failed=1
        elif [ "$file" != "$target" ] && ! anchors "$linked" | grep -qxF "${target#*#}"; then
            echo "$page: links to $target, but $(basename "$linked") has no such section"
            failed=1
        fi
    done
    exit $failed
}
