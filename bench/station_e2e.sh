#!/usr/bin/env bash
# Station mode at scale: a station watches a temporary sysfs and /dev tree in
# which virtual transmitter units appear as FTDI adapters on the sockets of a
# hub. It measures
#   - the station's CPU while it only waits for units (10 s, goal < 1 % of a core),
#   - one unit flashed alone, then N plugged in at once (default 48): each run's
#     time from its record (started to ended) against the unit alone (goal <= 1.05).
# The image is 196,608 bytes. Usage: bench/station_e2e.sh [BUILD_DIR] [N]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
count=${2:-48}

work_name=zkflash-station image_bytes=196608 serial_prefix=BENCH
# shellcheck source=bench/station_tree.sh
source bench/station_tree.sh

# Starts the station; waits until it has looked at the sockets once.
station() {
    ZK_SYS_ROOT=$sys ZK_DEV_ROOT=$work/dev LD_PRELOAD="$PWD/$build/lib/libzkmodemline.so" \
        ZK_MODEMLINE_SOCKET="$sockets" "$build/bin/zkflash-cli" --station --yes \
        --record "$work/$1.jsonl" "$work/fw.bin" >"$work/$1.out" 2>"$work/$1.err" &
    station_pid=$!
    pids+=($station_pid)
    for _ in $(seq 200); do grep -q '^Station: ' "$work/$1.err" 2>/dev/null && break; sleep 0.05; done
}

# Waits until the record file has N lines, then stops the station.
finish() {
    for _ in $(seq 3000); do
        [ -f "$work/$1.jsonl" ] && [ "$(wc -l <"$work/$1.jsonl")" -ge "$2" ] && break
        sleep 0.1
    done
    kill -INT "$station_pid"
    wait "$station_pid" || true
}

# Seconds from started to ended of each record, one a line.
run_times() {
    python3 -c '
import json, sys
from datetime import datetime
for line in open(sys.argv[1]):
    r = json.loads(line)
    t = lambda s: datetime.fromisoformat(s)
    print("%.3f %s" % ((t(r["ended"]) - t(r["started"])).total_seconds(), r["outcome"]))
' "$1"
}

for i in $(seq 0 "$count"); do start_unit "$i"; done

# Idle: the station with nothing plugged in.
station idle
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
before=$(ticks "$station_pid")
sleep 10
after=$(ticks "$station_pid")
kill -INT "$station_pid"
wait "$station_pid" || true
idle=$(awk -v a="$before" -v b="$after" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", (b - a) / hz / 10 * 100 }')

# One unit alone, then N at once.
station one
plug 0
finish one 1
alone=$(run_times "$work/one.jsonl" | awk '{ print $1 }')

station many
for i in $(seq 1 "$count"); do plug "$i"; done
finish many "$count"
run_times "$work/many.jsonl" >"$work/many.times"
failed=$(awk '$2 != "success"' "$work/many.times" | wc -l)
worst=$(sort -n "$work/many.times" | tail -n 1 | awk '{ print $1 }')
for i in $(seq 0 "$count"); do
    cmp -s "$work/fw.bin" "$work/unit$i/received.bin" || { echo "unit $i: image not received whole" >&2; exit 1; }
done
awk -v idle="$idle" -v one="$alone" -v worst="$worst" -v n="$count" -v failed="$failed" 'BEGIN {
    printf "idle station           %.2f %% of a core over 10 s (goal < 1 %%)\n", idle
    printf "one unit alone         %.3f s\n", one
    printf "%d units at once       slowest %.3f s (ratio %.3f, goal <= 1.05), %d failed\n", n, worst, worst / one, failed
}'
