#!/bin/sh
# Runs tools/plot on saved outputs of timed_test1c and checks what it
# writes and what it refuses:   plot_test.sh TOOL SAMPLE_DIRECTORY
#
# Samples: complete.txt is a whole run under the counting clock the
# end-to-end test preloads; cut_short.txt is the start of a real run, cut
# after nine sizes and a baseline line, edited to hold the figures a busy
# machine prints (zero and negative nets, inf, -nan and a ratio wider than
# its column); garbage.txt is the text of another program.
# Exits 77, which CTest reports as a skip, without gnuplot or xmllint.
set -u
tool=$1
samples=$2

for needed in gnuplot xmllint; do
    command -v "$needed" >/dev/null || { echo "plot_test: skipped: $needed is not installed" >&2; exit 77; }
done

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Runs the tool on $1, leaving its status in $status and its standard
# error in $work/err.
plot() {
    "$tool" "$@" >"$work/out" 2>"$work/err"
    status=$?
    [ -s "$work/out" ] && fail "plot $*: wrote to standard output: $(cat "$work/out")"
}

expect_line() {
    # $1 file, $2 line number, $3 the line it must be
    actual=$(sed -n "$2p" "$1")
    [ "$actual" = "$3" ] || fail "$1 line $2 is \"$actual\", not \"$3\""
}

expect_chart() {
    # $1 SVG file, $2 number of points charted
    xmllint --noout "$1" 2>"$work/xml" || fail "$1 is not well-formed XML: $(head -n 1 "$work/xml")"
    for text in "timed_test1c: net time of one pass over N values" "N (values routed)" \
                "net time of one pass (ms)" "slope 1"; do
        grep -q "$text" "$1" || fail "$1 has no text \"$text\""
    done
    grep -q "stroke-dasharray" "$1" || fail "$1 has no dashed line"
    # Each charted point is drawn as one use of the point symbol, and one
    # more stands in the key.
    drawn=$(grep -o "xlink:href='#gpPt6'" "$1" | wc -l)
    [ "$drawn" -eq $(($2 + 1)) ] || fail "$1 draws $drawn point symbols, not $2 points and one in the key"
}

# Refusals: status 1, one line on standard error naming the problem, and
# no chart left behind.
expect_refusal() {
    # $1 what the line must contain, then the tool's arguments
    wanted=$1
    shift
    plot "$@"
    [ "$status" -eq 1 ] || fail "plot $*: status $status, not 1"
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "plot $*: not one line on standard error: $(cat "$work/err")"
    grep -q "^plot: .*$wanted" "$work/err" || fail "plot $*: \"$(cat "$work/err")\" does not say \"$wanted\""
    [ -e "$1.svg" ] && fail "plot $*: left a chart behind"
}

# A complete run: every size in the CSV exactly as printed, and charted.
cp "$samples/complete.txt" "$work/complete.txt"
plot "$work/complete.txt"
[ "$status" -eq 0 ] || fail "complete run: status $status"
[ -s "$work/err" ] && fail "complete run: wrote to standard error: $(cat "$work/err")"
[ "$(wc -l <"$work/complete.txt.csv")" -eq 22 ] || fail "complete run: the CSV is not a header and 21 rows"
expect_line "$work/complete.txt.csv" 1 "N,baseline_ms,net_ms,ratio"
expect_line "$work/complete.txt.csv" 2 "1,21.7391,0.4831,"
expect_line "$work/complete.txt.csv" 3 "2,22.7273,0.5285,1.0941"
expect_line "$work/complete.txt.csv" 22 "1048576,166.6667,33.3333,1.8667"
expect_chart "$work/complete.txt.svg" 21

# A run cut short, with figures a log scale cannot show: all nine complete
# sizes in the CSV, four of them left out of the chart, and both said.
cp "$samples/cut_short.txt" "$work/cut_short.txt"
plot "$work/cut_short.txt"
[ "$status" -eq 0 ] || fail "cut short run: status $status"
cat >"$work/expected.csv" <<'EOF'
N,baseline_ms,net_ms,ratio
1,4.45997e-06,0.0000,
2,0.0000,-0.0000,-nan
4,0.0000,0.0000,inf
8,0.0001,0.0001,113592.1044
16,0.0000,-0.0002,-2.0000
32,0.0000,0.0003,-1.5000
64,0.0000,0.0006,2.0000
128,0.0000,0.0012,2.0000
256,0.0000,0.0025,2.0833
EOF
cmp -s "$work/expected.csv" "$work/cut_short.txt.csv" ||
    fail "cut short run: the CSV differs: $(diff "$work/expected.csv" "$work/cut_short.txt.csv" | tr '\n' ' ')"
grep -q "^plot: warning: .* is a run cut short: 9 of 21 sizes" "$work/err" ||
    fail "cut short run: no warning of the missing sizes: $(cat "$work/err")"
grep -q "^plot: left 4 of 9 sizes out of the chart" "$work/err" ||
    fail "cut short run: no count of the sizes left out: $(cat "$work/err")"
[ "$(wc -l <"$work/err")" -eq 2 ] || fail "cut short run: not two lines on standard error: $(cat "$work/err")"
expect_chart "$work/cut_short.txt.svg" 5

# Files that are not, or not wholly, the program's output.
expect_refusal "cannot read" "$work/missing.txt"
expect_refusal "is a directory" "$work"
: >"$work/empty.txt"
expect_refusal "has no result lines" "$work/empty.txt"
head -n 6 "$samples/complete.txt" >"$work/banner_only.txt"
expect_refusal "has no result lines" "$work/banner_only.txt"
cp "$samples/garbage.txt" "$work/garbage.txt"
expect_refusal "line 1 is not the banner" "$work/garbage.txt"
sed '9s/^ //' "$samples/complete.txt" >"$work/shifted.txt"
expect_refusal "line 9 is not in the columns" "$work/shifted.txt"
sed '10,11d' "$samples/complete.txt" >"$work/size_missing.txt"
expect_refusal "line 11 is not the result line of timed_test1c for N = 4" "$work/size_missing.txt"
sed '7s/ms $/ms   1.0000/' "$samples/complete.txt" >"$work/first_ratio.txt"
expect_refusal "line 7 has a ratio where" "$work/first_ratio.txt"
sed '13s/ms .*/ms/' "$samples/complete.txt" >"$work/no_ratio.txt"
expect_refusal "line 13 is not the result line" "$work/no_ratio.txt"
{ cat "$samples/complete.txt"; echo "Baseline time: 0.0000"; } >"$work/too_long.txt"
expect_refusal "line 48 follows a complete run" "$work/too_long.txt"

# Nothing to chart: the CSV is still written, but the chart is not, and
# the last word is a failure.
head -n 10 "$samples/cut_short.txt" >"$work/all_zero.txt"
plot "$work/all_zero.txt"
[ "$status" -eq 1 ] || fail "nothing to chart: status $status, not 1"
tail -n 1 "$work/err" | grep -q "^plot: .*nothing to chart" || fail "nothing to chart: not said: $(cat "$work/err")"
[ "$(wc -l <"$work/all_zero.txt.csv")" -eq 3 ] || fail "nothing to chart: the CSV was not kept"
[ -e "$work/all_zero.txt.svg" ] && fail "nothing to chart: a chart was written"

plot
[ "$status" -eq 2 ] || fail "no argument: status $status, not 2"
grep -q "^usage: plot FILE" "$work/err" || fail "no argument: no usage line"

[ "$failures" -eq 0 ] || { echo "$failures checks failed" >&2; exit 1; }
echo "plot_test: all checks passed"
