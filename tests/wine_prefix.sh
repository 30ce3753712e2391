#!/usr/bin/env bash
# Makes and ends the Wine prefix that every test process of one build shares.
#   wine_prefix.sh setup PREFIX    create it once, start a wineserver that stays up
#   wine_prefix.sh cleanup PREFIX  end that wineserver and whatever still runs in the prefix
set -euo pipefail
action=$1
prefix=$(realpath -m "$2")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
# Wine links the user folders to $HOME itself when they are missing there; give it its own.
export HOME=$prefix.home
mkdir -p "$HOME"/{Desktop,Documents,Downloads,Music,Pictures,Videos,Templates}

end_prefix_processes() {
    local pid
    for pid in $(grep -lzx "WINEPREFIX=$prefix" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3); do
        kill -KILL "$pid" 2>/dev/null || true
    done
}

case $action in
setup)
    # One server for the whole run, so each test process starts in a fraction of a second.
    mkdir -p "$prefix"
    wineserver -p >/dev/null 2>&1 </dev/null
    if [ ! -f "$prefix/.booted" ]; then
        # Wine's first processes start services that inherit and hold output: keep them on a file.
        wineboot -i >"$prefix.boot.log" 2>&1 </dev/null
        touch "$prefix/.booted"
    fi
    # Start the prefix's services now, not under the first test.
    /usr/lib/wine/wine64 cmd /c exit >>"$prefix.boot.log" 2>&1 </dev/null
    ;;
cleanup)
    wineserver -k >/dev/null 2>&1 || true
    sleep 0.5
    end_prefix_processes
    ;;
*)
    echo "usage: $0 setup|cleanup PREFIX" >&2
    exit 2
    ;;
esac
