"""The credential checks of a node, shared by the hub and the daemon.

The broker's plugin applies the same rules at MQTT CONNECT, so a module that passes here
passes there:

* client id ``module_<module id>_1_<UTC time YYYYmmddHHMMSS>``, whose module id part equals the
  user name, and whose time is at most 300 s away from the node's clock;
* password: the lowercase hex HMAC-SHA256 of the client id, keyed with the bytes of the
  module's secret string (as the hub hands it out, not decoded), or an unexpired daemon token
  issued to that module.
"""
from __future__ import annotations

import calendar
import hashlib
import hmac
import string
import time
from typing import Callable, NamedTuple, Optional

CLIENT_ID_MAX_SKEW_S = 300
MODULE_ID_MIN_LEN = 8  # the kit's HMAC password needs a client id of at least 32 characters
MODULE_ID_MAX_LEN = 64
_MODULE_ID_CHARS = frozenset(string.ascii_letters + string.digits + "-_.")

# Reasons, worded as the broker's plugin words them in its log.
UNKNOWN_MODULE = "unknown module id"
CLIENT_ID_MISMATCH = "client id does not match module id"
CLIENT_ID_TIME_INVALID = "client id time invalid"
CLIENT_ID_TIME_RANGE = "client id time out of range"
TOKEN_EXPIRED = "daemon token expired"
WRONG_PASSWORD = "wrong password"

# Looks a token up: (module id it was issued to, expiry in ms since the epoch), or None.
TokenLookup = Callable[[str], Optional[tuple[str, int]]]


class Verdict(NamedTuple):
    """Outcome of a check: accepted with how ("hmac", "daemon token"), or refused with why."""

    ok: bool
    detail: str


def module_id_problem(module_id: str) -> Optional[str]:
    """Why a module id cannot be used, or None when it can."""
    if len(module_id) < MODULE_ID_MIN_LEN:
        return (f"module id {module_id!r} is shorter than {MODULE_ID_MIN_LEN} characters "
                "(the kit's HMAC password needs a client id of at least 32 characters)")
    if len(module_id.encode()) > MODULE_ID_MAX_LEN:
        return f"module id {module_id!r} is longer than {MODULE_ID_MAX_LEN} bytes"
    bad = sorted(set(module_id) - _MODULE_ID_CHARS)
    if bad:
        return (f"module id {module_id!r} holds {''.join(bad)!r}: use letters, digits, '-', '_' "
                "and '.' only (ids become MQTT topic levels, file names and shell values)")
    return None


def client_id_for(module_id: str, now: float) -> str:
    """The client id a module builds at time ``now`` (seconds since the epoch)."""
    return "module_%s_1_%s" % (module_id, time.strftime("%Y%m%d%H%M%S", time.gmtime(now)))


def hmac_password(secret: str, client_id: str) -> str:
    """The HMAC password of a client id: hex HMAC-SHA256 keyed with the secret's bytes."""
    return hmac.new(secret.encode(), client_id.encode(), hashlib.sha256).hexdigest()


def check_client_id(client_id: str, module_id: str, now: float) -> Optional[str]:
    """Why ``client_id`` is not acceptable for ``module_id`` at ``now``, or None."""
    prefix = "module_%s_1_" % module_id
    stamp = client_id[len(prefix):]
    if not client_id.startswith(prefix) or len(stamp) != 14 or not all(c in string.digits for c in stamp):
        return CLIENT_ID_MISMATCH
    try:
        fields = (int(stamp[0:4]), int(stamp[4:6]), int(stamp[6:8]),
                  int(stamp[8:10]), int(stamp[10:12]), int(stamp[12:14]))
        # time.struct_time does not validate; round-trip through the calendar to do so.
        stamp_s = calendar.timegm(fields + (0, 0, 0))
        if time.gmtime(stamp_s)[:6] != fields:
            return CLIENT_ID_TIME_INVALID
    except (ValueError, OverflowError):
        return CLIENT_ID_TIME_INVALID
    if abs(stamp_s - now) > CLIENT_ID_MAX_SKEW_S:
        return CLIENT_ID_TIME_RANGE
    return None


def check_module_login(module_id: str, secret: Optional[str], client_id: str, password: str,
                       lookup: TokenLookup, now: float) -> Verdict:
    """The whole check of a module's credentials, in the plugin's order.

    ``secret`` is None for a module id the node does not know.
    """
    if secret is None:
        return Verdict(False, UNKNOWN_MODULE)
    problem = check_client_id(client_id, module_id, now)
    if problem:
        return Verdict(False, problem)
    if hmac.compare_digest(hmac_password(secret, client_id).encode(), password.encode()):
        return Verdict(True, "hmac")
    return check_token(module_id, password, lookup, now)


def check_token(module_id: str, token: str, lookup: TokenLookup, now: float) -> Verdict:
    """A daemon token as a password: issued to ``module_id`` and not expired."""
    entry = lookup(token) if token else None
    if entry is None or entry[0] != module_id:
        return Verdict(False, WRONG_PASSWORD)
    if entry[1] <= int(now * 1000):
        return Verdict(False, TOKEN_EXPIRED)
    return Verdict(True, "daemon token")
