#!/bin/bash
# Start the loopback HTTPS test server in the background, for CTest fixtures.
# usage: start_server.sh STATE_DIR PORT ROOT [--untrusted] [--max-tls V] [--min-tls V] [--header 'NAME: VALUE']...
set -u
usage() { echo "usage: start_server.sh STATE_DIR PORT ROOT [--untrusted] [--max-tls V] [--min-tls V] [--header 'NAME: VALUE']..." >&2; exit 2; }
[ $# -ge 3 ] || usage
state=$1 port=$2 root=$3 cert=server
shift 3
options=()
while [ $# -gt 0 ]; do
    case $1 in
        --untrusted) cert=untrusted-server; shift ;;
        --max-tls|--min-tls|--header) [ $# -ge 2 ] || usage; options+=("$1" "$2"); shift 2 ;;
        *) usage ;;
    esac
done
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$state" || exit 1

bash "$here/stop_server.sh" "$state" "$port"
python3 "$here/make_certs.py" "$state/certs" || { echo "start_server: no certificates" >&2; exit 1; }

pidfile=$state/server-$port.pid
out=$state/server-$port.out
# Leftovers of an earlier run would confuse the tests reading them.
: > "$state/requests-$port.log"
rm -f "$state/faults-$port.json"

python3 "$here/test_server.py" --root "$root" --port "$port" \
    --cert "$state/certs/$cert.pem" --key "$state/certs/$cert.key" \
    --log "$state/requests-$port.log" --faults "$state/faults-$port.json" \
    --pidfile "$pidfile" "${options[@]}" </dev/null >"$out" 2>&1 &
pid=$!

for _ in $(seq 100); do
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "start_server: server for port $port exited:" >&2
        cat "$out" >&2
        exit 1
    fi
    if [ -s "$pidfile" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        exit 0
    fi
    sleep 0.1
done
echo "start_server: server for port $port not accepting after 10 s" >&2
kill -KILL "$pid" 2>/dev/null
rm -f "$pidfile"
exit 1
