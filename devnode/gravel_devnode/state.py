"""The node's files: its state (DIR/node.json), the broker's credentials file, atomic writes,
and the record of the last node started.
"""
from __future__ import annotations

import json
import os
import tempfile
import time
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Iterable, Optional

if TYPE_CHECKING:
    from .tokens import Token

STATE_VERSION = 1


def atomic_write(path: str, data: bytes, mode: int = 0o644) -> None:
    """Replace ``path`` with ``data`` so that readers see the old file or the new one, whole.

    A temporary file in the same directory is written, flushed to disk and renamed over the
    target; the directory is synced so the rename itself survives a crash.
    """
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(path) + ".")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    dir_fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


class NodePaths:
    """Where everything of the node in ``root`` lives."""

    def __init__(self, root: str):
        self.root = os.path.abspath(root)

    def _p(self, *parts: str) -> str:
        return os.path.join(self.root, *parts)

    @property
    def node_json(self) -> str: return self._p("node.json")
    @property
    def node_log(self) -> str: return self._p("node.log")
    @property
    def server_json(self) -> str: return self._p("server.json")
    @property
    def daemon_sock(self) -> str: return self._p("daemon.sock")
    @property
    def daemon_sock_gone(self) -> str: return self._p(".daemon.sock.gone")  # where fault daemon gone moves it
    @property
    def control_sock(self) -> str: return self._p("control.sock")
    @property
    def module_env(self) -> str: return self._p("module.env")
    @property
    def tokens_json(self) -> str: return self._p("tokens.json")
    @property
    def broker_dir(self) -> str: return self._p("broker")
    @property
    def broker_conf(self) -> str: return self._p("broker", "mosquitto.conf")
    @property
    def broker_log(self) -> str: return self._p("broker", "mosquitto.log")
    @property
    def credentials(self) -> str: return self._p("broker", "credentials")
    @property
    def pki_dir(self) -> str: return self._p("pki")
    @property
    def ca_cert(self) -> str: return self._p("pki", "ca.pem")
    @property
    def ca_key(self) -> str: return self._p("pki", "ca.key")
    @property
    def server_cert(self) -> str: return self._p("pki", "server.pem")
    @property
    def server_key(self) -> str: return self._p("pki", "server.key")
    @property
    def node_cert(self) -> str: return self._p("pki", "node.pem")
    @property
    def node_key(self) -> str: return self._p("pki", "node.key")

    def module_dir(self, module_id: str) -> str:
        return self._p("modules", module_id)

    def module_env_of(self, module_id: str) -> str:
        return self._p("modules", module_id, "module.env")


@dataclass
class Module:
    """A module the node knows, with everything it hands out on bind."""

    module_id: str
    device_id: str
    verify_code: str  # for the hub bind
    daemon_verify_code: str  # for the daemon bind
    secret: str
    crypt_key: str


@dataclass
class NodeState:
    """DIR/node.json: how the node was started and the processes it runs."""

    dir: str
    daemon: bool
    token_lifetime_s: int
    plugin: str
    cloud_user: str
    cloud_password: str
    modules: list[Module]
    broker_port: int = 0
    broker_pid: int = 0
    server_pid: int = 0
    hub_port: int = 0
    started_at: float = 0.0
    version: int = STATE_VERSION
    extra: dict = field(default_factory=dict)

    def module(self, module_id: str) -> Optional[Module]:
        return next((m for m in self.modules if m.module_id == module_id), None)

    def save(self) -> None:
        data = json.dumps(asdict(self), indent=2, sort_keys=True) + "\n"
        atomic_write(NodePaths(self.dir).node_json, data.encode(), 0o600)

    @staticmethod
    def load(root: str) -> "NodeState":
        """Read DIR/node.json; raises OSError or ValueError when it is missing or damaged."""
        with open(NodePaths(root).node_json, encoding="utf-8") as f:
            raw = json.load(f)
        if not isinstance(raw, dict) or raw.get("version") != STATE_VERSION:
            raise ValueError("not a node state file of this version")
        try:
            raw["modules"] = [Module(**m) for m in raw["modules"]]
            return NodeState(**raw)
        except TypeError as e:
            raise ValueError(f"node state file is damaged: {e}") from None


def credentials_text(node: NodeState, tokens: Iterable["Token"], now_ms: int) -> str:
    """The broker plugin's credentials file: modules, their tokens, the cloud user.

    Tokens expired for over an hour are left out; an expired one still inside that hour stays,
    so the plugin can say "daemon token expired" rather than "wrong password".
    """
    lines = ["# gravel dev node credentials, rewritten by the node; one record per line"]
    lines += [f"module {m.module_id} {m.secret}" for m in node.modules]
    known = {m.module_id for m in node.modules}
    for t in sorted(tokens, key=lambda t: t.issued_at):
        if t.module_id in known and t.expires_at > now_ms - 3600 * 1000:
            lines.append(f"token {t.module_id} {t.token} {t.expires_at}")
    lines.append(f"cloud {node.cloud_user} {node.cloud_password}")
    return "\n".join(lines) + "\n"


def write_credentials(node: NodeState, tokens: Iterable["Token"]) -> None:
    text = credentials_text(node, tokens, int(time.time() * 1000))
    atomic_write(NodePaths(node.dir).credentials, text.encode(), 0o600)


def _last_record() -> str:
    # A fixed place, whatever TMPDIR says, so every shell of the user finds the same node.
    return os.path.join("/tmp", f"gravel-devnode-{os.getuid()}", "last")


def record_last_dir(root: str) -> None:
    """Remember ``root`` as the node the other subcommands use without --dir."""
    record = _last_record()
    os.makedirs(os.path.dirname(record), mode=0o700, exist_ok=True)
    st = os.stat(os.path.dirname(record))
    if st.st_uid != os.getuid():
        raise OSError(f"{os.path.dirname(record)} belongs to another user")
    atomic_write(record, (os.path.abspath(root) + "\n").encode(), 0o600)


def last_dir() -> Optional[str]:
    """The directory of the last ``up``, or None."""
    record = _last_record()
    try:
        if os.stat(os.path.dirname(record)).st_uid != os.getuid():
            return None
        with open(record, encoding="utf-8") as f:
            text = f.read().strip()
    except OSError:
        return None
    return text or None
