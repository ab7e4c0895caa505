"""The node's local daemon: plain HTTP/1.1 on the unix socket DIR/daemon.sock.

Only the path of a request matters (the kit sends http://localhost/v2/...):

    POST /v2/modules/<id>/bind         {"verify_code"}              -> {"token", "expires_at"}
    GET  /v2/modules/<id>/sign                                      -> {"token", "expires_at"}
    POST /v2/modules/<id>/verify       {"token"}                    -> {"module_id", "expires_at"}
    GET  /v2/modules/<id>/cloud-token                               -> {"access_key", "secret_key",
                                            "auth_token", "region", "expires_at", "token",
                                            "kelp_address", "dock_api_address"}
    POST /v2/modules/<id>/encrypt      {"plaintext", "algorithm"}   -> {"ciphertext"}
    POST /v2/modules/<id>/decrypt      {"ciphertext", "algorithm"}  -> {"plaintext"}
    POST /v2/modules/<id>/digest       {"data", "algorithm"}        -> {"digest"}
    GET  /v2/device/sign                                            -> {"client_id", "password"}
    GET  /v2/modules/<id>/certs                                     -> {"certificate", "expires_at", "private_key"}
    GET  /v2/modules/<id>/trust-certs                               -> {"certificate", "expires_at"}

expires_at is an integer of ms since the epoch, except in cloud-token, where it is a string.
Bind checks the daemon verify code of the module in the path. Every other request needs
``Authorization:<token>`` with a token issued to the module in the path (device sign: to any
module) and not expired. Failures: 401 for credentials, 400 for bodies, 404 for anything else.
"""
from __future__ import annotations

import hashlib
import hmac
import secrets
import time

from . import auth, cipher
from .httpbase import JsonHandler, Reply, refuse
from .hub import CLOUD_TOKEN_LIFETIME_S, iso_utc
from .state import Module

# Operations on /v2/modules/<id>/<operation> and their methods.
MODULE_OPERATIONS = {
    "bind": "POST", "sign": "GET", "verify": "POST", "cloud-token": "GET", "encrypt": "POST",
    "decrypt": "POST", "digest": "POST", "certs": "GET", "trust-certs": "GET",
}
DIGESTS = {"sha256": hashlib.sha256}


