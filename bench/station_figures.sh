#!/usr/bin/env bash
# Figures of the station against simulated phones: N phones at N positions, one cycle each, all
# slots started at once. Prints the span from the first cycle's start to the last one's end (from
# the results file), the mean cycle, the station's CPU time (user + system) per phone and its peak
# memory (maximum resident set) next to the size of the package's Android images.
#
#   bench/station_figures.sh BUILD_DIR PHONES [SCALE] [ANDROID_MB]
#
# SCALE is the time scale (0.02 as in the demo); ANDROID_MB sizes the synthetic package (1).
set -euo pipefail
BUILD=$(cd "${1:?usage: station_figures.sh BUILD_DIR PHONES [SCALE] [ANDROID_MB]}" && pwd)
PHONES=${2:?phones}
SCALE=${3:-0.02}
MB=${4:-1}
CLI="$BUILD/cli/tarnwell-cli"
SIM="$BUILD/phonesim/phonesim"
WORK=$(mktemp -d /tmp/tarnwell-figures-XXXXXX)
SIM_PID=""
trap '[ -z "$SIM_PID" ] || { kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; }; rm -rf "$WORK"' EXIT

"$SIM" make-package "$WORK/pkg" --android-mb "$MB" >/dev/null
"$SIM" --device-dir "$WORK/dev" --state-dir "$WORK/state" --package "$WORK/pkg" \
    --phones "$PHONES" --time-scale "$SCALE" >/dev/null 2>&1 &
SIM_PID=$!
mkdir -p "$WORK/home"
printf '#!/bin/sh\nexec "%s" ctl --state-dir "%s" reboot-bootloader "$2"\n' "$SIM" "$WORK/state" \
    >"$WORK/home/reboot.sh"
until [ "$("$CLI" --device-dir "$WORK/dev" --json ports | grep -c '"pid":"9025"')" -ge "$PHONES" ]; do
    sleep 0.05
done

/usr/bin/time -o "$WORK/time" -f '%e %U %S %M' \
    "$CLI" --device-dir "$WORK/dev" --time-scale "$SCALE" --quiet station --home "$WORK/home" \
    --package "$WORK/pkg" --slots "1-$PHONES" --until-done >"$WORK/out" || {
    echo "station failed:" >&2; grep -E "FAIL|error" "$WORK/out" | head -20 >&2; exit 1; }
read -r wall user sys rss_kb <"$WORK/time"

# First start and last end of the cycles, in seconds since the epoch.
epoch() { date -d "$1" +%s.%N; }
first="" last="" sum=0 n=0
while IFS= read -r line; do
    [[ $line =~ \"start\":\"([^\"]+)\",\"end\":\"([^\"]+)\",\"seconds\":([0-9.]+) ]] || continue
    s=$(epoch "${BASH_REMATCH[1]}") e=$(epoch "${BASH_REMATCH[2]}")
    first=$(awk -v a="${first:-$s}" -v b="$s" 'BEGIN { print (b < a ? b : a) }')
    last=$(awk -v a="${last:-$e}" -v b="$e" 'BEGIN { print (b > a ? b : a) }')
    sum=$(awk -v a="$sum" -v b="${BASH_REMATCH[3]}" 'BEGIN { print a + b }')
    n=$((n + 1))
done < <(cat "$WORK"/home/results/*.jsonl)
images=$(du -cb "$WORK"/pkg/android/* | tail -1 | cut -f1)
awk -v p="$PHONES" -v n="$n" -v f="$first" -v l="$last" -v sum="$sum" -v w="$wall" -v u="$user" \
    -v s="$sys" -v r="$rss_kb" -v img="$images" -v sc="$SCALE" 'BEGIN {
    printf "phones %d (records %d), scale %s: cycles span %.2f s, mean cycle %.2f s; station wall %.2f s, ", p, n, sc, l - f, sum / n, w
    printf "CPU %.2f s (%.3f s per phone); peak memory %.1f MB; Android images %.1f MB (read through the page cache, not held)\n", u + s, (u + s) / n, r / 1024, img / 1048576
}'
