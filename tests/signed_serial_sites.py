#!/usr/bin/env python3
"""Publishes, with the publisher's tool, the signed games that the launcher's serial tests serve.

    signed_serial_sites.py TOOLS_DIR SIGNED_DIR KEY.pem SERIAL...

For each SERIAL, SIGNED_DIR/serial-SERIAL-site/launcher holds a game of its own ("Brann.exe" names
the serial; the map is the same in all) signed with that serial; SIGNED_DIR/no-serial-site/launcher
holds one signed without a serial line.
"""

import os
import sys


def put_game(folder, version):
    os.makedirs(os.path.join(folder, "maps"), exist_ok=True)
    with open(os.path.join(folder, "Brann.exe"), "wb") as f:
        f.write(b"the game of %s\n" % version.encode())
    with open(os.path.join(folder, "maps", "ilha 1.map"), "wb") as f:
        f.write(b"a map of the island\n")


def main(tools, signed, key_path, *serials):
    sys.path.insert(0, tools)
    import make_manifest

    key = make_manifest.load_signing_key(key_path)
    for serial in serials:
        game = os.path.join(signed, "serial-%s-game" % serial)
        put_game(game, "serial " + serial)
        make_manifest.publish(game, os.path.join(signed, "serial-%s-site" % serial),
                              signing_key=key, serial=int(serial))
    game = os.path.join(signed, "no-serial-game")
    put_game(game, "no serial")
    site = os.path.join(signed, "no-serial-site")
    make_manifest.publish(game, site)
    manifest = os.path.join(site, "launcher", "manifest.txt")
    with open(manifest, "rb") as f:
        text = f.read()
    with open(manifest, "wb") as f:
        f.write(text + make_manifest.signature_line(text, key))


if __name__ == "__main__":
    main(*sys.argv[1:])
