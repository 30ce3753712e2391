#!/bin/bash
# Runs a Windows test program under Wine as an unprivileged player. Wine run by root ignores the
# read-only flag (it is a Unix permission, and root writes anyway), so tests of it run this way.
# usage: run_as_player.sh PREFIX SERVER_STATE EXE [ARGS...]
#   Not root: EXE runs in the Wine prefix PREFIX against the test server whose state is SERVER_STATE.
#   Root: the checkout may lie in a folder that only root can enter, so the player gets copies of EXE
#   and trust_ca.exe in a folder of its own, with a Wine prefix and a test server of its own there,
#   the server on a loopback of its own; PREFIX and SERVER_STATE are not used.
set -eu
prefix=$1 state=$2
shift 2
wine=/usr/lib/wine/wine64
here=$(cd "$(dirname "$0")" && pwd)
port=8443  # the dev build's compiled-in update server

player_env() {
    printf '%q ' env WINEPREFIX="$1" WINEDEBUG=-all "WINEDLLOVERRIDES=winemenubuilder.exe=d;mscoree=;mshtml=" \
        TB_SERVER_ROOT="Z:$2/root" TB_SERVER_STATE="Z:$2"
}

if [ "$(id -u)" != 0 ]; then
    eval "exec $(player_env "$prefix" "$state") $(printf '%q ' "$wine" "$@")"
fi

# Its own loopback: the test server shared by the other tests keeps the port there.
if [ -z "${TB_PLAYER_OWN_NETWORK:-}" ]; then
    exec env TB_PLAYER_OWN_NETWORK=1 unshare --net "$0" "$prefix" "$state" "$@"
fi
ip link set lo up

id player >/dev/null 2>&1 || useradd --create-home player
# /tmp, not TMPDIR: the player must be able to enter it.
work=$(mktemp -d /tmp/tolmek-player.XXXXXX)
own_state=$work/server
own_prefix=$work/prefix
cleanup() {
    su player -s /bin/bash -c "$(printf '%q ' env WINEPREFIX="$own_prefix" wineserver -k)" 2>/dev/null || true
    "$here/server/stop_server.sh" "$own_state" "$port"
    rm -rf "$work"
}
trap cleanup EXIT
# The test lays out the server's files and reads its log: the player owns all of it.
"$here/server/start_server.sh" "$own_state" "$port" "$own_state/root" >/dev/null
cp "$1" "$(dirname "$1")/trust_ca.exe" "$work/"
exe=$work/$(basename "$1")
shift
chown -R player "$work"
cd "$work"

as_player() {
    su player -s /bin/bash -c "$(player_env "$own_prefix" "$own_state") $(printf '%q ' "$wine" "$@")"
}
as_player "$work/trust_ca.exe" "Z:$own_state/certs/ca.der"
as_player "$exe" "$@"
