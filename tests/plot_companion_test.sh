#!/bin/sh
# Runs tools/plot_companion on saved JSON of distribute_bench and checks
# what it writes and what it refuses:
#
#     plot_companion_test.sh TOOL SAMPLE_DIRECTORY
#
# Samples: companion.json is a run trimmed by hand to three placements of
# the four families at N = 1024 and 2^20, two repeats of a placement 0,
# one peer with a repeat, a peer that failed, a few destination entries of
# the router and the floor and a repeat of one, one of a peer and one of
# batch routing, a connect entry, the fitted complexity, one placement run
# twice with its mean, the threaded entries of two families at one and two
# threads, one in two rounds, one with changes, and two on the destination
# axis, a change entry, three families of the routers axis, one in two
# rounds, and objects that come and go: a run of cycles and one of changes
# of the concurrent router, and a run of Signals2's cycles at two threads;
# other_program.json is the JSON of another Google Benchmark program;
# garbage.txt is console output.
# Exits 77, which CTest reports as a skip, without gnuplot or xmllint.
set -u
tool=$1
samples=$2

for needed in gnuplot xmllint; do
    command -v "$needed" >/dev/null || { echo "plot_companion_test: skipped: $needed is not installed" >&2; exit 77; }
done

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Runs the tool, leaving its status in $status and its standard error in
# $work/err.
plot() {
    "$tool" "$@" >"$work/out" 2>"$work/err"
    status=$?
    [ -s "$work/out" ] && fail "plot_companion $*: wrote to standard output: $(cat "$work/out")"
}

# Copies the complete sample to $1, keeping only the benchmark entries
# whose names match the pattern $2.
keep_entries() {
    awk -v keep="$2" '
        /^    \{$/ { entry = $0; inside = 1; next }
        inside { entry = entry "\n" $0 }
        inside && /^      "name": / { kept = $0 ~ keep }
        inside && /^    \},?$/ {
            inside = 0
            sub(/,$/, "", entry)
            if (kept)
                entries = entries (entries == "" ? "" : ",\n") entry
        }
        inside || /^    \},?$/ { next }
        /^  \]$/ { print entries }
        { print }
    ' "$samples/companion.json" >"$1"
}

# $1 SVG file, $2 the number of dots drawn in the plot, $3 the number of
# entries in its key: each dot is one use of the filled circle, and each
# entry of the key shows one more.
expect_dots() {
    xmllint --noout "$1" 2>"$work/xml" || fail "$1 is not well-formed XML: $(head -n 1 "$work/xml")"
    drawn=$(grep -o "xlink:href='#gpPt6'" "$1" | wc -l)
    [ "$drawn" -eq $(($2 + $3)) ] || fail "$1 draws $drawn dots, not $2 and $3 in the key"
}

expect_refusal() {
    # $1 what the line must contain, $2 the file
    plot "$2"
    [ "$status" -eq 1 ] || fail "$2: status $status, not 1"
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "$2: not one line on standard error: $(cat "$work/err")"
    grep -q "^plot_companion: .*$1" "$work/err" || fail "$2: \"$(cat "$work/err")\" does not say \"$1\""
    ls "$2".* >/dev/null 2>&1 && fail "$2: left a chart or table behind"
}

# The complete sample: both charts, the failed peer said and left out.
cp "$samples/companion.json" "$work/run.json"
plot "$work/run.json"
[ "$status" -eq 0 ] || fail "complete sample: status $status: $(cat "$work/err")"
[ "$(cat "$work/err")" = "plot_companion: warning: left signals2_first_taker/1048576 out: it failed in the run: Boost.Signals2 is not in this build" ] ||
    fail "complete sample: not the one warning of the failed peer: $(cat "$work/err")"
# Twelve placements, two repeats, the peer and its repeat; one key entry.
expect_dots "$work/run.json.placements.svg" 16 1
# A bar for the median of each of the four families' placements, of the
# repeats of the router and of the peer, one in the key: the bars are the
# moves of the median's path.
bars=$(xmllint --xpath "//*[local-name()='g'][*[local-name()='title']='median of the row']//*[local-name()='path']/@d" \
       "$work/run.json.placements.svg" 2>/dev/null | grep -o M | wc -l)
[ "$bars" -eq 7 ] || fail "placements chart: $bars median bars with the key's, not 6 and 1"
for row in "router_distribute/placement:0/repeat,2,6,6.5,7" "sigc_first_taker,,12.5,12.5,12.5" "sigc_first_taker/repeat,1,14,14,14"; do
    grep -qx "$row" "$work/run.json.placements.csv" || fail "placements table: no row $row: $(cat "$work/run.json.placements.csv")"
