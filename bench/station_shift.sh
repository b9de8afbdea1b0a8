#!/usr/bin/env bash
# A station's shift: the CLI station watches a temporary sysfs and /dev tree
# with 16 sockets, and virtual transmitter units are plugged in, flashed and
# taken out again, CYCLES times in all (default 500, at least 100). At 50 units and at the
# end it prints the station's open descriptors, threads and resident memory,
# and its CPU per unit between the two (its own, and with its loaders); both
# are taken while no unit is being flashed.
# Usage: bench/station_shift.sh [BUILD_DIR] [CYCLES]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cycles=${2:-500}
if [ "$cycles" -lt 100 ]; then
    echo "usage: $0 [BUILD_DIR] [CYCLES >= 100]: the first figures are taken at 50 units" >&2
    exit 2
fi
sockets_n=16

work_name=zkflash-shift image_bytes=4096 serial_prefix=SHIFT
# shellcheck source=bench/station_tree.sh
source bench/station_tree.sh

records() { [ -f "$work/shift.jsonl" ] && wc -l <"$work/shift.jsonl" || echo 0; }
flashed() {
    local n
    n=$(grep -c "\"socket\":\"1-1.$1\"" "$work/shift.jsonl" 2>/dev/null) || true
    echo "${n:-0}"
}

# Socket I: plug, wait for the unit's record, unplug, until the shift is over.
socket_loop() {
    local i=$1 seen
    while [ "$(records)" -lt "$cycles" ]; do
        if [ -e "$work/pause" ]; then
            sleep 0.1
            continue
        fi
        seen=$(flashed "$i")
        plug "$i"
        while [ "$(flashed "$i")" -le "$seen" ]; do sleep 0.05; done
        unplug "$i"
        sleep 0.3 # the station reads the sockets five times a second
    done
}

# Descriptors, threads, resident kB, own and children's CPU ticks, taken
# when no unit is being flashed.
sample() {
    until [ -z "$(cat "/proc/$station_pid/task/"*/children)" ]; do sleep 0.1; done
    local p=/proc/$station_pid
    echo "$(ls "$p/fd" | wc -l) $(awk '/^Threads/ { print $2 }' "$p/status")" \
        "$(awk '/^VmRSS/ { print $2 }' "$p/status")" \
        "$(awk '{ print $14 + $15, $16 + $17 }' "$p/stat")"
}

for i in $(seq 1 "$sockets_n"); do start_unit "$i"; done
ZK_SYS_ROOT=$sys ZK_DEV_ROOT=$work/dev LD_PRELOAD="$PWD/$build/lib/libzkmodemline.so" \
    ZK_MODEMLINE_SOCKET="$sockets" "$build/bin/zkflash-cli" --station --yes \
    --metrics "$work/zkflash.prom" --record "$work/shift.jsonl" "$work/fw.bin" >"$work/shift.out" 2>"$work/shift.err" &
station_pid=$!
pids+=($station_pid)
for _ in $(seq 200); do grep -q '^Station: ' "$work/shift.err" 2>/dev/null && break; sleep 0.05; done

started=$(date +%s.%N)
loops=()
for i in $(seq 1 "$sockets_n"); do
    socket_loop "$i" &
    loops+=($!)
done
pids+=("${loops[@]}")
until [ "$(records)" -ge 50 ]; do sleep 0.1; done
touch "$work/pause" # the units in their sockets are flashed and taken out, no more come
sleep 1
at50=$(sample)
n50=$(records)
rm "$work/pause"
wait "${loops[@]}"
at_end=$(sample)
n_end=$(records)
ended=$(date +%s.%N)
kill -INT "$station_pid"
wait "$station_pid" || true
failed=$(grep -vc '"outcome":"success"' "$work/shift.jsonl" || true)
echo "The station's figures for Prometheus at the end:"
grep -v '^#' "$work/zkflash.prom" | grep -v '_bucket\|} 0$'

awk -v a="$at50" -v b="$at_end" -v n50="$n50" -v n="$n_end" -v hz="$(getconf CLK_TCK)" \
    -v failed="$failed" -v wall="$(echo "$ended - $started" | bc)" 'BEGIN {
    split(a, x, " "); split(b, y, " ")
    printf "units        descriptors  threads  resident kB\n"
    printf "%5d        %11d  %7d  %11d\n", n50, x[1], x[2], x[3]
    printf "%5d        %11d  %7d  %11d\n", n, y[1], y[2], y[3]
    printf "station CPU per unit   %.2f ms (with its loaders %.1f ms), over units %d to %d\n",
        (y[4] - x[4]) / hz * 1000 / (n - n50), (y[4] + y[5] - x[4] - x[5]) / hz * 1000 / (n - n50), n50, n
    printf "%d units in %.0f s, %d not passed\n", n, wall, failed
}'
