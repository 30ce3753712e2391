#!/bin/bash
# Stop the test server started by start_server.sh; fine if none is running.
# usage: stop_server.sh STATE_DIR PORT
set -u
[ $# -eq 2 ] || { echo "usage: stop_server.sh STATE_DIR PORT" >&2; exit 2; }
port=$2
pidfile=$1/server-$port.pid
pid=$(cat "$pidfile" 2>/dev/null)

# A stale pid may belong to some other process by now: check before killing.
# (A zombie has an empty cmdline, so it counts as gone.)
ours() {
    [[ "$pid" =~ ^[0-9]+$ ]] &&
        tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -q "test_server.py .*--port $port "
}
wait_gone() {
    for _ in $(seq 50); do
        ours || return 0
        sleep 0.1
    done
    return 1
}

if ours; then
    kill -TERM "$pid" 2>/dev/null
    wait_gone || { kill -KILL "$pid" 2>/dev/null; wait_gone; }
fi
rm -f "$pidfile"
exit 0
