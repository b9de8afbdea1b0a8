#!/usr/bin/env bash
# Starts a virtual unit, resets it over the modem-line library and sends it
# "BOOT"; prints the reply and the unit's event log.
#   tools/sim/smoke.sh [BUILD_DIR] [tx|rx]
set -euo pipefail
build=${1:-build-sim}
target=${2:-tx}
out=$(mktemp -d /tmp/zkunit-smoke.XXXXXX)
coproc SIM { exec "$build/bin/zkunit-sim" --target "$target" --out "$out"; }
read -r pty <&"${SIM[0]}"
read -r ready <&"${SIM[0]}"
echo "unit on $pty ($ready), output in $out"
status=0
ZK_MODEMLINE_SOCKET="$out/modemline.sock" LD_PRELOAD="$build/lib/libzkmodemline.so" \
    "$build/bin/zkunit-smoke" "$pty" $([ "$target" = rx ] && echo --rx) || status=$?
kill -TERM "$SIM_PID"
wait "$SIM_PID" || true
echo "--- events.log"
cat "$out/events.log"
exit $status
