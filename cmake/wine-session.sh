#!/bin/sh
# The wine session of a Windows build's test run: `start BUILD` before the
# first test, `stop BUILD` after the last (ctest runs both, CTestCustom.cmake,
# and is this script's parent in both).
#
# start makes the wine prefix in BUILD/wineprefix once (4-20 s), with the COM
# ports the end-to-end tests use mapped to links in BUILD/wine-com that each
# test points at its unit's pseudo-terminal, then keeps one wineserver up for
# the run, so that each program starts in a few hundredths of a second. The
# server runs in the foreground of a process that is no session leader: a
# daemonised one would take a unit's pseudo-terminal as its controlling
# terminal and die of the hang-up when that unit closes its end.
#
# A prefix has one server, and ending it ends every program in the prefix:
# a second test run of the same build folder waits until the first has ended
# instead of replacing its server under its tests, and only the run that
# started the session ends it.
set -eu
action=$1
build=$(cd "$2" && pwd)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# COM ports for the tests: COM20 ... COM27.
first_com=20
last_com=27
# The session's server and the test run that owns it, each as "pid:start
# time", so that a pid the system has given to another process since does
# not pass for them.
session="$build/wine-session"

identity() {
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    echo "$1:$(echo "${stat##*) }" | cut -d' ' -f20)"
}

alive() {
    [ -n "$1" ] && [ "$(identity "${1%%:*}")" = "$1" ]
}

# Ends the prefix's server, whoever started it, and waits until it is gone.
end_server() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}

case $action in
start)
    # One start at a time per build folder. Wine's programs must not inherit
    # the lock's descriptor (9>&- on each): its services outlive this script.
    exec 9>"$build/wine-session.lock"
    flock 9
    server=
    run=
    if [ -f "$session" ]; then
        read -r server run <"$session" || true
    fi
    if alive "$run"; then
        echo "wine session: waiting for the test run ${run%%:*} of $build to end" >&2
        while alive "$run"; do
            sleep 1
        done
    fi
    rm -f "$session"
    # What an earlier run left behind (a server, a prefix half made) goes.
    end_server 9>&-
    if [ ! -f "$WINEPREFIX/.zkflash-ready" ]; then
        rm -rf "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 9>&-
        mkdir -p "$build/wine-com"
        n=$first_com
        while [ "$n" -le "$last_com" ]; do
            wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ \
                /d "$build/wine-com/COM$n" /f >/dev/null 2>&1 9>&-
            n=$((n + 1))
        done
        # The ports are read when a server starts.
        end_server 9>&-
        touch "$WINEPREFIX/.zkflash-ready"
    fi
    # A program that finds no server starts a daemonised one of its own, and
    # the server that loses the race for the prefix's lock quits: the session
    # is up once a program has run and the server started here still runs.
    tries=1
    while :; do
        nohup wineserver -f -p >/dev/null 2>&1 </dev/null 9>&- &
        server=$(identity $!)
        # Its folder made (it works in it), it is about to serve.
        waited=0
        while alive "$server" && [ "$waited" -lt 50 ] &&
            ! readlink "/proc/${server%%:*}/cwd" | grep -q '/server-[0-9a-f]*-[0-9a-f]*$'; do
            sleep 0.1
            waited=$((waited + 1))
        done
        wine cmd.exe /c exit >/dev/null 2>&1 9>&-
        if alive "$server"; then
            break
        fi
        if [ "$tries" -ge 3 ]; then
            echo "wine session: the wineserver started for $build quit $tries times" >&2
            end_server 9>&-
            exit 1
        fi
        tries=$((tries + 1))
        end_server 9>&-
    done
    echo "$server $(identity "$PPID")" >"$session"
    ;;
stop)
    server=
    run=
    if [ -f "$session" ]; then
        read -r server run <"$session" || true
    fi
    # A run that did not start the session (its start failed, or another
    # run's is up) leaves it alone.
    if [ -z "$run" ] || [ "$run" != "$(identity "$PPID")" ]; then
        exit 0
    fi
    rm -f "$session"
    if ! alive "$server"; then
        end_server
        echo "wine session: the wineserver of this run ended before its last test;" \
            "tests that failed with \"wine client error\" were cut short by it" >&2
        exit 1
    fi
    end_server
    ;;
*)
    echo "usage: $0 start|stop BUILD_DIR" >&2
    exit 2
    ;;
esac