done
# function_chain's placement 1 ran twice, at 7 and 9 ns per value: it is
# charted at 8, the median of 6, 8 and 10.
grep -qx "function_chain,3,6,8,10" "$work/run.json.placements.csv" ||
    fail "placements table: no row function_chain,3,6,8,10: $(cat "$work/run.json.placements.csv")"
# A panel of the router's three lines, one of them dashed, one of the peer
# and one of batch routing, each with the floor's line of two points: ten
# points, four of the floor again, and seven key entries. A point and its
# repeat are one point, at their median.
expect_dots "$work/run.json.destinations.svg" 14 7
grep -qx "router_distribute,none,64,178" "$work/run.json.destinations.csv" ||
    fail "destinations table: no row router_distribute,none,64,178: $(cat "$work/run.json.destinations.csv")"
grep -q "stroke-dasharray" "$work/run.json.destinations.svg" || fail "destinations chart: no dashed line"

# Five points on three lines, the one with changes dashed; a point of two
# rounds is charted at their median.
expect_dots "$work/run.json.threads.svg" 5 3
for row in "concurrent_router_threads,1024,0,2,2.1e+08" "concurrent_router_threads,1024,10000,2,1.8e+08"; do
    grep -qx "$row" "$work/run.json.threads.csv" || fail "threads table: no row $row: $(cat "$work/run.json.threads.csv")"
done
[ "$(grep "stroke-dasharray" "$work/run.json.threads.svg" | grep -vc gridline)" -eq 1 ] ||
    fail "threads chart: not one dashed line"
# The threaded families on the destination axis: two points, a line each.
expect_dots "$work/run.json.thread_destinations.svg" 2 2
grep -qx "concurrent_router_threads,64,random,2,3e+07" "$work/run.json.thread_destinations.csv" ||
    fail "thread destinations table: no row of the axis: $(cat "$work/run.json.thread_destinations.csv")"
# Three families at one number of routers, one of them in two rounds.
expect_dots "$work/run.json.routers.svg" 3 3
grep -qx "concurrent_router_distribute,10000,7" "$work/run.json.routers.csv" ||
    fail "routers table: no row concurrent_router_distribute,10000,7: $(cat "$work/run.json.routers.csv")"
# Objects: a run of changes is two lines, one of connects and one of
# disconnects; the line of two threads is dashed.
expect_dots "$work/run.json.changes.svg" 4 4
for row in "concurrent_router_objects,disconnects,1,2,3e+06" "signals2_objects,cycles,2,2,600000"; do
    grep -qx "$row" "$work/run.json.changes.csv" || fail "changes table: no row $row: $(cat "$work/run.json.changes.csv")"
done
[ "$(grep "stroke-dasharray" "$work/run.json.changes.svg" | grep -vc gridline)" -eq 1 ] ||
    fail "changes chart: not one dashed line"

# Every series of the run $1, just charted, has its named line, or row, in
# its chart. From an entry's name: the chart and the label it is drawn
# under, or nothing for the kinds not charted: connecting, a change of one
# concurrent router, timed_test1c's work at sizes other than 2^20,
# aggregates, and an entry that failed in the run, which the tool names in
# its warning.
expect_named_lines() {
    sed -n 's/^plot_companion: warning: left \(.*\) out: .*/\1/p' "$work/err" >"$work/left_out"
    sed -n 's|^ *"name": "\(.*\)",$|\1|p' "$1" | grep -vxF -f "$work/left_out" | awk '
        function say(chart, label) { print chart "\t" label }
        /_connect\/|\/routing_threads:|_(mean|median|stddev|cv|BigO|RMS)$/ { next }
        { n = split($0, part, "/"); family = part[1] }
        part[2] ~ /^producers:/ { say("producers", family ", " part[3]); next }
        family ~ /_latency$/ {
            sub(/_latency$/, "", family)
            say("producers", family ", " part[3] ", median")
            say("producers", family ", " part[3] ", 99th percentile")
            next
        }
        part[n] ~ /^threads:/ {
            threads = substr(part[n], length("threads:") + 1)
            threads = threads " thread" (threads == 1 ? "" : "s")
            if (part[3] == "cycles")
                say("changes", family ", cycles, " threads)
            else if (part[3] == "changes") {
                say("changes", family ", connects, " threads)
                say("changes", family ", disconnects, " threads)
            } else if (part[2] ~ /^destinations:/)
                say("thread_destinations", family ", " part[2] ", " part[3])
            else if (part[2] ~ /^churn:/)
                say("threads", family ", " substr(part[2], length("churn:") + 1) " changes/s")
            else
                say("threads", family)
            next
        }
        part[2] ~ /^routers:/ { say("routers", family); next }
        part[2] ~ /^destinations:/ { say("destinations", family ", " part[3]); next }
        part[n] != 1048576 { next }
        part[2] ~ /^placement:/ { say("placements", family (part[3] ~ /^repeat:/ ? "/placement:0/repeat" : "")); next }
        part[2] ~ /^repeat:/ { say("placements", family "/repeat"); next }
        n == 2 { say("placements", family); next }
        { say("no chart", $0) }
    ' | sort -u | while IFS="$(printf '\t')" read -r chart label; do
        grep -qF "<text>$label</text>" "$1.$chart.svg" 2>/dev/null || echo "$chart: $label"
    done >"$work/unnamed"
    [ -s "$work/unnamed" ] && fail "$1: no named line for $(tr '\n' ';' <"$work/unnamed")"
}
expect_named_lines "$work/run.json"

