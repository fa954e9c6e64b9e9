#!/usr/bin/env bash
# The demo: two simulated phones taken through the station's whole cycle with tarnwell-cli, at
# the same time: QCN backup, reset to download, emergency download, reboot to the bootloader,
# fastboot flash, QCN restore. Each phone is followed through its re-enumerations by its USB
# position. Needs no hardware; every wait is bounded; exit 0 only when both phones pass.
#
#   packaging/demo.sh BUILD_DIR
#
# Environment: TARNWELL_DEMO_SCALE (time scale, default 0.02), TARNWELL_DEMO_WAIT (seconds any
# one wait may last, default 60), TARNWELL_DEMO_FAULT (phonesim fault specs, blank-separated,
# phones counted from 0 as phonesim does, e.g. "1/fastboot:fail@3"), TARNWELL_DEMO_KEEP=1 keeps the work folder.
set -euo pipefail

BUILD=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
CLI="$BUILD/cli/tarnwell-cli"
SIM="$BUILD/phonesim/phonesim"
SCALE=${TARNWELL_DEMO_SCALE:-0.02}
LIMIT=${TARNWELL_DEMO_WAIT:-60}
PHONES=2
for p in "$CLI" "$SIM"; do
    [ -x "$p" ] || { echo "demo: $p is not built" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/tarnwell-demo-XXXXXX)
PKG="$WORK/package"
DEV="$WORK/devices"
STATE="$WORK/phonesim"
SIM_PID=""
CHAIN_PIDS=()

cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    local p
    for p in "${CHAIN_PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
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

cli() { timeout 300 "$CLI" --device-dir "$DEV" --time-scale "$SCALE" "$@"; }

# One field of a JSON line from tarnwell-cli: strings as they stand (escapes kept), numbers.
jstr() { sed -n "s/.*\"$2\":\"\\([^\"]*\\)\".*/\\1/p" <<<"$1"; }
jnum() { sed -n "s/.*\"$2\":\\(-\\{0,1\\}[0-9][0-9]*\\).*/\\1/p" <<<"$1"; }

# The device line (tarnwell-cli --json ports) at a USB position with a product id, whose COM
# number differs from $3 (0: any). Waits up to LIMIT seconds; prints the line.
wait_device() {
    local pos=$1 pid=$2 not=${3:-0} end=$((SECONDS + LIMIT)) line
    while [ $SECONDS -lt $end ]; do
        while IFS= read -r line; do
            [ "$(jstr "$line" position)" = "$pos" ] || continue
            [ "$(jstr "$line" pid)" = "$pid" ] || continue
            [ "$(jnum "$line" com)" != "$not" ] || [ "$not" = 0 ] || continue
            printf '%s\n' "$line"
            return 0
        done < <(cli --json ports 2>/dev/null | grep '"kind"' || true)
        sleep 0.05
    done
    return 1
}

