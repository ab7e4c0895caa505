"""Processes the node starts: detached start, liveness by pid, stop by pid.

A pid is only signalled when /proc shows that it still runs the node's own command line (its
marker, e.g. the broker's config path), so a recycled pid never gets a stray signal.
"""
from __future__ import annotations

import os
import signal
import subprocess
import time
from typing import Optional, Sequence, Union

Markers = Union[str, Sequence[str]]

STOP_GRACE_S = 5.0
POLL_S = 0.05


def _cmdline(pid: int) -> Optional[list[str]]:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            raw = f.read()
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return None
    # Field 3 of stat, after the parenthesised command name, is the state; Z is a zombie.
    state = stat[stat.rfind(b")") + 2:][:1]
    if state in (b"Z", b"X", b""):
        return None
    return [a.decode("utf-8", "replace") for a in raw.split(b"\0") if a]


def is_running(pid: int, marker: Markers) -> bool:
    """True when ``pid`` is alive and every marker is in one of its arguments."""
    if pid <= 0:
        return False
    args = _cmdline(pid)
    markers = [marker] if isinstance(marker, str) else list(marker)
    return bool(args) and all(any(m in a for a in args) for m in markers)


def wait_gone(pid: int, marker: Markers, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not is_running(pid, marker):
            return True
        time.sleep(POLL_S)
    return not is_running(pid, marker)


def stop(pid: int, marker: Markers, kill: bool = False, grace: float = STOP_GRACE_S) -> bool:
    """Stop ``pid``: SIGTERM (or SIGKILL), wait up to ``grace`` s, then SIGKILL.

    Returns True when a running process was stopped, False when it was not running.
    """
    if not is_running(pid, marker):
        return False
    try:
        os.kill(pid, signal.SIGKILL if kill else signal.SIGTERM)
    except ProcessLookupError:
        return False
    if not wait_gone(pid, marker, grace):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        if not wait_gone(pid, marker, grace):
            raise OSError(f"process {pid} did not end after SIGKILL")
    return True


def start_detached(args: Sequence[str], log_path: str, cwd: Optional[str] = None) -> subprocess.Popen:
    """Start ``args`` in a session of its own, stdin /dev/null, output appended to ``log_path``."""
    with open(log_path, "ab") as log:
        return subprocess.Popen(list(args), stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                start_new_session=True, close_fds=True, cwd=cwd)
