#!/bin/sh
# sh readme_code_test.sh ROOT EXAMPLE.cpp...
#
# Every C++ block of ROOT/README.md and ROOT/docs/*.md must come from one
# of the examples, which are built and run: each of its lines, in order, is
# a line of that file, perhaps with lines between them. Lines compare with
# their indentation dropped and their runs of blanks as one, so a page may
# align comments its own way. README's first block is a whole program:
# every line of its example, nothing left out. Names every block that comes
# from none, and fails.
root=$1
shift
awk '
    function normal(line) {
        gsub(/[ \t]+/, " ", line)
        sub(/^ /, "", line)
        sub(/ $/, "", line)
        return line
    }
    # Whether block is, line by line and in order, in example e.
    function found_in(e,    i, at) {
        if (whole && block_lines != lines[e])
            return 0
        at = 1
        for (i = 1; i <= block_lines; i++) {
            while (at <= lines[e] && text[e, at] != block[i])
                at++
            if (at > lines[e])
                return 0
            at++
        }
        return 1
    }
    FILENAME !~ /\.md$/ {
        if (FNR == 1)
            examples++
        if (normal($0) != "")
            text[examples, ++lines[examples]] = normal($0)
        next
    }
    /^```cpp$/ {
        inside = 1; block_lines = 0; first = FNR
        whole = FILENAME ~ /README\.md$/ && ++readme_blocks == 1
        next
    }
    inside && /^```$/ {
        inside = 0
        for (e = 1; e <= examples; e++) {
            if (found_in(e))
                next
        }
        printf "%s:%d: this C++ block comes from no example%s\n", FILENAME, first,
               whole ? ", whole" : ""
        failed = 1
        next
    }
    inside && normal($0) != "" { block[++block_lines] = normal($0) }
    END { exit failed }
' "$@" "$root/README.md" "$root"/docs/*.md