# ---- one phone's cycle ----
# chain N POSITION: writes "PASS seconds" or "FAIL seconds step" to $WORK/result.N.
chain() {
    set +e # every step checks its own result
    local n=$1 pos=$2 start=$EPOCHREALTIME log="$WORK/phone$1.log"
    local line com qdl imei qcn addr com2 got dir step=""
    say() { printf '[phone %d] %6ss  %s\n' "$n" "$(since "$start")" "$*"; }
    fail() {
        say "FAIL at $step"
        sed "s/^/[phone $n]     | /" "$log" | tail -n 8
        echo "FAIL $(since "$start") $step" >"$WORK/result.$n"
        return 1
    }
    : >"$log"
    mkdir -p "$WORK/qcn$n"

    step="DIAG port"
    line=$(wait_device "$pos" 9025) || fail || return 1
    com=$(jnum "$line" com)
    say "DIAG port COM$com at ${pos//\\\\/\\}"

    step="QCN backup"
    qcn=$(cli --quiet backup-qcn --port "$com" --qcn-dir "$WORK/qcn$n" --list-dir "$PKG" 2>>"$log") ||
        fail || return 1
    qcn=${qcn%%$'\n'*} # the first line names the file; the counts follow
    imei=$(basename "$qcn" .txt)
    say "QCN backup: $qcn (IMEI $imei)"

    step="reset to download"
    qdl=$(cli --quiet reset-to-download --port "$com" 2>>"$log") || fail || return 1
    say "reset to download: QDLoader 9008 on COM$qdl"

    step="emergency download"
    cli --quiet emergency-download --port "$qdl" --package "$PKG" >>"$log" 2>&1 || fail || return 1
    say "emergency download: programmer and modem images written, phone resets"

    # What the station's "reboot.sh" does for a real phone: bring it up in fastboot mode.
    step="reboot to bootloader"
    say "reboot to bootloader (phonesim ctl, standing in for reboot.sh)"
    local end=$((SECONDS + LIMIT))
    until "$SIM" ctl --state-dir "$STATE" reboot-bootloader "$imei" >>"$log" 2>&1; do
        [ $SECONDS -lt $end ] || { fail; return 1; }
        sleep 0.05
    done
    line=$(wait_device "$pos" d00d) || fail || return 1
    addr=$(jstr "$line" address)
    say "fastboot device $addr"

    step="fastboot flash"
    local before
    before=$(wc -l <"$log")
    cli fastboot-flash --device "$addr" --package "$PKG" >>"$log" 2>&1 || fail || return 1
    local retries
    retries=$(tail -n +"$((before + 1))" "$log" | grep -E ':times [23]/3' | sed 's/:times / attempt /')
    [ -z "$retries" ] || say "fastboot flash retried: ${retries//$'\n'/, }"
    # The phone keeps each flashed partition; they must be the package's images.
    dir=$(grep -l "^imei=$imei\$" "$STATE"/phone*/info.ini | head -n 1)
    [ -n "$dir" ] || { echo "no simulated phone has IMEI $imei" >>"$log"; fail; return 1; }
    dir=$(dirname "$dir")
    local f
    for f in boot.2knand.img:boot recovery.2knand.img:recovery system.2knand.img:system \
        userdata.2knand.img:userdata cache.img.ext4:cache persist.2knand.img:persist; do
        cmp -s "$PKG/android/${f%%:*}" "$dir/fastboot/${f##*:}.img" ||
            { echo "partition ${f##*:} differs from ${f%%:*}" >>"$log"; fail; return 1; }
    done
    say "fastboot flash: 7 flashes, partitions match the package; phone reboots"

    step="DIAG port after reboot"
    line=$(wait_device "$pos" 9025 "$com") || fail || return 1
    com2=$(jnum "$line" com)

    step="QCN restore"
    cli --quiet restore-qcn --port "$com2" --file "$qcn" >>"$log" 2>&1 || fail || return 1
    step="IMEI check"
    got=$(cli --quiet imei --port "$com2" 2>>"$log") || fail || return 1
    [ "$got" = "$imei" ] || { echo "IMEI reads $got, not $imei" >>"$log"; fail; return 1; }
    say "QCN restore on COM$com2: IMEI $got is back"

    say "PASS"
    echo "PASS $(since "$start")" >"$WORK/result.$n"
}

# ---- the demo ----
echo "== Tarnwell demo: $PHONES simulated phones, time scale $SCALE, work folder $WORK"
"$SIM" make-package "$PKG" >/dev/null
echo "synthetic package: $PKG"
"$CLI" hex2bin "$PKG/modem/NPRG7627A.hex" >/dev/null 2>"$WORK/hex2bin.err" ||
    { cat "$WORK/hex2bin.err" >&2; exit 1; }
echo "programmer converted: $PKG/modem/NPRG7627A.bin"

SIM_ARGS=()
for f in ${TARNWELL_DEMO_FAULT:-}; do SIM_ARGS+=(--fault "$f"); done
[ ${#SIM_ARGS[@]} -eq 0 ] || echo "phonesim faults: ${TARNWELL_DEMO_FAULT}"
"$SIM" --device-dir "$DEV" --state-dir "$STATE" --package "$PKG" --phones "$PHONES" \
    --time-scale "$SCALE" "${SIM_ARGS[@]}" >"$WORK/phonesim.out" 2>&1 &
SIM_PID=$!

# The phones' USB positions, from their first DIAG ports, in hub port order.
POSITIONS=()
end=$((SECONDS + LIMIT))
while [ ${#POSITIONS[@]} -lt $PHONES ]; do
    if [ $SECONDS -ge $end ] || ! kill -0 "$SIM_PID" 2>/dev/null; then
        echo "demo: the simulated phones did not appear" >&2
        cat "$WORK/phonesim.out" >&2
        exit 1
    fi
    sleep 0.05
    mapfile -t POSITIONS < <(cli --json ports 2>/dev/null | grep '"pid":"9025"' |
        while IFS= read -r l; do echo "$(jnum "$l" hubport) $(jstr "$l" position)"; done |
        sort -n | cut -d' ' -f2-)
done
echo "phones at: ${POSITIONS[*]//\\\\/\\}"
echo

for i in $(seq 1 $PHONES); do
    chain "$i" "${POSITIONS[$((i - 1))]}" &
    CHAIN_PIDS+=($!)
done
for p in "${CHAIN_PIDS[@]}"; do wait "$p" || true; done
CHAIN_PIDS=()

echo
echo "== results"
passed=0
for i in $(seq 1 $PHONES); do
    r=$(cat "$WORK/result.$i" 2>/dev/null || echo "FAIL ? no result")
    read -r verdict secs rest <<<"$r"
    printf 'phone %d  %-4s  %6s s%s\n' "$i" "$verdict" "$secs" "${rest:+  (at $rest)}"
    [ "$verdict" = PASS ] && passed=$((passed + 1))
done
echo "total $(since "$T0") s"
[ $passed -eq $PHONES ]
