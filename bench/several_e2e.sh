#!/usr/bin/env bash
# Several units from one command: zkflash-cli flashes a 196,608-byte image into
# one virtual transmitter unit, then into N of them at once (--port given N
# times), and prints both wall times and their ratio (goal <= 1.1).
# Usage: bench/several_e2e.sh [BUILD_DIR] [N]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
count=${2:-4}

work=$(mktemp -d /tmp/zkflash-bench-XXXXXX)
sims=()
trap 'kill "${sims[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
head -c 196608 /dev/urandom >"$work/fw.bin"

# Starts N virtual units; sets `ports` (--port arguments) and `sockets`.
start_units() {
    ports=() sockets=""
    for i in $(seq "$1"); do
        dir="$work/$2$i"
        mkdir -p "$dir"
        "$build/bin/zkunit-sim" --target tx --out "$dir" >"$dir.out" 2>"$dir.err" &
        sims+=($!)
        for _ in $(seq 100); do grep -q '^ready$' "$dir.out" 2>/dev/null && break; sleep 0.05; done
        port=$(head -n 1 "$dir.out")
        ports+=(--port "$port")
        sockets+="${sockets:+:}$port=$dir/modemline.sock"
    done
}

# Flashes the units just started; prints the wall time in seconds.
flash() {
    local start end
    start=$(date +%s.%N)
    LD_PRELOAD="$PWD/$build/lib/libzkmodemline.so" ZK_MODEMLINE_SOCKET="$sockets" \
        "$build/bin/zkflash-cli" --quiet --no-record --yes "${ports[@]}" "$work/fw.bin" >"$work/$1.log"
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

start_units 1 one
one=$(flash one)
start_units "$count" many
many=$(flash many)
for dir in "$work"/one* "$work"/many*; do
    [ -d "$dir" ] && { cmp -s "$work/fw.bin" "$dir/received.bin" || { echo "$dir: image not received whole" >&2; exit 1; }; }
done
awk -v one="$one" -v many="$many" -v n="$count" 'BEGIN {
    printf "one unit               %.3f s\n", one
    printf "%d units at once        %.3f s  (ratio %.3f, goal <= 1.1)\n", n, many, many / one
}'
