#!/usr/bin/env bash
# The demo: the station itself, headless, with sixteen simulated phones at sixteen positions of
# one USB hub, two phones per slot in a row. A station folder in a temporary directory gets a
# "reboot.sh" that asks the simulator to bring the phone at the given position up in fastboot
# mode (what a fixture does for a real phone); then `tarnwell-cli station --until-done` runs
# slots 1 to 16, each taking the phone at its own position through the whole cycle: QCN backup,
# reset to download, emergency download, reboot.sh, fastboot flashing, QCN restore, PASS or FAIL.
# An operator (this script) watches the station's results file: when a slot has finished its
# phone, the phone is unplugged and, a few seconds later, a new phone (a new IMEI) goes in at the
# same position; the slot takes it by itself. The station prints each row, the result table and
# the counters. Needs no hardware; every wait is bounded; the simulator is stopped on every
# path; exit 0 only when every phone passes.
#
#   packaging/demo.sh BUILD_DIR                  the headless station, result table at the end
#   packaging/demo.sh BUILD_DIR --window         the same phones in the station's window
#   packaging/demo.sh BUILD_DIR --screenshot PNG the window (offscreen), every slot started, saved
#                                                as a picture once a row shows its result
#
# In the window (four phones) the package is already loaded: press "开始全部下载" (start all) and
# watch the rows; close the window (or EXIT) to end the demo.
#
# Environment: TARNWELL_DEMO_SCALE (time scale, default 0.02, 0.1 in the window),
# TARNWELL_DEMO_PHONES (positions, 1 to 16, default 16, 4 in the window), TARNWELL_DEMO_ROUNDS
# (phones per position, one after the other, 1 to 9, default 2; headless only),
# TARNWELL_DEMO_WAIT (seconds the whole run may take, default 240),
# TARNWELL_DEMO_FAULT (phonesim fault specs, blank-separated, phones counted from 0 as phonesim
# does, e.g. "1/fastboot:fail@3"), TARNWELL_DEMO_KEEP=1 keeps the work folder.
set -euo pipefail

