#!/usr/bin/env bash
# The production report over a year of a busy line: N flash records (default
# 1,000,000) as four stations write them, 16 h a day, with retries, cancelled
# runs and serial failures. It measures zkflash-cli --report's wall time and
# peak resident memory (goals: <= 10 s, <= 200 MB)
#   - over one plain file,
#   - over the same records as logrotate leaves them: flashes.jsonl,
#     flashes.jsonl.1 and flashes.jsonl.2.gz to flashes.jsonl.12.gz,
#   - as CSV over the rotated files (the rows to /dev/null).
# Usage: bench/report_bench.sh [BUILD_DIR] [N]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
count=${2:-1000000}
cli=$build/bin/zkflash-cli

work=$(mktemp -d /tmp/zkflash-report-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Records in the shape and order of the fields a station writes.
awk -v n="$count" 'BEGIN {
    srand(24)
    split("31 28 31 30 31 30 31 31 30 31 30 31", mdays, " ")
    split("M. Novak|J. Horvat|A. Kovac|P. Zupan", operators, "|")
    hash["halvo-2.4.1.bintx"] = "9f2c4e1ab07d55e3c1f08a6d4b2e97c0d3a5f18e6b4c27d90e1f3a5b7c9d2e4f"
    hash["morra-2.4.1.binrx"] = "4b7e1d9a2c5f80e36d1b4a7c9e2f5d08b3a6c1e4f7d92a5b8c0e3f6a9d1b4c7e"
    digits = "0123456789ABCDEFGHJKLMNPQRSTUVWXYZ"
    perday = int(n / 365) + 1
    retry = ""
    for (i = 0; i < n; i++) {
        day = int(i / perday)
        for (month = 1; day >= mdays[month] && month < 12; month++) day -= mdays[month]
        start = 6 * 3600 + int((i % perday) * 57600 / perday) + int(rand() * 5)
        took = 12 + int(rand() * 24)
        station = i % 4
        slot = int(rand() * 8)
        if (retry != "") {
            serial = retry
            attempt++
        } else {
            serial = "FT"
            for (k = 0; k < 6; k++) serial = serial substr(digits, 1 + int(rand() * 34), 1)
            attempt = 1
        }
        r = rand()
        outcome = r < 0.90 ? "success" : r < 0.94 ? "no banner" : r < 0.96 ? "serial failure" \
            : r < 0.975 ? "wrong mode" : r < 0.985 ? "cancelled" : "send error"
        retry = (outcome != "success" && attempt < 3) ? serial : ""
        file = (station == 3) ? "morra-2.4.1.binrx" : "halvo-2.4.1.bintx"
        own = rand() < 0.002
        if (own) { serial = ""; retry = "" }
        error = "null"
        if (outcome == "serial failure")
            error = rand() < 0.5 ? "\"Error opening serial port /dev/ttyUSB" slot " - Device or resource busy(16).\"" \
                                 : "\"Write Error - Input/output error(5).\""
        moved = outcome == "success" ? 199680 : error ~ /opening/ ? 0 : int(rand() * 199680)
        stamp = sprintf("2026-%02d-%02dT", month, day + 1)
        printf "{\"started\":\"%s%02d:%02d:%02d.%03d+01:00\",", stamp, start / 3600, start / 60 % 60, start % 60, int(rand() * 1000)
        start += took
        printf "\"ended\":\"%s%02d:%02d:%02d.%03d+01:00\",", stamp, start / 3600, start / 60 % 60, start % 60, int(rand() * 1000)
        printf "\"program\":\"zkflash-cli\",\"version\":\"1.0.0\",\"host\":\"line3-%c\",", 97 + station
        printf "\"port\":\"/dev/ttyUSB%d\",\"adapter\":\"FTDI FT232R USB UART%s 0403:6001\",", slot, own ? "" : " (" serial ")"
        printf "\"adapter_serial\":\"%s\",\"file\":\"%s\",\"size\":196608,\"sha256\":\"%s\",", serial, file, hash[file]
        printf "\"target\":\"%s\",\"outcome\":\"%s\",\"serial_error\":%s,", station == 3 ? "RX" : "TX", outcome, error
        printf "\"transfer_seconds\":%.3f,\"wire_bytes\":%d,\"port_opened\":%s,", outcome == "success" ? took - 2.5 : 0, moved, error ~ /opening/ ? "false" : "true"
        printf "\"operator\":\"%s\",\"work_order\":\"WO-26%02d-%03d\",", operators[1 + station], month, 1 + int(day / 7)
        printf "\"socket\":\"1-1.%d\",\"socket_label\":\"%c%d\",\"attempt\":%d%s}\n", slot + 1, 65 + station, slot + 1, attempt, own ? ",\"own_unit\":true" : ""
    }
}' >"$work/year.jsonl"

# The same records rotated: the oldest twelfth in flashes.jsonl.12.gz.
mkdir "$work/rotated"
split -n l/13 -d -a 2 "$work/year.jsonl" "$work/rotated/part"
for i in $(seq 0 12); do
    part=$work/rotated/part$(printf '%02d' "$i")
    rotation=$((12 - i))
    case $rotation in
    0) mv "$part" "$work/rotated/flashes.jsonl" ;;
    1) mv "$part" "$work/rotated/flashes.jsonl.1" ;;
    *) gzip -c "$part" >"$work/rotated/flashes.jsonl.$rotation.gz" && rm "$part" ;;
    esac
done
rotated=()
for rotation in $(seq 12 -1 2); do rotated+=("$work/rotated/flashes.jsonl.$rotation.gz"); done
rotated+=("$work/rotated/flashes.jsonl.1" "$work/rotated/flashes.jsonl")

echo "records: $count, $(du -m "$work/year.jsonl" | cut -f1) MB plain," \
    "$(du -cm "$work"/rotated/* | tail -n 1 | cut -f1) MB rotated"

# Runs the report with the arguments; prints its wall time, CPU time (the
# wall time counts waiting for a core shared with other work) and peak RSS.
measure() {
    local name=$1
    shift
    /usr/bin/time -v "$cli" --report "$@" >"$work/out" 2>"$work/time" || {
        cat "$work/time" >&2
        exit 1
    }
    local wall cpu rss
    wall=$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$work/time")
    cpu=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.2f", s }' "$work/time")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
    printf '%-22s %8s wall  %6s s CPU  %4d MB peak RSS\n' "$name" "$wall" "$cpu" $((rss / 1024))
}

measure "plain file, text" "$work/year.jsonl"
head -n 3 "$work/out"
measure "rotated files, text" "${rotated[@]}"
measure "rotated files, JSON" --json "${rotated[@]}"
measure "rotated files, CSV" --csv "${rotated[@]}"
