"""The node's certificates, made with the ``openssl`` command.

* ca.pem / ca.key: the node's root CA (EC P-256, 30 days); modules trust it (conf/rootcert.pem);
* server.pem / server.key: the broker's and the hub's certificate, for IP 127.0.0.1 and DNS
  localhost, signed by the CA;
* node.pem / node.key: the node's own certificate, which the daemon's certs endpoint hands out.
"""
from __future__ import annotations

import os
import secrets
import ssl
import subprocess

from .state import NodePaths

VALIDITY_DAYS = 30
OPENSSL_TIMEOUT_S = 20

_SERVER_EXT = """basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
"""
_NODE_EXT = """basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth, clientAuth
"""


class PkiError(Exception):
    pass


def _openssl(*args: str) -> str:
    try:
        done = subprocess.run(["openssl", *args], capture_output=True, text=True,
                              timeout=OPENSSL_TIMEOUT_S, stdin=subprocess.DEVNULL)
    except FileNotFoundError:
        raise PkiError("the openssl command is not installed (apt-get install openssl)") from None
    except subprocess.TimeoutExpired:
        raise PkiError(f"openssl {args[0]} took longer than {OPENSSL_TIMEOUT_S} s") from None
    if done.returncode != 0:
        raise PkiError(f"openssl {' '.join(args[:2])} failed: {done.stderr.strip()}")
    return done.stdout


def _new_key(path: str) -> None:
    _openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path)
    os.chmod(path, 0o600)


def _signed(paths: NodePaths, key: str, cert: str, subject: str, extensions: str) -> None:
    csr, ext = cert + ".csr", cert + ".ext"
    with open(ext, "w", encoding="ascii") as f:
        f.write(extensions)
    try:
        _openssl("req", "-new", "-key", key, "-subj", subject, "-out", csr)
        _openssl("x509", "-req", "-in", csr, "-CA", paths.ca_cert, "-CAkey", paths.ca_key,
                 "-set_serial", "0x" + secrets.token_hex(16), "-days", str(VALIDITY_DAYS),
                 "-sha256", "-extfile", ext, "-out", cert)
    finally:
        for p in (csr, ext):
            try:
                os.unlink(p)
            except OSError:
                pass


def expires_at_ms(cert: str) -> int:
    """The certificate's notAfter, in ms since the epoch."""
    out = _openssl("x509", "-noout", "-enddate", "-in", cert).strip()
    return int(ssl.cert_time_to_seconds(out.split("=", 1)[1])) * 1000


def _usable(paths: NodePaths) -> bool:
    """True when every file exists and the CA is valid for at least one more day."""
    files = (paths.ca_cert, paths.ca_key, paths.server_cert, paths.server_key, paths.node_cert, paths.node_key)
    if not all(os.path.isfile(p) for p in files):
        return False
    try:
        _openssl("x509", "-noout", "-checkend", "86400", "-in", paths.ca_cert)
        _openssl("x509", "-noout", "-checkend", "86400", "-in", paths.server_cert)
    except PkiError:
        return False
    return True


def ensure(paths: NodePaths) -> bool:
    """Make the node's certificates unless usable ones exist; True when new ones were made."""
    if _usable(paths):
        return False
    os.makedirs(paths.pki_dir, mode=0o700, exist_ok=True)
    _new_key(paths.ca_key)
    _openssl("req", "-x509", "-new", "-key", paths.ca_key, "-sha256", "-days", str(VALIDITY_DAYS),
             "-subj", "/O=gravel dev node/CN=gravel dev node CA " + secrets.token_hex(4),
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-out", paths.ca_cert)
    _new_key(paths.server_key)
    _signed(paths, paths.server_key, paths.server_cert, "/O=gravel dev node/CN=localhost", _SERVER_EXT)
    _new_key(paths.node_key)
    _signed(paths, paths.node_key, paths.node_cert, "/O=gravel dev node/CN=gravel dev node", _NODE_EXT)
    return True
