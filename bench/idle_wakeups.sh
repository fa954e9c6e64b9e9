#!/usr/bin/env bash
# Idle wake-ups of `tarnwell-cli watch` (or `station`): context switches of all its threads over
# a window while nothing is plugged in or out.
# Usage: idle_wakeups.sh CLI [SECONDS] [watch options... | [global options] station options...]
# Set TARNWELL_DEVICE_DIR to measure the virtual device directory, unset it for sysfs. The
# station is measured after its start-up (slot 1 waits six seconds before its first turn).
set -euo pipefail
cli=$1; secs=${2:-10}; shift 2 || shift $#
settle=2
if printf '%s\n' "$@" | grep -qx station; then
    "$cli" "$@" >/dev/null 2>&1 &
    settle=10
else
    "$cli" watch "$@" >/dev/null 2>&1 &
fi
pid=$!
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true' EXIT
sleep "$settle" # past start-up
count() { # voluntary + involuntary switches of every thread, and the thread count
    local total=0 n=0 t v
    for t in /proc/$pid/task/*/status; do
        v=$(awk '/ctxt_switches/ {s += $2} END {print s}' "$t" 2>/dev/null || echo 0)
        total=$((total + v)); n=$((n + 1))
    done
    echo "$total $n"
}
read -r a threads < <(count)
sleep "$secs"
read -r b _ < <(count)
awk -v d=$((b - a)) -v s="$secs" -v t="$threads" \
    'BEGIN { printf "%d wake-ups in %d s = %.1f/s (%d threads)\n", d, s, d / s, t }'
