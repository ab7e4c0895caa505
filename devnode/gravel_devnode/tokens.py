"""Daemon tokens: issued to a module, valid until their expiry, kept across restarts.

The store is shared by the daemon (which issues tokens), the hub (which accepts an unexpired
token as a module's password) and the control socket (status, expire-token). Every change is
written to disk and handed to a listener, which rewrites the broker's credentials file.
"""
from __future__ import annotations

import json
import secrets
import threading
import time
from dataclasses import dataclass
from typing import Callable, Optional

from . import state

TOKEN_BYTES = 32  # 43 url-safe characters; the kit keeps at most 255
DROP_AFTER_MS = 3600 * 1000  # tokens expired for over an hour are forgotten


def now_ms() -> int:
    return int(time.time() * 1000)


@dataclass(frozen=True)
class Token:
    module_id: str
    token: str
    expires_at: int  # ms since the epoch
    issued_at: int


class TokenStore:
    """Thread-safe set of issued tokens, persisted as JSON at ``path``."""

    def __init__(self, path: str, on_change: Optional[Callable[[list[Token]], None]] = None):
        self._path = path
        self._on_change = on_change
        self._lock = threading.Lock()
        self._tokens: dict[str, Token] = {}
        self._expire_next: set[str] = set()
        self._load()

    def _load(self) -> None:
        try:
            with open(self._path, encoding="utf-8") as f:
                records = json.load(f)
            for r in records:
                t = Token(str(r["module_id"]), str(r["token"]), int(r["expires_at"]), int(r["issued_at"]))
                self._tokens[t.token] = t
        except FileNotFoundError:
            pass
        except (OSError, ValueError, KeyError, TypeError):
            # A damaged file costs the modules their tokens (they bind again), nothing more.
            self._tokens = {}

    def issue(self, module_id: str, lifetime_ms: int, sign: bool = False) -> Token:
        """A new token for ``module_id``.

        A sign (``sign`` true) consumes an armed expiry: its token expired one second ago.
        """
        now = now_ms()
        with self._lock:
            if sign and module_id in self._expire_next:
                self._expire_next.discard(module_id)
                expires_at = now - 1000
            else:
                expires_at = now + lifetime_ms
            token = Token(module_id, secrets.token_urlsafe(TOKEN_BYTES), expires_at, now)
            self._tokens[token.token] = token
            self._prune(now)
            snapshot = list(self._tokens.values())
            self._save(snapshot)
            # Under the lock, so two issues never write their snapshots in the wrong order.
            if self._on_change:
                self._on_change(snapshot)
        return token

    def _prune(self, now: int) -> None:
        """Forget tokens expired for over an hour, except each module's latest (it can renew)."""
        latest = {m: self._latest_locked(m) for m in {t.module_id for t in self._tokens.values()}}
        keep = {t.token for t in latest.values() if t is not None}
        self._tokens = {k: t for k, t in self._tokens.items()
                        if k in keep or t.expires_at > now - DROP_AFTER_MS}

    def _save(self, tokens: list[Token]) -> None:
        records = [t.__dict__ for t in tokens]
        state.atomic_write(self._path, (json.dumps(records, indent=1) + "\n").encode(), 0o600)

    def lookup(self, token: str) -> Optional[tuple[str, int]]:
        """(module id, expiry ms) of an issued token, or None."""
        with self._lock:
            t = self._tokens.get(token)
        return (t.module_id, t.expires_at) if t else None

    def _latest_locked(self, module_id: str) -> Optional[Token]:
        mine = [t for t in self._tokens.values() if t.module_id == module_id]
        return max(mine, key=lambda t: (t.issued_at, t.expires_at)) if mine else None

    def latest(self, module_id: str) -> Optional[Token]:
        with self._lock:
            return self._latest_locked(module_id)

    def arm_expiry(self, module_id: str) -> None:
        """The next token issued to ``module_id`` (by a sign) is already expired."""
        with self._lock:
            self._expire_next.add(module_id)

    def armed(self, module_id: str) -> bool:
        with self._lock:
            return module_id in self._expire_next

    def disarm(self, module_id: str) -> None:
        with self._lock:
            self._expire_next.discard(module_id)

    def snapshot(self) -> list[Token]:
        with self._lock:
            return list(self._tokens.values())
