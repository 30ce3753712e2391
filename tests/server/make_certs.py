#!/usr/bin/env python3
"""Make the TLS files the loopback test server needs.

    make_certs.py OUTDIR

Creates, unless already present and valid:
  ca.pem ca.key ca.der                  trusted test authority (ca.der for the Root store import)
  server.pem server.key                 localhost, signed by ca.pem
  untrusted-ca.pem untrusted-ca.key     an authority nobody trusts
  untrusted-server.pem untrusted-server.key
  codesign.pem codesign.key             Authenticode code signing, signed by ca.pem
"""
import datetime
import fcntl
import os
import pathlib
import ssl
import subprocess
import sys
import tempfile
import time

DAYS = 3650

EXTENSIONS = """
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[leaf_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[codesign_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
"""

# "openssl ca" rather than "openssl x509 -req": only it can backdate notBefore,
# which spares us clock-skew surprises between the host and Wine.
CA_CONFIG = """
[ca]
default_ca = test_ca

[test_ca]
database = {work}/index.txt
serial = {work}/serial
new_certs_dir = {work}
default_md = sha256
policy = any_policy
unique_subject = no
copy_extensions = none

[any_policy]
commonName = supplied
"""


def openssl(*args):
    subprocess.run(("openssl",) + args, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def ok(*args):
    return subprocess.run(("openssl",) + args, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL)


def asn1_time(delta_days):
    t = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=delta_days)
    return t.strftime("%Y%m%d%H%M%SZ")


def issue(cn, key, cert, ca_cert=None, ca_key=None, extensions="leaf_ext"):
    """Write a new key and a certificate for it; self-signed CA when ca_cert is None."""
    with tempfile.TemporaryDirectory() as work:
        conf = os.path.join(work, "openssl.cnf")
        with open(conf, "w") as f:
            f.write(CA_CONFIG.format(work=work) + EXTENSIONS)
        open(os.path.join(work, "index.txt"), "w").close()
        csr = os.path.join(work, "req.csr")
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256",
                "-keyout", key + ".tmp", "-out", csr, "-subj", "/CN=" + cn)
        args = ["ca", "-batch", "-notext", "-config", conf, "-rand_serial",
                "-startdate", asn1_time(-1), "-enddate", asn1_time(DAYS),
                "-in", csr, "-out", cert + ".tmp"]
        if ca_cert is None:
            args += ["-selfsign", "-keyfile", key + ".tmp", "-extensions", "ca_ext"]
        else:
            args += ["-cert", ca_cert, "-keyfile", ca_key, "-extensions", extensions]
        openssl(*args)
    os.chmod(key + ".tmp", 0o600)
    os.replace(key + ".tmp", key)
    os.replace(cert + ".tmp", cert)


def valid(cert, key, ca_cert):
    """Cert chains to ca_cert, lasts another day, and key is its key."""
    if not (os.path.isfile(cert) and os.path.isfile(key) and os.path.isfile(ca_cert)):
        return False
    try:
        ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER).load_cert_chain(cert, key)
    except ssl.SSLError:
        return False
    tomorrow = str(int(time.time()) + 86400)
    return ok("verify", "-x509_strict", "-attime", tomorrow, "-CAfile", ca_cert,
              cert).returncode == 0


def make_pair(outdir, prefix, ca_cn):
    p = lambda name: os.path.join(outdir, prefix + name)
    ca_cert, ca_key = p("ca.pem"), p("ca.key")
    if not valid(ca_cert, ca_key, ca_cert):
        issue(ca_cn, ca_key, ca_cert)
    if not valid(p("server.pem"), p("server.key"), ca_cert):
        issue("localhost", p("server.key"), p("server.pem"), ca_cert, ca_key)
    return ca_cert


def make_certs(outdir):
    os.makedirs(outdir, exist_ok=True)
    # Parallel CTest fixtures share one cert directory.
    with open(os.path.join(outdir, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        ca_cert = make_pair(outdir, "", "Tolmek Brann Test CA")
        der = ssl.PEM_cert_to_DER_cert(pathlib.Path(ca_cert).read_text())
        der_path = pathlib.Path(outdir, "ca.der")
        if not der_path.is_file() or der_path.read_bytes() != der:
            der_path.with_suffix(".tmp").write_bytes(der)
            os.replace(der_path.with_suffix(".tmp"), der_path)
        make_pair(outdir, "untrusted-", "Tolmek Brann Untrusted Test CA")
        cert, key = os.path.join(outdir, "codesign.pem"), os.path.join(outdir, "codesign.key")
        if not valid(cert, key, ca_cert):
            issue("Tolmek Brann Test Publisher", key, cert, ca_cert, os.path.join(outdir, "ca.key"),
                  extensions="codesign_ext")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_certs.py OUTDIR")
    try:
        make_certs(sys.argv[1])
    except subprocess.CalledProcessError as e:
        sys.exit("openssl failed: %s\n%s" % (" ".join(e.cmd), e.stderr.decode(errors="replace")))
