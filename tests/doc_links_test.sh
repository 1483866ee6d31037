#!/bin/sh
# sh doc_links_test.sh ROOT
#
# Every relative link and image of ROOT/README.md and ROOT/docs/*.md must
# name a file or directory that exists, taken from the page's own
# directory; what follows a '#' is left alone. Code, fenced or in a span,
# holds no links. Names every link that leads nowhere, and fails.
root=$1
awk '
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
        while (match(line, /\]\([^)]*\)/)) {
            print FILENAME "\t" substr(line, RSTART + 2, RLENGTH - 3)
            line = substr(line, RSTART + RLENGTH)
        }
    }
' "$root/README.md" "$root"/docs/*.md | {
    failed=0
    while IFS="	" read -r page target; do
        case $target in
        http://* | https://* | mailto:* | \#*) continue ;;
        esac
        if [ ! -e "$(dirname "$page")/${target%%#*}" ]; then
            echo "$page: links to $target, which does not exist"
            failed=1
        fi
    done
    exit $failed
}
