"""Publishes a sample game, serves it over local HTTPS and runs the dev launcher against it."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tools"))

import launcher_rig as rig  # noqa: E402
import make_manifest  # noqa: E402

BUILD = ROOT / "build" / "dev"
DEMO = ROOT / "build" / "demo"
SERVER = ROOT / "tests" / "server"
PORT = "8443"  # the dev build's update server is localhost:8443


def make_sample_game(game):
    shutil.rmtree(game, ignore_errors=True)
    files = {
        "Brann.exe": (BUILD / "sample_game.exe").read_bytes(),
        "data/config.ini": b"[jogo]\r\nidioma=pt-BR\r\n",
        "maps/Ilha Grande/porto.map": bytes((i * 31 + 7) & 0xFF for i in range(2_000_000)),
        "sons/Can\u00e7\u00e3o do mar.ogg": b"OggS" + bytes(200_000),
        "texturas/pedra.dds": b"DDS " + bytes(500_000),
    }
    for name, data in files.items():
        (game / name).parent.mkdir(parents=True, exist_ok=True)
        (game / name).write_bytes(data)


def save_window(display_name, state, png):
    full = DEMO / "screen.png"
    subprocess.run(["import", "-display", display_name, "-window", "root", "-depth", "8", str(full)], check=True)
    left, top, right, bottom = map(int, state["window_rect"].split(","))
    subprocess.run(["convert", str(full), "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage",
                    str(png)], check=True)
    full.unlink()


def main():
    DEMO.mkdir(parents=True, exist_ok=True)
    make_sample_game(DEMO / "game")
    make_manifest.publish(str(DEMO / "game"), str(DEMO / "site"))
    # The caching headers README asks of an update site.
    subprocess.run([str(SERVER / "start_server.sh"), str(DEMO / "server"), PORT, str(DEMO / "site"),
                    "--header", "Cache-Control: no-cache"], check=True)
    own_display = None if os.environ.get("DISPLAY") else rig.Display()
    display_name = own_display.name if own_display else os.environ["DISPLAY"]
    prefix = rig.Prefix(DEMO / "wineprefix", display_name)
    try:
        print("demo: preparing a Wine prefix that trusts the demo's certificate authority", flush=True)
        prefix.boot()
        prefix.run(BUILD / "tests" / "trust_ca.exe", rig.windows_path(DEMO / "server" / "certs" / "ca.der"))
        downloads = prefix.home / "Downloads" / "TolmekBrannLauncher.exe"
        shutil.copyfile(BUILD / "TolmekBrannLauncher.exe", downloads)
        launcher = prefix.start(rig.windows_path(downloads))
        probe = rig.Probe(prefix, BUILD / "tests" / "e2e" / "probe.exe", DEMO)
        state = probe.wait_status(rig.FINAL, 120000)
        print(f"demo: the launcher says \"{state.get('status')}\" / \"{state.get('detail')}\"", flush=True)
        png = DEMO / "launcher.png"
        save_window(display_name, state, png)
        print(f"demo: screenshot of the finished window: {png}", flush=True)
        if own_display:
            probe.close()
            launcher.wait(30)
        else:
            print("demo: click JOGAR to start the sample game, or close the window", flush=True)
            launcher.wait()
        return 0 if state.get("exit") == 0 else 1
    finally:
        prefix.stop()
        subprocess.run([str(SERVER / "stop_server.sh"), str(DEMO / "server"), PORT])
        if own_display:
            own_display.close()


if __name__ == "__main__":
    sys.exit(main())