class DaemonHandler(JsonHandler):
    part = "daemon"
    peek_first = True

    def route(self, method: str, path: str, query: str) -> Reply:
        words = path.strip("/").split("/")
        if words == ["v2", "device", "sign"] and method == "GET":
            return self.device_sign()
        if len(words) != 4 or words[:2] != ["v2", "modules"] or MODULE_OPERATIONS.get(words[3]) != method:
            raise refuse(404, "no such endpoint")
        module = self.runtime.node.module(words[2])
        operation = words[3]
        if operation == "bind":
            return self.bind(module, words[2])
        if module is None:
            raise refuse(401, f"unknown module id {words[2][:80]!r}")
        self.authorise(module, operation == "sign")
        return getattr(self, "op_" + operation.replace("-", "_"))(module)

    # -- credentials --------------------------------------------------------------------

    def bind(self, module: Module | None, module_id: str) -> Reply:
        body = self.read_json("verify_code")
        if module is None:
            raise refuse(401, f"bind refused: unknown module id {module_id[:80]!r}")
        if not hmac.compare_digest(module.daemon_verify_code.encode(), body["verify_code"].encode()):
            raise refuse(401, f"bind refused: wrong daemon verify code for module {module.module_id}")
        self.runtime.note_bind("daemon", module.module_id)
        return self.issue(module, sign=False)

    def issue(self, module: Module, sign: bool) -> Reply:
        token = self.runtime.tokens.issue(module.module_id, self.runtime.node.token_lifetime_s * 1000, sign=sign)
        left = (token.expires_at - int(time.time() * 1000)) / 1000.0
        what = "already expired (armed by expire-token)" if left <= 0 else f"valid for {left:.0f} s"
        return Reply(200, {"token": token.token, "expires_at": token.expires_at},
                     f"token for module {module.module_id} {what}")

    def token_from_header(self) -> str:
        line = self.headers.get("Authorization")
        if line is None or not line.strip():
            raise refuse(401, "no Authorization header")
        return line.strip()

    def authorise(self, module: Module, renewing: bool) -> None:
        """A token of ``module`` that has not expired, else a 401.

        A sign (``renewing``) also accepts the module's own expired tokens: a module can always
        renew with its latest token, as its sign loop may run late or meet an expired one.
        """
        token = self.token_from_header()
        verdict = auth.check_token(module.module_id, token, self.runtime.tokens.lookup, time.time())
        if verdict.ok or (renewing and verdict.detail == auth.TOKEN_EXPIRED):
            return
        raise refuse(401, f"token refused for module {module.module_id}: {verdict.detail}")

    def op_sign(self, module: Module) -> Reply:
        # A new token; the older ones stay valid until they expire.
        return self.issue(module, sign=True)

    def op_verify(self, module: Module) -> Reply:
        body = self.read_json("token")
        found = self.runtime.tokens.lookup(body["token"])
        if found is None:
            raise refuse(404, "token not issued by this daemon")
        return Reply(200, {"module_id": found[0], "expires_at": found[1]}, f"verified a token of module {found[0]}")

    def device_sign(self) -> Reply:
        token = self.token_from_header()
        found = self.runtime.tokens.lookup(token)
        if found is None or found[1] <= int(time.time() * 1000):
            raise refuse(401, "token refused for device sign: " + (auth.TOKEN_EXPIRED if found else auth.WRONG_PASSWORD))
        module = self.runtime.node.module(found[0])
        if module is None:
            raise refuse(401, "token of a module this node no longer knows")
        # The device's credentials follow the modules' rule: a timestamped client id and the
        # HMAC of it under the module's secret.
        client_id = "device_%s_1_%s" % (module.device_id, time.strftime("%Y%m%d%H%M%S", time.gmtime()))
        return Reply(200, {"client_id": client_id, "password": auth.hmac_password(module.secret, client_id)},
                     f"device sign for module {module.module_id}")

    # -- node services ------------------------------------------------------------------

    def op_cloud_token(self, module: Module) -> Reply:
        rt = self.runtime
        return Reply(200, {
            "access_key": "AK" + secrets.token_hex(10).upper(),
            "secret_key": secrets.token_urlsafe(30),
            "auth_token": secrets.token_urlsafe(32),
            "region": "local",
            "expires_at": iso_utc(time.time() + CLOUD_TOKEN_LIFETIME_S),
            "token": secrets.token_urlsafe(24),
            "kelp_address": "127.0.0.1:%d" % rt.node.broker_port,
            "dock_api_address": "https://127.0.0.1:%d" % rt.hub_port,
        }, f"cloud token for module {module.module_id}")

    def op_certs(self, module: Module) -> Reply:
        rt = self.runtime
        return Reply(200, {"certificate": rt.node_cert_pem, "expires_at": rt.node_cert_expires_ms,
                           "private_key": rt.node_key_pem}, f"node certificate for module {module.module_id}")

    def op_trust_certs(self, module: Module) -> Reply:
        rt = self.runtime
        return Reply(200, {"certificate": rt.ca_pem, "expires_at": rt.ca_expires_ms},
                     f"trust certificate for module {module.module_id}")

    def _algorithm(self, body: dict, known: tuple[str, ...]) -> str:
        algorithm = body["algorithm"].lower()
        if algorithm not in known:
            raise refuse(400, f"unknown algorithm {body['algorithm'][:40]!r} (known: {', '.join(known)})")
        return algorithm

    def op_encrypt(self, module: Module) -> Reply:
        body = self.read_json("plaintext", "algorithm")
        self._algorithm(body, (cipher.ALGORITHM,))
        return Reply(200, {"ciphertext": cipher.encrypt(module.crypt_key, body["plaintext"])},
                     f"encrypted for module {module.module_id}")

    def op_decrypt(self, module: Module) -> Reply:
        body = self.read_json("ciphertext", "algorithm")
        self._algorithm(body, (cipher.ALGORITHM,))
        try:
            plaintext = cipher.decrypt(module.crypt_key, body["ciphertext"])
        except cipher.CipherError as e:
            raise refuse(400, str(e)) from None
        return Reply(200, {"plaintext": plaintext}, f"decrypted for module {module.module_id}")

    def op_digest(self, module: Module) -> Reply:
        body = self.read_json("data", "algorithm")
        algorithm = self._algorithm(body, tuple(DIGESTS))
        return Reply(200, {"digest": DIGESTS[algorithm](body["data"].encode("utf-8")).hexdigest()},
                     f"digest for module {module.module_id}")
