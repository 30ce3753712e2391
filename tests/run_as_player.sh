#!/bin/bash
# Runs a Windows test program under Wine as an unprivileged player. Wine run by root ignores the
# read-only flag (it is a Unix permission, and root writes anyway), so tests of it run this way.
# usage: run_as_player.sh PREFIX SERVER_STATE EXE [ARGS...]   (PREFIX: the player's own Wine prefix)
set -eu
prefix=$1 state=$2
shift 2
wine=/usr/lib/wine/wine64
env=(WINEPREFIX="$prefix" WINEDEBUG=-all "WINEDLLOVERRIDES=winemenubuilder.exe=d;mscoree=;mshtml="
     TB_SERVER_ROOT="Z:$state/root" TB_SERVER_STATE="Z:$state")
if [ "$(id -u)" != 0 ]; then
    exec env "${env[@]}" "$wine" "$@"
fi
id player >/dev/null 2>&1 || useradd --create-home player
# The test lays out the server's files and reads its log.
chmod -R a+rwX "$state"
# The test authority is made anew with each server start: trusted anew each time.
install -d -o player "$prefix"
su player -s /bin/bash -c "$(printf '%q ' env "${env[@]}" "$wine" "$(dirname "$1")/trust_ca.exe" "Z:$state/certs/ca.der")"
status=0
su player -s /bin/bash -c "$(printf '%q ' env "${env[@]}" "$wine" "$@")" || status=$?
su player -s /bin/bash -c "$(printf '%q ' env WINEPREFIX="$prefix" wineserver -k)" 2>/dev/null || true
exit $status
