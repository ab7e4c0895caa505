"""The node's background process (``gravel-devnode serve --dir DIR``).

It runs the hub (HTTPS on a free 127.0.0.1 port), the daemon (with --daemon: HTTP on
DIR/daemon.sock) and the control socket DIR/control.sock, which the other subcommands use:

    GET  /status                           -> what runs, the modules, their tokens (never a token itself),
                                              the fault of hub and daemon
    POST /expire-token {"module_id"}       -> the module's next sign issues an already expired token
    POST /fault {"part", "mode", "path", "count"} -> hub or daemon in a fault mode (faults.py)

Once everything listens it writes DIR/server.json ({"pid", "hub_port"}); ``up`` waits for it.
It logs one line per request to DIR/node.log and stops on SIGTERM or SIGINT, or when DIR is
removed under it (then it stops the broker too).
"""
from __future__ import annotations

import json
import os
import signal
import ssl
import sys
import threading
from typing import Optional

from . import pki, process, state
from .faults import FaultError, Faults
from .daemon import DaemonHandler
from .httpbase import JsonHandler, NodeLog, Reply, TlsHttpServer, UnixHttpServer, printable, refuse, unix_request
from .hub import HubHandler
from .state import NodePaths, NodeState
from .tokens import TokenStore, now_ms

POLL_S = 0.2


class Runtime:
    """What the hub, the daemon and the control socket share."""

    def __init__(self, node: NodeState, log: NodeLog):
        self.node = node
        self.paths = NodePaths(node.dir)
        self.log = log
        self.hub_port = 0
        self.started_ms = now_ms()
        self._lock = threading.Lock()
        self.stop = threading.Event()  # set when the node stops: every faulted wait ends
        self.faults = Faults(self.stop, self.paths.daemon_sock if node.daemon else None, self.paths.daemon_sock_gone)
        self.binds: dict[str, set[str]] = {"hub": set(), "daemon": set()}
        self.tokens = TokenStore(self.paths.tokens_json, on_change=self._tokens_changed)
        with open(self.paths.ca_cert, encoding="ascii") as f:
            self.ca_pem = f.read()
        with open(self.paths.node_cert, encoding="ascii") as f:
            self.node_cert_pem = f.read()
        with open(self.paths.node_key, encoding="ascii") as f:
            self.node_key_pem = f.read()
        self.ca_expires_ms = pki.expires_at_ms(self.paths.ca_cert)
        self.node_cert_expires_ms = pki.expires_at_ms(self.paths.node_cert)
        # Tokens kept from an earlier run go back into the credentials file.
        state.write_credentials(node, self.tokens.snapshot())

    def _tokens_changed(self, tokens) -> None:
        state.write_credentials(self.node, tokens)

    def note_bind(self, where: str, module_id: str) -> None:
        with self._lock:
            self.binds[where].add(module_id)

    def status(self) -> dict:
        now = now_ms()
        tokens = self.tokens.snapshot()
        modules = []
        for m in self.node.modules:
            mine = [t for t in tokens if t.module_id == m.module_id]
            valid = [t.expires_at for t in mine if t.expires_at > now]
            with self._lock:
                bound = sorted(w for w, ids in self.binds.items() if m.module_id in ids)
            modules.append({"module_id": m.module_id, "bound": bound, "tokens": len(mine),
                            "valid_tokens": len(valid), "next_expiry_ms": min(valid) if valid else None,
                            "expire_armed": self.tokens.armed(m.module_id)})
        return {"pid": os.getpid(), "hub_port": self.hub_port, "daemon": self.node.daemon,
                "started_ms": self.started_ms, "modules": modules, "faults": self.faults.status()}


