#!/usr/bin/env bash
# Whole-flash benchmark: zkflash-cli flashes a 196,608-byte image (192 full
# blocks) into the virtual transmitter unit at 115200 bit/s, on a plain
# pseudo-terminal and on the unit's USB-serial adapter model (the drain returns
# 4 ms after the last byte has left). Prints each transfer time against the
# line's limit, the end-to-end time and the loader's CPU time. With a Windows
# build beside it, zkflash-cli.exe does the same under wine on a COM port
# mapped to the unit's line, and the ratio of the two adapter transfers is
# printed (goal <= 1.02).
# Usage: bench/flash_e2e.sh [BUILD_DIR [WINDOWS_BUILD_DIR]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
windows=${2:-build-windows}
size=196608
speed=115200
lag=4

work=$(mktemp -d /tmp/zkflash-bench-XXXXXX)
sim=
trap '[ -n "$sim" ] && { kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; }; rm -rf "$work"' EXIT
head -c "$size" /dev/urandom >"$work/fw.bin"

# flash LABEL [UNIT OPTIONS...]
flash() {
    local label=$1
    shift
    rm -rf "$work/unit" && mkdir -p "$work/unit"
    "$build/bin/zkunit-sim" --target tx --out "$work/unit" "$@" >"$work/unit.out" 2>"$work/unit.err" &
    sim=$!
    for _ in $(seq 100); do grep -q '^ready$' "$work/unit.out" 2>/dev/null && break; sleep 0.05; done
    local port loader=("$build/bin/zkflash-cli")
    port=$(head -n 1 "$work/unit.out")
    if [ -n "${wine_com:-}" ]; then
        ln -sfn "$port" "$windows/wine-com/$wine_com"
        loader=(wine "$windows/bin/zkflash-cli.exe" --record "Z:$work/state/flashes.jsonl")
        port=$wine_com
    fi

    # Stamp each log line as it arrives; time the loader's CPU.
    local start end
    start=$(date +%s.%N)
    TIMEFORMAT='%U %S'
    { time LD_PRELOAD="$PWD/$build/lib/libzkmodemline.so" ZK_MODEMLINE_SOCKET="$work/unit/modemline.sock" \
        "${loader[@]}" --quiet --port "$port" "$work/fw.bin" |
        while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N)" "${line%$'\r'}"; done >"$work/log"; } 2>"$work/cpu"
    end=$(date +%s.%N)
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
    sim=
    cmp -s "$work/fw.bin" "$work/unit/received.bin" || { echo "$label: image not received whole" >&2; cat "$work/log" >&2; exit 1; }

    awk -v label="$label" -v size="$size" -v speed="$speed" -v start="$start" -v end="$end" -v cpu="$(tail -n 1 "$work/cpu")" '
        / Sending Firmware File\.\.\.$/ { sending = $1 }
        / Starting Application\.\.\.$/ { started = $1 }
        END {
            blocks = int(size / 1024) + int((size % 1024 + 127) / 128)
            wire = 1029 + blocks * 1029 + 1 + 133 + 1          # header, blocks, EOT, closing block, EOT
            limit = wire * 10 / speed + 1.0                    # plus the header phase fixed 1 s wait
            transfer = started - sending - 0.5                 # less the fixed pause after the transfer
            split(cpu, c, " ")
            printf "== %s\n", label
            printf "bytes on the wire      %d\n", wire
            printf "line-rate limit        %.3f s\n", limit
            printf "transfer               %.3f s  (ratio %.3f, goal <= 1.03)\n", transfer, transfer / limit
            printf "%.6f\n", transfer > "/dev/fd/3"
            # The unit does not answer the EOT after the closing block: the
            # loader waits out one read (11 x 50 ms) there.
            printf "  less the final EOT   %.3f s  (ratio %.3f)\n", transfer - 0.55, (transfer - 0.55) / limit
            printf "end to end             %.3f s\n", end - start
            printf "loader CPU             %.3f s  (%.1f%% of one core over the transfer)\n", c[1] + c[2], 100 * (c[1] + c[2]) / transfer
        }' "$work/log" 3>"$work/transfer"
}

flash "pseudo-terminal"
flash "adapter model, drain lag $lag ms" --drain-lag "$lag"
linux=$(cat "$work/transfer")

if [ -x "$windows/bin/zkflash-cli.exe" ]; then
    # The test runs' wine session: its prefix and COM ports (cmake/wine-session.sh).
    export WINEPREFIX="$PWD/$windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    cmake/wine-session.sh start "$windows"
    trap 'cmake/wine-session.sh stop "$windows"; [ -n "$sim" ] && { kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; }; rm -rf "$work"' EXIT
    wine_com=COM27
    flash "Windows under wine, adapter model, drain lag $lag ms" --drain-lag "$lag"
    awk -v w="$(cat "$work/transfer")" -v l="$linux" \
        'BEGIN { printf "== Windows / Linux transfer  %.4f  (goal <= 1.02)\n", w / l }'
fi
