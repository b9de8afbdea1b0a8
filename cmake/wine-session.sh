#!/bin/sh
# The wine session of a Windows build's test run: `start BUILD` before the
# first test, `stop BUILD` after the last (ctest runs both, CTestCustom.cmake).
#
# start makes the wine prefix in BUILD/wineprefix once (4-20 s), with the COM
# ports the end-to-end tests use mapped to links in BUILD/wine-com that each
# test points at its unit's pseudo-terminal, then keeps one wineserver up for
# the run, so that each program starts in a few hundredths of a second. The
# server runs in the foreground of a process that is no session leader: a
# daemonised one would take a unit's pseudo-terminal as its controlling
# terminal and die of the hang-up when that unit closes its end.
set -eu
action=$1
build=$(cd "$2" && pwd)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# COM ports for the tests: COM20 ... COM27.
first_com=20
last_com=27

case $action in
start)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    if [ ! -f "$WINEPREFIX/.zkflash-ready" ]; then
        rm -rf "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1
        mkdir -p "$build/wine-com"
        n=$first_com
        while [ "$n" -le "$last_com" ]; do
            wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ \
                /d "$build/wine-com/COM$n" /f >/dev/null 2>&1
            n=$((n + 1))
        done
        # The ports are read when a server starts.
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
        touch "$WINEPREFIX/.zkflash-ready"
    fi
    nohup wineserver -f -p >/dev/null 2>&1 </dev/null &
    # Ready when a program has run in it.
    wine cmd.exe /c exit >/dev/null 2>&1
    ;;
stop)
    wineserver -k 2>/dev/null || true
    ;;
*)
    echo "usage: $0 start|stop BUILD_DIR" >&2
    exit 2
    ;;
esac