# A run filtered to the destination axis: its charts alone, and the
# placements and threads charts of the earlier run removed.
keep_entries "$work/run.json" "destinations:.*taker"
plot "$work/run.json"
[ "$status" -eq 0 ] || fail "destinations only: status $status: $(cat "$work/err")"
[ -e "$work/run.json.placements.svg" ] && fail "destinations only: the earlier placements chart is still there"
[ -e "$work/run.json.threads.svg" ] && fail "destinations only: the earlier threads chart is still there"
expect_dots "$work/run.json.destinations.svg" 14 7
expect_dots "$work/run.json.thread_destinations.svg" 2 2

# The producers axis alone (producers.json: a brief run of two queues at
# 1 and 2 posting threads, and their latency at 3 and 64 destinations):
# its chart and table, and no other. A throughput panel of two lines of
# two points and a latency panel of four, each line named in the key.
cp "$samples/producers.json" "$work/producers.json"
plot "$work/producers.json"
[ "$status" -eq 0 ] || fail "producers: status $status: $(cat "$work/err")"
[ -e "$work/producers.json.threads.svg" ] && fail "producers: drew a threads chart"
expect_dots "$work/producers.json.producers.svg" 12 6
for label in "inbox, destinations:3" "mutex_deque, destinations:3" "inbox, value:int, median" \
    "inbox, value:int, 99th percentile" "mutex_deque, value:int, median" "mutex_deque, value:int, 99th percentile"; do
    grep -qF "<text>$label</text>" "$work/producers.json.producers.svg" || fail "producers chart: no key entry $label"
done
expect_named_lines "$work/producers.json"
for row in "inbox,values_per_second,3,int,2,2.5e+07" "inbox,median_us,3,int,1,5" "inbox,p99_us,3,int,1,40"; do
    grep -qx "$row" "$work/producers.json.producers.csv" ||
        fail "producers table: no row $row: $(cat "$work/producers.json.producers.csv")"
done

mkdir "$work/a_directory"
expect_refusal "is a directory" "$work/a_directory"
cp "$samples/garbage.txt" "$work/garbage.txt"
expect_refusal "line 1 is not in the JSON layout of Google Benchmark" "$work/garbage.txt"
cp "$samples/other_program.json" "$work/other.json"
expect_refusal "holds benchmark BM_memcpy/64, which distribute_bench does not run" "$work/other.json"
awk '!renamed && /"values"/ { sub(/"values"/, "\"items\""); renamed = 1 } { print }' \
    "$samples/companion.json" >"$work/no_values.json"
expect_refusal "router_distribute/placement:0/1024 has no \"values\" counter" "$work/no_values.json"
keep_entries "$work/connect_only.json" "_connect/"
expect_refusal "holds no placement .*, destination, threaded, routers, objects or producers entries of distribute_bench" \
    "$work/connect_only.json"

plot
[ "$status" -eq 2 ] || fail "no argument: status $status, not 2"
grep -q "^usage: plot_companion FILE" "$work/err" || fail "no argument: no usage line"

[ "$failures" -eq 0 ] || { echo "$failures checks failed" >&2; exit 1; }
echo "plot_companion_test: all checks passed"
