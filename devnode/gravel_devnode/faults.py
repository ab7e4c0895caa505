"""Fault modes of the hub and the daemon, switched by ``gravel-devnode fault`` through the
control socket. A mode applies to every request of its part, or to those whose path starts
with a prefix, for the next N of them or until it is set to ``none``:

    5xx        503 with a JSON body
    garbage    200 with a body that is not JSON (the real answer behind a non-JSON prefix)
    truncated  200 whose body stops halfway through its Content-Length, then the connection closes
    slow       the real answer, status line and headers included, 1 byte a second
    reset      the connection reset before any answer (SO_LINGER 0; on the unix socket the
               request is left unread, which resets it there)
    stall      the request read, nothing ever sent until the client gives up or the node stops
    gone       daemon only: the socket file is moved out of its place (none puts it back)

Every wait of a faulted request ends when the node stops (``down``).
"""
from __future__ import annotations

import os
import threading
from dataclasses import dataclass
from typing import Optional

MODES = ("none", "5xx", "garbage", "truncated", "slow", "reset", "stall", "gone")
PARTS = ("hub", "daemon")
GARBAGE_PREFIX = b"<html>gravel-devnode fault: not JSON</html>\n"
SLOW_BYTE_PERIOD_S = 1.0
POLL_S = 0.2


class FaultError(ValueError):
    """A fault that cannot be set; the message says why."""


@dataclass
class Fault:
    mode: str
    prefix: str = ""
    left: Optional[int] = None  # requests still to fault; None: until set to none

    def describe(self) -> dict:
        return {"mode": self.mode, "path": self.prefix or None, "left": self.left}


class Faults:
    """The fault of each part; ``take`` decides, once per request, what happens to it."""

    def __init__(self, stop: threading.Event, daemon_sock: Optional[str], gone_path: Optional[str]):
        self.stop = stop
        self._daemon_sock, self._gone_path = daemon_sock, gone_path
        self._lock = threading.Lock()
        self._faults: dict[str, Optional[Fault]] = {p: None for p in PARTS}

    def set(self, part: str, mode: str, prefix: str = "", count: Optional[int] = None) -> Fault:
        if part not in PARTS:
            raise FaultError(f"unknown part {part!r} (hub or daemon)")
        if mode not in MODES:
            raise FaultError(f"unknown mode {mode!r} (one of {', '.join(MODES)})")
        if prefix and not prefix.startswith("/"):
            raise FaultError("--path must start with /")
        if count is not None and count < 1:
            raise FaultError("--count must be at least 1")
        if mode == "gone":
            if part != "daemon":
                raise FaultError("gone is a fault of the daemon only")
            if prefix or count is not None:
                raise FaultError("gone takes the whole socket away: no --path or --count")
            if self._daemon_sock is None:
                raise FaultError("the node runs without a daemon (up --daemon)")
        if mode == "none" and (prefix or count is not None):
            raise FaultError("none takes no --path or --count")
        with self._lock:
            before = self._faults[part]
            if before is not None and before.mode == "gone" and mode != "gone":
                os.replace(self._gone_path, self._daemon_sock)
            if mode == "gone" and (before is None or before.mode != "gone"):
                os.replace(self._daemon_sock, self._gone_path)
            fault = Fault(mode, prefix, count)
            self._faults[part] = None if mode == "none" else fault
            return fault

    def armed(self, part: str) -> bool:
        with self._lock:
            return self._faults.get(part) is not None

    def take(self, part: str, path: str) -> Optional[str]:
        """The mode for this request of ``part``, counted; None when it is served normally."""
        with self._lock:
            fault = self._faults.get(part)
            if fault is None or fault.mode == "gone" or not path.startswith(fault.prefix):
                return None
            if fault.left is not None:
                fault.left -= 1
                if fault.left == 0:
                    self._faults[part] = None
            return fault.mode

    def status(self) -> dict:
        with self._lock:
            return {p: (f.describe() if f else {"mode": "none", "path": None, "left": None})
                    for p, f in self._faults.items()}

    def restore(self) -> None:
        """Puts a moved daemon socket back (the node stops, or its server is going down)."""
        with self._lock:
            fault = self._faults.get("daemon")
            if fault is not None and fault.mode == "gone":
                try:
                    os.replace(self._gone_path, self._daemon_sock)
                except OSError:
                    pass
            self._faults = {p: None for p in PARTS}


def describe(part: str, fault: dict) -> str:
    """One line for a part's fault, as ``status`` and ``fault`` print it."""
    if fault["mode"] == "none":
        return f"fault {part} none"
    where = f"requests whose path starts with {fault['path']}" if fault["path"] else "every request"
    how_long = f"the next {fault['left']}" if fault["left"] is not None else "until fault none"
    if fault["mode"] == "gone":
        return f"fault {part} gone (socket moved away until fault {part} none)"
    return f"fault {part} {fault['mode']} for {where}, {how_long}"