class ControlHandler(JsonHandler):
    part = "control"

    def route(self, method: str, path: str, query: str) -> Reply:
        if (method, path) == ("GET", "/status"):
            return Reply(200, self.runtime.status(), "status")
        if (method, path) == ("POST", "/expire-token"):
            body = self.read_json("module_id")
            if not self.runtime.node.daemon:
                raise refuse(409, "the node runs without a daemon (up --daemon)")
            if self.runtime.node.module(body["module_id"]) is None:
                raise refuse(404, f"unknown module id {body['module_id'][:80]!r}")
            self.runtime.tokens.arm_expiry(body["module_id"])
            return Reply(200, {"module_id": body["module_id"], "armed": True},
                         f"next sign of module {body['module_id']} issues an expired token")
        if (method, path) == ("POST", "/fault"):
            body = self.read_json("part", "mode")
            prefix, count = body.get("path") or "", body.get("count")
            if not isinstance(prefix, str) or not (count is None or (isinstance(count, int) and not isinstance(count, bool))):
                raise refuse(400, "path must be a string and count an integer")
            try:
                fault = self.runtime.faults.set(body["part"], body["mode"], prefix, count)
            except FaultError as e:
                raise refuse(409 if "without a daemon" in str(e) else 400, str(e)) from None
            except OSError as e:
                raise refuse(500, f"cannot move the daemon socket: {e}") from None
            return Reply(200, {"part": body["part"], **fault.describe()},
                         f"fault {body['part']} {fault.mode}" + (f" path {printable(prefix, 100)}" if prefix else "")
                         + (f" count {count}" if count is not None else ""))
        raise refuse(404, "no such endpoint")


def _unix_server(path: str, handler, runtime: Runtime) -> UnixHttpServer:
    if len(path.encode()) > 107:
        raise OSError(f"socket path {path} is longer than a unix socket allows (107 bytes)")
    try:
        os.unlink(path)  # left by a process that was killed
    except FileNotFoundError:
        pass
    server = UnixHttpServer(path, handler, runtime)
    os.chmod(path, 0o600)
    return server


def serve(root: str) -> int:
    """Run until told to stop; returns the exit status."""
    paths = NodePaths(root)
    log = NodeLog(sys.stderr)  # up points stderr at DIR/node.log
    node = NodeState.load(root)
    runtime = Runtime(node, log)

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(paths.server_cert, paths.server_key)
    hub = TlsHttpServer(("127.0.0.1", 0), HubHandler, context, runtime)
    runtime.hub_port = hub.server_address[1]
    servers: list = [hub]
    sockets = [paths.control_sock]
    if node.daemon:
        servers.append(_unix_server(paths.daemon_sock, DaemonHandler, runtime))
        sockets.append(paths.daemon_sock)
    servers.append(_unix_server(paths.control_sock, ControlHandler, runtime))

    stop = runtime.stop
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    threads = [threading.Thread(target=s.serve_forever, kwargs={"poll_interval": POLL_S}, daemon=True)
               for s in servers]
    for t in threads:
        t.start()
    state.atomic_write(paths.server_json, json.dumps({"pid": os.getpid(), "hub_port": runtime.hub_port}).encode())
    log.line(f"serve pid {os.getpid()}: hub https://127.0.0.1:{runtime.hub_port}"
             + (f", daemon unix:{paths.daemon_sock}" if node.daemon else "") + f", control unix:{paths.control_sock}")

    reason = "stopped by signal"
    broker_pid = node.broker_pid
    while not stop.wait(1.0):
        if not os.path.isdir(paths.root):
            # Removed under a running node: the broker, whose files went with it, goes too.
            reason = "node directory removed"
            process.stop(broker_pid, paths.broker_conf)
            break
        try:
            broker_pid = NodeState.load(root).broker_pid or broker_pid  # restart-broker changes it
        except (OSError, ValueError):
            pass
    stop.set()  # faulted requests (slow, stall) end now
    runtime.faults.restore()
    for s in servers:
        s.shutdown()
        s.server_close()
    for p in sockets + [paths.server_json, paths.daemon_sock_gone]:
        try:
            os.unlink(p)
        except OSError:
            pass
    log.line(f"serve pid {os.getpid()}: {reason}")
    return 0


def read_ready(paths: NodePaths) -> Optional[dict]:
    """DIR/server.json once the background process listens, else None."""
    try:
        with open(paths.server_json, encoding="utf-8") as f:
            data = json.load(f)
        return data if isinstance(data, dict) and isinstance(data.get("hub_port"), int) else None
    except (OSError, ValueError):
        return None


def control(paths: NodePaths, method: str, url: str, body: Optional[dict] = None, timeout: float = 5.0):
    """One request to the control socket: (status, JSON body)."""
    return unix_request(paths.control_sock, method, url, body, timeout=timeout)
