"""A small MQTT 3.1.1 client over TLS, on ``ssl`` and ``socket``.

Enough for the dev node's cloud side and for test stand-ins of a module: CONNECT with user name
and password, SUBSCRIBE, PUBLISH with QoS 0 or 1 (PUBACK both ways), PINGREQ and DISCONNECT.
It runs on the caller's thread; every read waits at most until a deadline, so no call blocks
for longer than the time-out it was given.
"""
from __future__ import annotations

import collections
import socket
import ssl
import struct
import time
from dataclasses import dataclass
from typing import Optional, Sequence, Union

CONNECT, CONNACK, PUBLISH, PUBACK = 1, 2, 3, 4
SUBSCRIBE, SUBACK, PINGREQ, PINGRESP, DISCONNECT = 8, 9, 12, 13, 14

CONNACK_REASONS = {
    1: "unacceptable protocol version",
    2: "identifier rejected",
    3: "server unavailable",
    4: "bad user name or password",
    5: "not authorised",
}

MAX_PACKET = 4 * 1024 * 1024  # a larger packet from the broker is treated as a fault
SUBACK_FAILURE = 0x80


class MqttError(Exception):
    """The connection failed or the broker broke the protocol."""


class MqttTimeout(MqttError):
    """Nothing arrived in time."""


class ConnectRefused(MqttError):
    """The broker answered CONNECT with a non-zero return code."""

    def __init__(self, code: int):
        self.code = code
        super().__init__(f"connection refused: {CONNACK_REASONS.get(code, 'return code %d' % code)}")


@dataclass
class Message:
    topic: str
    payload: bytes
    qos: int
    retain: bool


def _utf8(text: str) -> bytes:
    data = text.encode("utf-8")
    if len(data) > 0xFFFF:
        raise ValueError("MQTT strings are at most 65535 bytes")
    return struct.pack("!H", len(data)) + data


def _packet(kind: int, flags: int, body: bytes) -> bytes:
    if len(body) > 268435455:
        raise ValueError("packet too large for MQTT")
    out = bytearray([(kind << 4) | flags])
    n = len(body)
    while True:
        digit, n = n % 128, n // 128
        out.append(digit | (0x80 if n else 0))
        if not n:
            break
    return bytes(out) + body


