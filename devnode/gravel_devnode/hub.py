"""The node's hub, over HTTPS with the node's server certificate.

    POST /gatewell/api/v1/modules/bind          {"module_id", "verify_code"} -> {"secret", "crypt_key"}
    GET  /gatewell/api/v1/credentials/agency    (authorised) -> {"access_key", "secret_key", "region", "expires_at"}
    POST /gatewell/api/v1/devices/commands      (authorised) {"command", "timeout"} -> {}
    GET  /gatewell/api/v1/devices/statuses[?q]  (authorised) -> [{"device_id", "module_id", "status", "updated_at"}]

"Authorised" means the header line ``Authorization: <client id>;<module id>;<password>``,
checked as the broker checks a CONNECT (see auth.py): the client id of that module within
300 s of now, and the HMAC password or an unexpired daemon token of that module.
Anything else answers 404; a body that is not the JSON asked for answers 400.
"""
from __future__ import annotations

import hmac
import secrets
import time
from urllib.parse import parse_qs

from . import auth
from .httpbase import JsonHandler, Reply, printable, refuse

BASE = "/gatewell/api/v1"
CLOUD_TOKEN_LIFETIME_S = 3600


def iso_utc(seconds: float) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


class HubHandler(JsonHandler):
    part = "hub"

    def route(self, method: str, path: str, query: str) -> Reply:
        if (method, path) == ("POST", BASE + "/modules/bind"):
            return self.bind()
        if (method, path) == ("GET", BASE + "/credentials/agency"):
            module_id = self.authorise()
            now = time.time()
            return Reply(200, {"access_key": "AK" + secrets.token_hex(10).upper(),
                               "secret_key": secrets.token_urlsafe(30),
                               "region": "local",
                               "expires_at": iso_utc(now + CLOUD_TOKEN_LIFETIME_S)},
                         f"cloud token for module {module_id}")
        if (method, path) == ("POST", BASE + "/devices/commands"):
            module_id = self.authorise()
            body = self.read_json("command")
            timeout = body.get("timeout")
            if not isinstance(timeout, int) or isinstance(timeout, bool):
                raise refuse(400, "member 'timeout' missing or not an integer")
            self.runtime.log.line(f"hub device command from module {module_id}: command "
                                  f"{printable(body['command'], 500)} timeout {timeout}")
            return Reply(200, {}, f"device command from module {module_id} recorded")
        if (method, path) == ("GET", BASE + "/devices/statuses"):
            module_id = self.authorise()
            wanted = parse_qs(query).get("device_id")
            now = iso_utc(time.time())
            devices = [{"device_id": m.device_id, "module_id": m.module_id, "status": "online", "updated_at": now}
                       for m in self.runtime.node.modules if not wanted or m.device_id in wanted]
            return Reply(200, devices, f"{len(devices)} device statuses for module {module_id}")
        raise refuse(404, "no such endpoint")

    def bind(self) -> Reply:
        body = self.read_json("module_id", "verify_code")
        module = self.runtime.node.module(body["module_id"])
        shown = printable(body["module_id"], 80)
        if module is None:
            raise refuse(401, f"bind refused: unknown module id {shown}")
        if not hmac.compare_digest(module.verify_code.encode(), body["verify_code"].encode()):
            raise refuse(401, f"bind refused: wrong verify code for module {shown}")
        self.runtime.note_bind("hub", module.module_id)
        # The keys are fixed per module, so a repeated bind answers the same ones.
        return Reply(200, {"secret": module.secret, "crypt_key": module.crypt_key}, f"bound module {shown}")

    def authorise(self) -> str:
        """The module id of a request whose Authorization line checks out; else a 401."""
        line = self.headers.get("Authorization")
        if line is None:
            raise refuse(401, "no Authorization header")
        parts = line.strip().split(";")
        if len(parts) != 3:
            raise refuse(401, "Authorization is not <client id>;<module id>;<password>")
        client_id, module_id, password = parts
        module = self.runtime.node.module(module_id)
        verdict = auth.check_module_login(module_id, module.secret if module else None, client_id, password,
                                          self.runtime.tokens.lookup, time.time())
        if not verdict.ok:
            raise refuse(401, f"refused client {printable(client_id, 100)} module {printable(module_id, 80)}: "
                              f"{verdict.detail}")
        return module_id
