"""What the hub, the daemon and the control socket share: JSON over HTTP/1.1, one log line per
request, the fault modes applied to a request (faults.py), a TLS server that shakes hands on
the connection's own thread, a unix-socket server, and a small client for unix sockets.
"""
from __future__ import annotations

import http.client
import http.server
import json
import select
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import traceback
from typing import Any, Optional
from urllib.parse import urlsplit

from . import faults as faultmodes

MAX_BODY = 1024 * 1024
IDLE_TIMEOUT_S = 30.0  # a kept-alive connection that stays silent this long is closed
PEEK_LIMIT_S = 5.0  # how long a reset waits for the whole request to arrive unread


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

    # The daemon's plain socket: a reset must find the request still unread (see handle).
    peek_first = False

    def handle(self) -> None:
        self._decided: Optional[tuple] = None
        faults = getattr(self.runtime, "faults", None)
        if self.peek_first and faults is not None and faults.armed(self.part):
            path = self._peek_request_path()
            if path is not None:
                mode = faults.take(self.part, path)
                if mode == "reset":
                    self._reset()
                    self.runtime.log.line(f"{self.part} {printable(path)} - fault reset")
                    return
                self._decided = (mode,)
        super().handle()

    def _peek_request_path(self) -> Optional[str]:
        """The path of the connection's first request once all of it has arrived, left unread;
        None when it does not arrive whole within PEEK_LIMIT_S (it is then served as usual)."""
        deadline = time.monotonic() + PEEK_LIMIT_S
        while time.monotonic() < deadline and not self.runtime.stop.is_set():
            try:
                data = self.connection.recv(65536, socket.MSG_PEEK)
            except OSError:
                return None
            if not data:
                return None
            end = data.find(b"\r\n\r\n")
            if end >= 0:
                head = data[:end].decode("latin-1").split("\r\n")
                words = head[0].split(" ")
                length = 0
                for line in head[1:]:
                    name, _, value = line.partition(":")
                    if name.strip().lower() == "content-length" and value.strip().isdigit():
                        length = int(value.strip())
                if len(words) != 3:
                    return None
                if len(data) >= end + 4 + length:
                    return urlsplit(words[1]).path
                if len(data) == 65536:
                    return None
            time.sleep(0.01)
        return None

    def _reset(self) -> None:
        """Closes the connection so that the client sees it reset: SO_LINGER 0 sends a TCP
        reset; a unix socket closed with unread data resets its peer."""
        self.close_connection = True
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        try:
            self.connection.close()
        except OSError:
            pass

    def _send(self, reply: Reply, body: Optional[bytes] = None, content_type: str = "application/json") -> None:
        payload = json.dumps(reply.body).encode() if body is None else body
        self.send_response(reply.status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(payload)

    def _answer(self, path: str, query: str) -> Reply:
        try:
            return self.route(self.command, path, query)
        except Reply as r:
            return r
        except Exception:  # a bug must not kill the connection thread silently
            traceback.print_exc(file=sys.stderr)
            return refuse(500, "internal error")

    def _serve(self) -> None:
        split = urlsplit(self.path)
        path = split.path
        self._body = None
        mode = None
        faults = getattr(self.runtime, "faults", None)
        try:
            self.read_body()
            if self._decided is not None:
                mode, self._decided = self._decided[0], None
            elif faults is not None:
                mode = faults.take(self.part, path)
            reply = None if mode else self._answer(path, split.query)
        except Reply as r:
            reply = r
        shown = printable(path) + ("?(query of %d characters)" % len(split.query) if split.query else "")
        if mode:
            outcome = self._serve_fault(mode, path, split.query)
            self.runtime.log.line(f"{self.part} {self.command} {shown} {outcome}")
            return
        try:
            self._send(reply)
        finally:
            self.runtime.log.line(f"{self.part} {self.command} {shown} {reply.status} {reply.reason}")

    def _serve_fault(self, mode: str, path: str, query: str) -> str:
        """Answers (or does not) as the fault mode says; returns the rest of the log line."""
        self.close_connection = True
        if mode == "5xx":
            self._send(Reply(503, {"error": "service unavailable (fault 5xx)"}, ""))
            return "503 fault 5xx"
        if mode == "reset":
            self._reset()
            return "- fault reset"
        if mode == "stall":
            started = time.monotonic()
            why = self._stall()
            return f"- fault stall, ended after {time.monotonic() - started:.1f} s: {why}"
        reply = self._answer(path, query)
        payload = json.dumps(reply.body).encode()
        if mode == "garbage":
            self._send(Reply(200, None, ""), faultmodes.GARBAGE_PREFIX + payload, "text/html")
            return "200 fault garbage"
        if mode == "truncated":
            self.send_response(reply.status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload[:len(payload) // 2])
            self._close_cleanly()
            return f"{reply.status} fault truncated ({len(payload) // 2} of {len(payload)} bytes)"
        if mode == "slow":
            head = (f"HTTP/1.1 {reply.status} {self.responses.get(reply.status, ('',))[0]}\r\n"
                    f"Server: {self.version_string()}\r\nDate: {self.date_time_string()}\r\n"
                    f"Content-Type: application/json\r\nContent-Length: {len(payload)}\r\n"
                    "Connection: close\r\n\r\n").encode("latin-1")
            data = head + payload
            sent = 0
            why = "done"
            try:
                for i in range(len(data)):
                    if select.select([self.connection], [], [], 0)[0]:
                        why = "client closed the connection"  # or sent more: either way it gave up
                        break
                    self.wfile.write(data[i:i + 1])
                    sent += 1
                    if i + 1 < len(data) and self.runtime.stop.wait(faultmodes.SLOW_BYTE_PERIOD_S):
                        why = "node stopping"
                        break
            except OSError:
                why = "client went away"
            return f"{reply.status} fault slow ({sent} of {len(data)} bytes sent, {why})"
        raise AssertionError(mode)

    def _stall(self) -> str:
        """Sends nothing; returns once the client closes or the node stops."""
        try:
            self.connection.settimeout(faultmodes.POLL_S)
        except OSError:
            return "connection gone"
        while not self.runtime.stop.is_set():
            try:
                data = self.connection.recv(1)
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except OSError:
                return "client reset the connection"
            if not data:
                return "client closed the connection"
        return "node stopping"

    def _close_cleanly(self) -> None:
        """Ends the connection after what was written: TLS close_notify first, then the socket."""
        unwrap = getattr(self.connection, "unwrap", None)
        try:
            if unwrap is not None:
                self.connection.settimeout(1.0)
                unwrap()
            else:
                self.connection.shutdown(socket.SHUT_WR)
        except (OSError, ValueError):
            pass

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
