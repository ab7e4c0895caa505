"""What the hub, the daemon and the control socket share: JSON over HTTP/1.1, one log line per
request, a TLS server that shakes hands on the connection's own thread, a unix-socket server,
and a small client for unix sockets.
"""
from __future__ import annotations

import http.client
import http.server
import json
import socket
import socketserver
import ssl
import sys
import threading
import time
import traceback
from typing import Any, Optional
from urllib.parse import urlsplit

MAX_BODY = 1024 * 1024
IDLE_TIMEOUT_S = 30.0  # a kept-alive connection that stays silent this long is closed


class NodeLog:
    """DIR/node.log: one line per event, written whole under a lock."""

    def __init__(self, stream):
        self._stream = stream
        self._lock = threading.Lock()

    def line(self, text: str) -> None:
        now = time.time()
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now)) + ".%03dZ" % (int(now * 1000) % 1000)
        with self._lock:
            self._stream.write(f"{stamp} {text}\n")
            self._stream.flush()


class Reply(Exception):
    """Ends a request with ``status``, a JSON body and the reason for the log line."""

    def __init__(self, status: int, body: Any, reason: str):
        super().__init__(reason)
        self.status, self.body, self.reason = status, body, reason


def refuse(status: int, reason: str) -> Reply:
    return Reply(status, {"error": reason}, reason)


def printable(text: str, limit: int = 200) -> str:
    """``text`` made safe for one log line."""
    clean = "".join(c if c.isprintable() and c != " " else "\\x%02x" % (ord(c) & 0xFF) for c in text)
    return clean if len(clean) <= limit else clean[:limit] + "..."


class JsonHandler(http.server.BaseHTTPRequestHandler):
    """Dispatches to ``route(method, path, query)``, which returns or raises a Reply."""

    protocol_version = "HTTP/1.1"
    server_version = "gravel-devnode"
    sys_version = ""
    timeout = IDLE_TIMEOUT_S
    part = "http"

    def route(self, method: str, path: str, query: str) -> Reply:
        raise refuse(404, "no such endpoint")

    def log_message(self, format: str, *args: Any) -> None:
        pass  # each request is logged once, by _serve, without its headers

    def address_string(self) -> str:
        return "local"

    @property
    def runtime(self):
        return self.server.runtime  # type: ignore[attr-defined]

    def read_body(self) -> bytes:
        """The request body, read once; _serve reads it before routing, so that a refusal
        never leaves an unread body behind (closing on one would reset the connection and
        lose the answer)."""
        cached = getattr(self, "_body", None)
        if cached is not None:
            return cached
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            self.close_connection = True
            raise refuse(411, "send the body with a Content-Length")
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            self.close_connection = True
            raise refuse(400, "bad Content-Length") from None
        if length < 0 or length > MAX_BODY:
            self.close_connection = True
            raise refuse(413, f"body larger than {MAX_BODY} bytes")
        self._body = self.rfile.read(length) if length else b""
        return self._body

    def read_json(self, *members: str) -> dict:
        """The body as a JSON object whose named members are strings."""
        body = self.read_body()
        try:
            data = json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            raise refuse(400, "body is not JSON") from None
        if not isinstance(data, dict):
            raise refuse(400, "body is not a JSON object")
        for name in members:
            if not isinstance(data.get(name), str):
                raise refuse(400, f"member {name!r} missing or not a string")
        return data

    def _serve(self) -> None:
        split = urlsplit(self.path)
        path = split.path
        self._body = None
        try:
            self.read_body()
            reply = self.route(self.command, path, split.query)
        except Reply as r:
            reply = r
        except Exception:  # a bug must not kill the connection thread silently
            traceback.print_exc(file=sys.stderr)
            reply = refuse(500, "internal error")
        payload = json.dumps(reply.body).encode()
        try:
            self.send_response(reply.status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(payload)))
            if self.close_connection:
                self.send_header("Connection", "close")
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(payload)
        finally:
            shown = printable(path) + ("?(query of %d characters)" % len(split.query) if split.query else "")
            self.runtime.log.line(f"{self.part} {self.command} {shown} {reply.status} {reply.reason}")

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = _serve


class TlsHttpServer(http.server.ThreadingHTTPServer):
    """HTTPS; the handshake runs on the connection's thread, so a stalled client blocks no one."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, handler, context: ssl.SSLContext, runtime):
        self.context, self.runtime = context, runtime
        super().__init__(address, handler)

    def finish_request(self, request, client_address):
        request.settimeout(IDLE_TIMEOUT_S)
        try:
            conn = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.runtime.log.line(f"hub TLS handshake failed: {printable(str(e))}")
            return
        try:
            self.RequestHandlerClass(conn, client_address, self)
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass  # a client that went away mid-request is not the node's fault


class UnixHttpServer(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    daemon_threads = True

    def __init__(self, path: str, handler, runtime):
        self.runtime = runtime
        super().__init__(path, handler)

    def handle_error(self, request, client_address):
        pass


class UnixHTTPConnection(http.client.HTTPConnection):
    """http.client over a unix socket: the host in the URL only fills the Host header."""

    def __init__(self, path: str, timeout: float = 5.0):
        super().__init__("localhost", timeout=timeout)
        self.unix_path = path

    def connect(self) -> None:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(self.timeout)
        try:
            sock.connect(self.unix_path)
        except BaseException:
            sock.close()
            raise
        self.sock = sock


def unix_request(path: str, method: str, url: str, body: Optional[dict] = None,
                 headers: Optional[dict] = None, timeout: float = 5.0) -> tuple[int, Any]:
    """One request over the unix socket ``path``: (status, parsed JSON body or None)."""
    conn = UnixHTTPConnection(path, timeout=timeout)
    try:
        data = json.dumps(body).encode() if body is not None else None
        hdrs = dict(headers or {})
        if data is not None:
            hdrs["Content-Type"] = "application/json"
        conn.request(method, url, body=data, headers=hdrs)
        resp = conn.getresponse()
        raw = resp.read()
        try:
            parsed = json.loads(raw) if raw else None
        except ValueError:
            parsed = None
        return resp.status, parsed
    finally:
        conn.close()