USAGE="usage: demo.sh BUILD_DIR [--window | --screenshot PNG]"
MODE=${2:-}
if [ "$MODE" = --window ] && [ -z "${QT_QPA_PLATFORM:-}${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "demo --window: there is no display here (DISPLAY and WAYLAND_DISPLAY are not set)." >&2
    echo "Run it in a desktop session or under xvfb-run; './run demo' shows the same station" >&2
    echo "without a window." >&2
    exit 2
fi
BUILD=$(cd "${1:?$USAGE}" && pwd)
SHOT=""
case "$MODE" in
"") ;;
--window) ;;
--screenshot)
    SHOT=${3:?$USAGE}
    case "$SHOT" in /*) ;; *) SHOT="$PWD/$SHOT" ;; esac
    ;;
*) echo "$USAGE" >&2; exit 2 ;;
esac
CLI="$BUILD/cli/tarnwell-cli"
SIM="$BUILD/phonesim/phonesim"
WINDOW="$BUILD/window/tarnwell"
SCALE=${TARNWELL_DEMO_SCALE:-$([ -n "$MODE" ] && echo 0.1 || echo 0.02)}
LIMIT=${TARNWELL_DEMO_WAIT:-240}
PHONES=${TARNWELL_DEMO_PHONES:-$([ -n "$MODE" ] && echo 4 || echo 16)}
ROUNDS=${TARNWELL_DEMO_ROUNDS:-2}
NEEDED=("$CLI" "$SIM")
[ -z "$MODE" ] || NEEDED+=("$WINDOW")
for p in "${NEEDED[@]}"; do
    [ -x "$p" ] || { echo "demo: $p is not built" >&2; exit 2; }
done
case "$PHONES" in
[1-9] | 1[0-6]) ;;
*) echo "demo: TARNWELL_DEMO_PHONES must be 1 to 16" >&2; exit 2 ;;
esac
case "$ROUNDS" in
[1-9]) ;;
*) echo "demo: TARNWELL_DEMO_ROUNDS must be 1 to 9" >&2; exit 2 ;;
esac
# The operator's swap: a finished phone out, the next one in this long after (10 s nominal, well
# past the 2 s the station waits before it takes a new phone at a position).
SWAP=$(awk -v s="$SCALE" 'BEGIN { printf "%.3f", 10 * s }')

WORK=$(mktemp -d /tmp/tarnwell-demo-XXXXXX)
PKG="$WORK/package"
DEV="$WORK/devices"
STATE="$WORK/phonesim"
STATION="$WORK/station"
SIM_PID=""
STATION_PID=""
OPERATOR_PID=""

cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    if [ -n "$OPERATOR_PID" ]; then
        kill -TERM "$OPERATOR_PID" 2>/dev/null || true
        wait "$OPERATOR_PID" 2>/dev/null || true
    fi
    if [ -n "$STATION_PID" ]; then
        kill -TERM "$STATION_PID" 2>/dev/null || true
        wait "$STATION_PID" 2>/dev/null || true
    fi
    if [ -n "$SIM_PID" ]; then
        kill -TERM "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
    fi
    if [ "${TARNWELL_DEMO_KEEP:-0}" = 1 ]; then
        echo "work folder kept: $WORK"
    else
        rm -rf "$WORK"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

T0=$EPOCHREALTIME
since() { # seconds since $1, two decimals
    local a=${1/[.,]/} b=${EPOCHREALTIME/[.,]/}
    local us=$((10#$b - 10#$a))
    printf '%d.%02d' $((us / 1000000)) $((us % 1000000 / 10000))
}

echo "== Tarnwell demo: the station with $PHONES positions, $ROUNDS simulated phones each in a row," \
    "time scale $SCALE, work folder $WORK"
"$SIM" make-package "$PKG" >/dev/null
echo "synthetic package: $PKG"

SIM_ARGS=()
for f in ${TARNWELL_DEMO_FAULT:-}; do SIM_ARGS+=(--fault "$f"); done
[ ${#SIM_ARGS[@]} -eq 0 ] || echo "phonesim faults: ${TARNWELL_DEMO_FAULT}"
"$SIM" --device-dir "$DEV" --state-dir "$STATE" --package "$PKG" --phones "$PHONES" \
    --time-scale "$SCALE" "${SIM_ARGS[@]}" >"$WORK/phonesim.out" 2>&1 &
SIM_PID=$!

# The station folder, with the rig's reboot.sh.
mkdir -p "$STATION"
cat >"$STATION/reboot.sh" <<EOF
#!/bin/sh
# The demo's reboot.sh: \$1 is the slot number, \$2 its USB position. The simulated phone at
# that position is asked to reboot to its bootloader, as a fixture would do for a real phone.
exec "$SIM" ctl --state-dir "$STATE" reboot-bootloader "\$2"
EOF

# The phones' DIAG ports appear.
end=$((SECONDS + 30))
until [ "$("$CLI" --device-dir "$DEV" --json ports 2>/dev/null | grep -c '"pid":"9025"')" -ge "$PHONES" ]; do
    if [ $SECONDS -ge $end ] || ! kill -0 "$SIM_PID" 2>/dev/null; then
        echo "demo: the simulated phones did not appear" >&2
        cat "$WORK/phonesim.out" >&2
        exit 1
    fi
    sleep 0.05
done
echo "phones ready; station folder $STATION"
echo

# The operator: each record in the station's results names a finished phone and its position.
# Until a position has had its ROUNDS phones, the finished one is unplugged and a new one goes
# in after the swap time. Lines are taken only whole (the station writes each in one go).
operator() {
    local taken=0 line imei port n
    local -A rounds=()
    trap 'exit 0' TERM
    while :; do
        local out=() lines=()
        if compgen -G "$STATION/results/*.jsonl" >/dev/null; then
            mapfile -t lines < <(cat "$STATION"/results/*.jsonl)
        fi
        while [ "$taken" -lt ${#lines[@]} ]; do
            line=${lines[$taken]}
            [[ $line == *"}" ]] || break
            taken=$((taken + 1))
            [[ $line =~ \"imei\":\"([0-9]+)\" ]] || continue
            imei=${BASH_REMATCH[1]}
            [[ $line =~ \#([0-9]+)\#\" ]] || continue
            port=${BASH_REMATCH[1]}
            n=$((${rounds[$port]:-0} + 1))
            rounds[$port]=$n
            [ "$n" -lt "$ROUNDS" ] || continue
            "$SIM" ctl --state-dir "$STATE" unplug "$imei" >/dev/null && out+=("$port")
        done
        if [ ${#out[@]} -gt 0 ]; then
            sleep "$SWAP"
            for port in "${out[@]}"; do
                echo "operator: hub port $port: finished phone out, new phone in:" \
                    "$("$SIM" ctl --state-dir "$STATE" plug "$port")"
            done
        fi
        sleep 0.1
    done
}

rc=0
if [ "$MODE" = --window ]; then
    echo "the window is open: press 开始全部下载 (start all); close it or press EXIT to end"
    "$WINDOW" --home "$STATION" --device-dir "$DEV" --time-scale "$SCALE" --package "$PKG" &
    STATION_PID=$!
    wait "$STATION_PID" || rc=$?
    STATION_PID=""
    exit $rc
fi
if [ -n "$SHOT" ]; then
    # No screen needed: the offscreen platform draws the window and it is grabbed from memory.
    export QT_QPA_PLATFORM=offscreen
    # The picture shows the Chinese captions; no first-start language question.
    printf '[Language]\nLanguage=Chinese\n' >"$STATION/inifile.ini"
    RUNTIME=$(mktemp -d "$WORK/runtime-XXXXXX")
    chmod 700 "$RUNTIME"
    timeout --signal=TERM "$LIMIT" env XDG_RUNTIME_DIR="$RUNTIME" "$WINDOW" --home "$STATION" \
        --device-dir "$DEV" --time-scale "$SCALE" --package "$PKG" --start-all \
        --screenshot "$SHOT" &
    STATION_PID=$!
    wait "$STATION_PID" || rc=$?
    STATION_PID=""
    [ $rc -ne 0 ] || echo "picture of the window saved: $SHOT"
    exit $rc
fi
timeout --signal=TERM "$LIMIT" "$CLI" --device-dir "$DEV" --time-scale "$SCALE" --quiet \
    station --home "$STATION" --package "$PKG" --slots "1-$PHONES" --until-done \
    --cycles "$ROUNDS" &
STATION_PID=$!
if [ "$ROUNDS" -gt 1 ]; then
    operator &
    OPERATOR_PID=$!
fi
wait "$STATION_PID" || rc=$?
STATION_PID=""
echo
[ $rc -ne 124 ] || echo "demo: the station did not finish within $LIMIT s"
records=$(cat "$STATION"/results/*.jsonl 2>/dev/null | wc -l)
echo "results: $records records in $STATION/results"
echo "total $(since "$T0") s"
exit $rc