class MqttClient:
    """One TLS connection to a broker, verified against ``cafile``.

    ``timeout`` bounds the TCP connect, the TLS handshake and each wait for an answer.
    """

    def __init__(self, host: str, port: int, cafile: str, client_id: str,
                 username: Optional[str] = None, password: Optional[str] = None,
                 keepalive: int = 30, timeout: float = 5.0):
        self.host, self.port, self.cafile = host, port, cafile
        self.client_id, self.username, self.password = client_id, username, password
        self.keepalive, self.timeout = keepalive, timeout
        self._sock: Optional[ssl.SSLSocket] = None
        self._buf = bytearray()
        self._inbox: collections.deque[Message] = collections.deque()
        self._next_id = 0
        self._last_send = 0.0

    # -- connection ---------------------------------------------------------------------

    def connect(self) -> None:
        """TCP, TLS and MQTT CONNECT; raises ConnectRefused when the broker says no."""
        context = ssl.create_default_context(cafile=self.cafile)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        deadline = time.monotonic() + self.timeout
        raw = socket.create_connection((self.host, self.port), timeout=self.timeout)
        try:
            # Small packets back to back (PUBLISH, then PUBACK) would otherwise wait for the
            # peer's delayed ACK: tens of ms per round trip.
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            raw.settimeout(max(0.01, deadline - time.monotonic()))
            self._sock = context.wrap_socket(raw, server_hostname=self.host)
        except BaseException:
            raw.close()
            raise
        flags = 0x02  # clean session
        payload = _utf8(self.client_id)
        if self.username is not None:
            flags |= 0x80
            payload += _utf8(self.username)
        if self.password is not None:
            flags |= 0x40
            payload += _utf8(self.password)
        body = _utf8("MQTT") + bytes([4, flags]) + struct.pack("!H", self.keepalive) + payload
        try:
            self._send(_packet(CONNECT, 0, body))
            kind, _, data = self._read_packet(deadline)
            if kind != CONNACK or len(data) != 2:
                raise MqttError(f"expected CONNACK, got packet type {kind}")
            if data[1] != 0:
                raise ConnectRefused(data[1])
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Close the socket without DISCONNECT (the broker then sees a lost connection)."""
        if self._sock is not None:
            try:
                self._sock.close()
            except OSError:
                pass
            self._sock = None

    def disconnect(self) -> None:
        """Send DISCONNECT and close."""
        if self._sock is not None:
            try:
                self._send(_packet(DISCONNECT, 0, b""))
            except (OSError, MqttError):
                pass
        self.close()

    def __enter__(self) -> "MqttClient":
        self.connect()
        return self

    def __exit__(self, *exc) -> None:
        self.disconnect()

    # -- operations ---------------------------------------------------------------------

    def subscribe(self, filters: Union[str, Sequence[tuple[str, int]]], qos: int = 1) -> list[int]:
        """Subscribe and wait for SUBACK; returns the granted QoS per filter (0x80: refused)."""
        if isinstance(filters, str):
            filters = [(filters, qos)]
        pid = self._packet_id()
        body = struct.pack("!H", pid) + b"".join(_utf8(f) + bytes([q]) for f, q in filters)
        self._send(_packet(SUBSCRIBE, 0x02, body))
        data = self._wait_ack(SUBACK, pid)
        return list(data[2:])

    def publish(self, topic: str, payload: Union[bytes, str], qos: int = 0, retain: bool = False,
                wait: bool = True) -> None:
        """Publish; with QoS 1, wait until the broker's PUBACK, unless ``wait`` is False: then
        several messages can be in flight at once and their PUBACKs are taken as they come."""
        if qos not in (0, 1):
            raise ValueError("only QoS 0 and 1 are supported")
        if isinstance(payload, str):
            payload = payload.encode("utf-8")
        body = _utf8(topic)
        pid = 0
        if qos:
            pid = self._packet_id()
            body += struct.pack("!H", pid)
        self._send(_packet(PUBLISH, (qos << 1) | int(retain), body + payload))
        if qos and wait:
            self._wait_ack(PUBACK, pid)

    def ping(self) -> None:
        """PINGREQ and wait for PINGRESP."""
        self._send(_packet(PINGREQ, 0, b""))
        self._wait_ack(PINGRESP, None)

    def receive(self, timeout: float) -> Optional[Message]:
        """The next inbound message, or None when none came within ``timeout`` seconds.

        Keeps the connection alive meanwhile (PINGREQ at half the keep-alive interval).
        """
        if self._inbox:
            return self._inbox.popleft()
        deadline = time.monotonic() + timeout
        while True:
            now = time.monotonic()
            if now >= deadline:
                return None
            ping_at = self._last_send + self.keepalive / 2.0 if self.keepalive else deadline
            if now >= ping_at:
                self._send(_packet(PINGREQ, 0, b""))
                continue
            try:
                kind, flags, data = self._read_packet(min(deadline, ping_at))
            except MqttTimeout:
                continue
            self._dispatch(kind, flags, data)
            if self._inbox:
                return self._inbox.popleft()

    # -- internals ----------------------------------------------------------------------

    def _packet_id(self) -> int:
        self._next_id = self._next_id % 0xFFFF + 1
        return self._next_id

    def _send(self, data: bytes) -> None:
        if self._sock is None:
            raise MqttError("not connected")
        try:
            self._sock.settimeout(self.timeout)
            self._sock.sendall(data)
        except (OSError, ssl.SSLError) as e:
            raise MqttError(f"send failed: {e}") from e
        self._last_send = time.monotonic()

    def _fill(self, need: int, deadline: float) -> None:
        """Read until the buffer holds ``need`` bytes or the deadline passes."""
        assert self._sock is not None
        while len(self._buf) < need:
            left = deadline - time.monotonic()
            if left <= 0:
                raise MqttTimeout("timed out waiting for the broker")
            self._sock.settimeout(left)
            try:
                chunk = self._sock.recv(65536)
            except (socket.timeout, TimeoutError):
                raise MqttTimeout("timed out waiting for the broker") from None
            except (OSError, ssl.SSLError) as e:
                raise MqttError(f"connection lost: {e}") from e
            if not chunk:
                raise MqttError("connection closed by the broker")
            self._buf += chunk

    def _read_packet(self, deadline: float) -> tuple[int, int, bytes]:
        """One whole packet: (type, flags, body)."""
        if self._sock is None:
            raise MqttError("not connected")
        self._fill(2, deadline)
        length, multiplier, i = 0, 1, 1
        while True:
            self._fill(i + 1, deadline)
            byte = self._buf[i]
            length += (byte & 0x7F) * multiplier
            i += 1
            if not byte & 0x80:
                break
            multiplier *= 128
            if i > 4:
                raise MqttError("malformed remaining length from the broker")
        if length > MAX_PACKET:
            raise MqttError(f"packet of {length} bytes from the broker is too large")
        self._fill(i + length, deadline)
        head = self._buf[0]
        body = bytes(self._buf[i:i + length])
        del self._buf[:i + length]
        return head >> 4, head & 0x0F, body

    def _dispatch(self, kind: int, flags: int, data: bytes) -> None:
        """Handle a packet that is not the answer being waited for."""
        if kind == PUBLISH:
            qos = (flags >> 1) & 0x03
            if len(data) < 2:
                raise MqttError("malformed PUBLISH")
            (tlen,) = struct.unpack("!H", data[:2])
            pos = 2 + tlen
            topic = data[2:pos].decode("utf-8", errors="replace")
            if qos == 1:
                if len(data) < pos + 2:
                    raise MqttError("malformed PUBLISH")
                (pid,) = struct.unpack("!H", data[pos:pos + 2])
                pos += 2
                self._send(_packet(PUBACK, 0, struct.pack("!H", pid)))
            elif qos != 0:
                raise MqttError("QoS 2 delivery was never asked for")
            self._inbox.append(Message(topic, data[pos:], qos, bool(flags & 0x01)))
        elif kind in (PINGRESP, PUBACK, SUBACK):
            pass  # a late answer to something no longer waited for
        else:
            raise MqttError(f"unexpected packet type {kind} from the broker")

    def _wait_ack(self, kind: int, pid: Optional[int]) -> bytes:
        deadline = time.monotonic() + self.timeout
        while True:
            if time.monotonic() >= deadline:
                raise MqttTimeout("timed out waiting for the broker's answer")
            k, flags, data = self._read_packet(deadline)
            if k == kind and (pid is None or (len(data) >= 2 and struct.unpack("!H", data[:2])[0] == pid)):
                return data
            self._dispatch(k, flags, data)
