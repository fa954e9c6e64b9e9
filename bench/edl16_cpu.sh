#!/usr/bin/env bash
# CPU time of sixteen emergency downloads at once: phonesim with 16 phones in emergency download
# mode, then 16 `tarnwell-cli emergency-download` runs in parallel, one per QDLoader port.
# Prints, per run, the host's CPU (user + sys of the 16 runs, from /usr/bin/time), the wall time
# and phonesim's CPU over the same window.
# Usage: edl16_cpu.sh BUILD_DIR [TIME_SCALE (0.02)] [RUNS (3)]
set -euo pipefail
build=$(cd "$1" && pwd); scale=${2:-0.02}; runs=${3:-3}
cli=$build/cli/tarnwell-cli
sim=$build/phonesim/phonesim
work=$(mktemp -d /tmp/tw-edl16-XXXXXX)
simpid=
cleanup() {
    [ -n "$simpid" ] && kill "$simpid" 2>/dev/null && wait "$simpid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$sim" make-package "$work/pkg" >/dev/null
# The station converts the programmer once when a package is chosen; so does this script.
"$cli" hex2bin "$work/pkg/modem/NPRG7627A.hex" >/dev/null 2>&1

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

for run in $(seq "$runs"); do
    dev=$work/dev$run
    mkdir -p "$dev"
    "$sim" --device-dir "$dev" --state-dir "$work/state$run" --package "$work/pkg" --phones 16 \
        --start-mode edl --time-scale "$scale" >"$work/sim$run.log" 2>&1 &
    simpid=$!
    ports=()
    for _ in $(seq 500); do
        mapfile -t ports < <(grep -h '^com=' "$dev"/*.dev 2>/dev/null | cut -d= -f2)
        [ "${#ports[@]}" -ge 16 ] && break
        sleep 0.02
    done
    [ "${#ports[@]}" -ge 16 ] || { echo "phonesim did not publish 16 ports" >&2; exit 1; }
    sleep 0.2
    s0=$(cpu_ticks "$simpid")
    /usr/bin/time -f "%U %S %e" -o "$work/time" bash -c '
        cli=$1; dev=$2; scale=$3; pkg=$4; shift 4
        pids=()
        for p in "$@"; do
            "$cli" --device-dir "$dev" --time-scale "$scale" --quiet \
                emergency-download --port "$p" --package "$pkg" >/dev/null 2>&1 &
            pids+=($!)
        done
        failed=0
        for pid in "${pids[@]}"; do wait "$pid" || failed=$((failed + 1)); done
        [ "$failed" -eq 0 ] || { echo "$failed of $# emergency downloads failed" >&2; exit 1; }
    ' _ "$cli" "$dev" "$scale" "$work/pkg" "${ports[@]}"
    s1=$(cpu_ticks "$simpid")
    kill "$simpid"; wait "$simpid" 2>/dev/null || true; simpid=
    # Every phone must have taken the last modem image.
    done_phones=$(grep -l "image 0A stored" "$work/state$run"/phone*/log.txt | wc -l)
    [ "$done_phones" -eq 16 ] || { echo "only $done_phones phones got every image" >&2; exit 1; }
    hz=$(getconf CLK_TCK)
    read -r user sys wall <"$work/time"
    awk -v u="$user" -v s="$sys" -v w="$wall" -v p=$((s1 - s0)) -v hz="$hz" -v r="$run" \
        'BEGIN { printf "run %d: host cpu %.2f s (user %.2f + sys %.2f), wall %.2f s; phonesim cpu %.2f s\n",
                 r, u + s, u, s, w, p / hz }'
done
