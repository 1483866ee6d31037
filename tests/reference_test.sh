#!/bin/sh
# sh reference_test.sh ROOT
#
# Every public member function of a class of the library's headers
# (ROOT/routing/vessa/*.hpp; namespace detail and the out-of-class
# definitions of nested classes aside) must appear in ROOT/docs/reference.md
# as its name followed by '('. Names every one that is missing, and fails.
root=$1
reference=$root/docs/reference.md
if [ ! -f "$reference" ]; then
    echo "$reference: missing"
    exit 1
fi
awk '
    FNR == 1 { depth = 0; detail = 0; in_class = 0 }
    /^namespace detail \{/ { detail = 1 }
    /^\} \/\/ namespace detail/ { detail = 0 }
    # A class or struct at the top of the namespace: members are indented
    # by four spaces; a struct starts public, a class private.
    # Not the definition of a nested class, out of its class: mechanics.
    /^(class|struct) / && !/;$/ && !/^[a-z ]+[a-z_]+<[^>]*>::/ {
        in_class = 1
        name = $0
        sub(/^(class|struct) (\[\[[a-z]+\]\] )?/, "", name)
        sub(/[ :{].*/, "", name)
        public = ($1 == "struct")
        next
    }
    /^};/ { in_class = 0; next }
    in_class && /^public:/ { public = 1; next }
    in_class && /^(private|protected):/ { public = 0; next }
    in_class && public && !detail && /^    [^ \/]/ && !/^    (template|using|friend|static constexpr|class|struct|enum)/ {
        line = $0
        if (!match(line, /[A-Za-z_~][A-Za-z_0-9]*\(/))
            next
        member = substr(line, RSTART, RLENGTH - 1)
        if (member == name || member == "~" name || member ~ /^operator/)
            next
        print FILENAME "\t" name "\t" member
    }
' "$root"/routing/vessa/*.hpp | sort -u | {
    failed=0
    while IFS="	" read -r header class member; do
        if ! grep -qE -- "(^|[^A-Za-z0-9_])$member\\(" "$reference"; then
            echo "$(basename "$header"): $class::$member is not in docs/reference.md"
            failed=1
        fi
    done
    exit $failed
}
