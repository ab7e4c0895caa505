#!/usr/bin/env python3
"""Self-test of the dev node: real mosquitto with the credentials plugin, real TLS, real
sockets. A stand-in module written on the node's own MQTT client binds, connects and answers
commands as a module built on the kit would.

usage: python3 devnode/test_devnode.py [--plugin PATH] [unittest options]

Without a plugin (--plugin, $GRAVEL_DEVNODE_PLUGIN or a built one) or without mosquitto, every
test is skipped with the reason.
"""
from __future__ import annotations

import base64
import hashlib
import hmac
import http.client
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ENTRY = os.path.join(HERE, "gravel-devnode")
sys.path.insert(0, HERE)

from gravel_devnode import broker as broker_mod  # noqa: E402
from gravel_devnode.mqtt import ConnectRefused, MqttClient, MqttError  # noqa: E402

PLUGIN: str | None = None
SKIP_REASON = ""
NOT_AUTHORISED = 5


def choose_plugin(argv: list[str]) -> list[str]:
    """Take --plugin PATH out of argv; decide what to test with."""
    global PLUGIN, SKIP_REASON
    rest, explicit = [], None
    it = iter(argv)
    for a in it:
        if a == "--plugin":
            explicit = next(it, None)
        elif a.startswith("--plugin="):
            explicit = a.split("=", 1)[1]
        else:
            rest.append(a)
    try:
        broker_mod.find_mosquitto()
        PLUGIN = broker_mod.find_plugin(explicit)
    except broker_mod.BrokerError as e:
        SKIP_REASON = str(e)
    return rest


def setUpModule() -> None:
    if PLUGIN is None:
        raise unittest.SkipTest(SKIP_REASON or "no broker plugin")


# -- helpers ----------------------------------------------------------------------------


def devnode(*args: str, timeout: float = 30) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, ENTRY, *args], capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)


def read_env(path: str) -> dict[str, str]:
    with open(path, encoding="utf-8") as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if line.strip())


def client_id(module_id: str, at: float | None = None) -> str:
    return "module_%s_1_%s" % (module_id, time.strftime("%Y%m%d%H%M%S", time.gmtime(time.time() if at is None else at)))


def hmac_hex(secret: str, text: str) -> str:
    return hmac.new(secret.encode(), text.encode(), hashlib.sha256).hexdigest()


def pid_alive(pid: int) -> bool:
    """True while ``pid`` runs (a zombie has ended)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rfind(b")") + 2:][:1] not in (b"Z", b"X")


def wait_until(predicate, timeout: float, step: float = 0.05) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return bool(predicate())


class UnixConnection(http.client.HTTPConnection):
    def __init__(self, path: str):
        super().__init__("localhost", timeout=5)
        self.path_ = path

    def connect(self) -> None:
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(5)
        self.sock.connect(self.path_)


def unix_call(sock: str, method: str, path: str, body: object = None, token: str | None = None,
              raw: bytes | None = None) -> tuple[int, object]:
    conn = UnixConnection(sock)
    try:
        # http.client writes "Authorization: <token>"; the kit writes it without the blank,
        # which test_authorization_without_blank_after_the_colon sends by hand.
        headers = {"Authorization": token} if token is not None else {}
        data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
        conn.request(method, path, body=data, headers=headers)
        resp = conn.getresponse()
        text = resp.read()
        return resp.status, json.loads(text) if text else None
    finally:
        conn.close()


class Node:
    """A node started with ``up`` in a temporary directory, with what it printed."""

    def __init__(self, *options: str):
        self.tmp = tempfile.mkdtemp(prefix="devnode-test-")
        self.dir = os.path.join(self.tmp, "node")
        done = devnode("up", "--dir", self.dir, "--plugin", PLUGIN, *options)
        if done.returncode != 0:
            shutil.rmtree(self.tmp, ignore_errors=True)
            raise AssertionError(f"up failed ({done.returncode}): {done.stderr}")
        self.stdout = done.stdout
        self.ca = os.path.join(self.dir, "pki", "ca.pem")
        m = re.search(r"^broker 127\.0\.0\.1:(\d+) \(TLS", done.stdout, re.M)
        self.broker_port = int(m.group(1))
        self.hub_port = int(re.search(r"^hub https://127\.0\.0\.1:(\d+)$", done.stdout, re.M).group(1))
        self.modules = re.findall(r"^module (\S+) work dir (\S+) env (\S+)$", done.stdout, re.M)
        self.env = {mid: read_env(env) for mid, _, env in self.modules}
        self.daemon_sock = os.path.join(self.dir, "daemon.sock")

    def state(self) -> dict:
        with open(os.path.join(self.dir, "node.json"), encoding="utf-8") as f:
            return json.load(f)

    def broker_log(self) -> str:
        with open(os.path.join(self.dir, "broker", "mosquitto.log"), encoding="utf-8", errors="replace") as f:
            return f.read()

    def node_log(self) -> str:
        with open(os.path.join(self.dir, "node.log"), encoding="utf-8", errors="replace") as f:
            return f.read()

    def run(self, *args: str, timeout: float = 30) -> subprocess.CompletedProcess:
        return devnode(*args, "--dir", self.dir, timeout=timeout)

    def hub(self, method: str, path: str, body: object = None, auth: str | None = None,
            raw: bytes | None = None) -> tuple[int, object]:
        """An HTTPS request to the hub, verifying its certificate against the node's CA."""
        context = ssl.create_default_context(cafile=self.ca)
        data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
        req = urllib.request.Request(f"https://127.0.0.1:{self.hub_port}{path}", data=data, method=method)
        if auth is not None:
            req.add_header("Authorization", auth)
        try:
            with urllib.request.urlopen(req, context=context, timeout=5) as resp:
                return resp.status, json.loads(resp.read())
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read() or b"null")

    def mqtt(self, cid: str, user: str, password: str) -> MqttClient:
        return MqttClient("127.0.0.1", self.broker_port, self.ca, cid, user, password, timeout=5)

    def down(self) -> None:
        """Stop the node and remove its directory; fails when a process of it survives."""
        st = self.state()
        done = self.run("down")
        pids = [p for p in (st["broker_pid"], st["server_pid"]) if p]
        gone = wait_until(lambda: not any(pid_alive(p) for p in pids), 2)
        shutil.rmtree(self.tmp, ignore_errors=True)
        if done.returncode != 0 or not gone:
            raise AssertionError(f"down ended with {done.returncode} ({done.stderr.strip()}); "
                                 f"still running: {[p for p in pids if pid_alive(p)]}")


class StandInModule(threading.Thread):
    """A module bound through the hub: connects with its HMAC password, answers commands with
    {"result_code": 0, "response_name": "<name>_done", "paras": {"echo": <paras>}}, reconnects
    when the broker goes away. Runs at most ``lifetime`` seconds."""

    def __init__(self, node: Node, module_id: str, secret: str, lifetime: float = 80):
        super().__init__(daemon=True)
        self.node, self.module_id, self.secret = node, module_id, secret
        self.lifetime = lifetime
        self.stop = threading.Event()
        self.connections = 0
        self.connected = threading.Event()
        self.outbox: list[tuple[str, str]] = []
        self.answers: list[bytes] = []  # every answer payload, as sent
        self.lock = threading.Lock()

    def publish_later(self, topic: str, payload: str) -> None:
        with self.lock:
            self.outbox.append((topic, payload))

    def run(self) -> None:
        deadline = time.monotonic() + self.lifetime
        prefix = f"$qx/modules/{self.module_id}/sys/commands/request_id="
        while not self.stop.is_set() and time.monotonic() < deadline:
            cid = client_id(self.module_id)
            client = self.node.mqtt(cid, self.module_id, hmac_hex(self.secret, cid))
            try:
                client.connect()
                client.subscribe(f"$qx/modules/{self.module_id}/sys/commands/+", qos=1)
            except (OSError, MqttError):
                client.close()
                self.stop.wait(0.1)
                continue
            self.connections += 1
            self.connected.set()
            try:
                while not self.stop.is_set() and time.monotonic() < deadline:
                    with self.lock:
                        outbox, self.outbox = self.outbox, []
                    for topic, payload in outbox:
                        client.publish(topic, payload, qos=1)
                    msg = client.receive(0.1)
                    if msg is None or not msg.topic.startswith(prefix):
                        continue
                    rid = msg.topic[len(prefix):]
                    command = json.loads(msg.payload)
                    answer = {"result_code": 0, "response_name": command["command_name"] + "_done",
                              "paras": {"echo": command["paras"]}}
                    payload = json.dumps(answer, separators=(", ", ":")).encode()
                    client.publish(f"$qx/modules/{self.module_id}/sys/commands/response/request_id={rid}",
                                   payload, qos=1)
                    self.answers.append(payload)
            except (OSError, MqttError):
                self.connected.clear()
            finally:
                client.close()


# -- hub mode ---------------------------------------------------------------------------


class HubMode(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.node = Node("--modules", "2", "--module-id", "testmod01")
        cls.addClassCleanup(cls.node.down)  # runs even when the rest of the set-up fails
        cls.m1, cls.m2 = cls.node.modules[0][0], cls.node.modules[1][0]
        cls.secrets = {}
        for mid in (cls.m1, cls.m2):
            status, body = cls.node.hub("POST", "/gatewell/api/v1/modules/bind",
                                        {"module_id": mid, "verify_code": cls.node.env[mid]["GRAVEL_VERIFY_CODE"]})
            assert status == 200, (status, body)
            cls.secrets[mid] = body["secret"]
        cls.module = StandInModule(cls.node, cls.m1, cls.secrets[cls.m1])
        cls.module.start()
        cls.addClassCleanup(lambda: (cls.module.stop.set(), cls.module.join(5)))
        assert cls.module.connected.wait(10), "the stand-in module did not connect"

    def header(self, mid: str, secret: str | None = None, at: float | None = None) -> str:
        cid = client_id(mid, at)
        return f"{cid};{mid};{hmac_hex(secret or self.secrets[mid], cid)}"

    def test_up_prints_the_node_and_prepares_work_dirs(self) -> None:
        node = self.node
        self.assertEqual(node.stdout.splitlines()[0], f"dir {node.dir}")
        self.assertEqual([m[0] for m in node.modules], ["testmod01", "testmod01-2"])
        with open(node.ca, encoding="ascii") as f:
            ca = f.read()
        for mid, work, env_path in node.modules:
            env = node.env[mid]
            self.assertEqual(env["GRAVEL_WORK_DIR"], work)
            self.assertEqual(env["GRAVEL_MODULE_ID"], mid)
            self.assertEqual((env["GRAVEL_HUB_PORT"], env["GRAVEL_BROKER_PORT"]),
                             (str(node.hub_port), str(node.broker_port)))
            self.assertNotIn("daemon_uri", env)
            with open(os.path.join(work, "conf", "rootcert.pem"), encoding="ascii") as f:
                self.assertEqual(f.read(), ca)
            with open(os.path.join(work, "conf", "module.dat"), "rb") as f:
                self.assertRegex(f.read().decode(), r"\A[A-Za-z0-9+/]{10}[AQgw]=\Z")
            with open(os.path.join(work, "conf", "sdk_log.conf"), encoding="utf-8") as f:
                conf = f.read()
            self.assertIn("sdk_rule.INFO    >stdout;", conf)
            self.assertIn(f'sdk_rule.DEBUG   "{work}/log/sdk.log", 1MB * 3;', conf)
            self.assertEqual(os.listdir(os.path.join(work, "log")), [])
        self.assertEqual(read_env(os.path.join(node.dir, "module.env")), node.env[self.m1])

    def test_hub_bind(self) -> None:
        code = self.node.env[self.m1]["GRAVEL_VERIFY_CODE"]
        cases = [
            ("right code", {"module_id": self.m1, "verify_code": code}, None, 200),
            ("wrong code", {"module_id": self.m1, "verify_code": code + "x"}, None, 401),
            ("another module's code", {"module_id": self.m2, "verify_code": code}, None, 401),
            ("unknown module", {"module_id": "nosuchmodule", "verify_code": code}, None, 401),
            ("verify code not a string", {"module_id": self.m1, "verify_code": 5}, None, 400),
            ("not JSON", None, b"{module_id:", 400),
        ]
        for name, body, raw, status in cases:
            with self.subTest(name):
                got, answer = self.node.hub("POST", "/gatewell/api/v1/modules/bind", body, raw=raw)
                self.assertEqual(got, status, answer)
                if status == 200:
                    self.assertEqual(answer, {"secret": self.secrets[self.m1], "crypt_key": answer["crypt_key"]})
                    self.assertIsInstance(answer["crypt_key"], str)
                    self.assertTrue(answer["crypt_key"])
        self.assertNotIn(code, self.node.node_log(), "node.log shows a verify code")

    def test_hub_checks_the_authorization_line(self) -> None:
        m1, m2 = self.m1, self.m2
        cid = client_id(m1)
        cases = [
            ("hmac of the secret", self.header(m1), 200),
            ("another module's secret", self.header(m1, self.secrets[m2]), 401),
            ("client id of another module", f"{client_id(m2)};{m1};{hmac_hex(self.secrets[m1], client_id(m2))}", 401),
            ("client id 6 minutes old", self.header(m1, at=time.time() - 360), 401),
            ("client id 4 minutes old", self.header(m1, at=time.time() - 240), 200),
            ("unknown module", f"{client_id('nosuchmodule')};nosuchmodule;{'0' * 64}", 401),
            ("two fields", f"{cid};{hmac_hex(self.secrets[m1], cid)}", 401),
            ("none", None, 401),
        ]
        for name, line, status in cases:
            with self.subTest(name):
                got, answer = self.node.hub("GET", "/gatewell/api/v1/credentials/agency", auth=line)
                self.assertEqual(got, status, answer)
                if status == 200:
                    self.assertEqual(sorted(answer), ["access_key", "expires_at", "region", "secret_key"])
                    self.assertTrue(all(isinstance(v, str) and v for v in answer.values()), answer)

    def test_hub_device_api(self) -> None:
        got, answer = self.node.hub("POST", "/gatewell/api/v1/devices/commands",
                                    {"command": "open-valve-7", "timeout": 4294967295}, auth=self.header(self.m1))
        self.assertEqual((got, answer), (200, {}))
        self.assertRegex(self.node.node_log(), r"device command from module testmod01: command open-valve-7 timeout 4294967295")
        got, answer = self.node.hub("GET", "/gatewell/api/v1/devices/statuses?device_id=device-testmod01-2",
                                    auth=self.header(self.m1))
        self.assertEqual(got, 200)
        self.assertEqual([d["device_id"] for d in answer], ["device-testmod01-2"])
        for method, path, body, auth, status in [
            ("POST", "/gatewell/api/v1/devices/commands", {"command": "x", "timeout": 1}, None, 401),
            ("POST", "/gatewell/api/v1/devices/commands", {"command": "x"}, self.header(self.m1), 400),
            ("GET", "/gatewell/api/v1/devices/statuses", None, None, 401),
            ("GET", "/gatewell/api/v1/modules/bind", None, None, 404),
            ("GET", "/gatewell/api/v2/credentials/agency", None, self.header(self.m1), 404),
        ]:
            with self.subTest(method=method, path=path, status=status):
                self.assertEqual(self.node.hub(method, path, body, auth=auth)[0], status)

    def test_send_command_prints_the_answer(self) -> None:
        done = self.node.run("send-command", self.m1, "set_mode", '{"mode": "eco", "n": [1, 2]}')
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(json.loads(done.stdout), {"result_code": 0, "response_name": "set_mode_done",
                                                   "paras": {"echo": {"mode": "eco", "n": [1, 2]}}})
        self.assertEqual(done.stdout.encode(), self.module.answers[-1] + b"\n")  # byte for byte
        self.assertRegex(done.stderr, r"\Around trip \d+\.\d ms\n\Z")

    def test_send_command_failures(self) -> None:
        cases = [
            ("nobody answers", (self.m2, "ping", "{}", "--timeout", "1"), 1),
            ("JSON does not parse", (self.m1, "ping", "{'a': 1}"), 2),
            ("unknown module", ("nosuchmodule", "ping", "{}", "--timeout", "1"), 1),
        ]
        for name, args, status in cases:
            with self.subTest(name):
                started = time.monotonic()
                done = self.node.run("send-command", *args)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual(done.stdout, "")
                self.assertTrue(done.stderr.strip())
                self.assertLess(time.monotonic() - started, 8)

    def test_watch_prints_what_the_module_publishes(self) -> None:
        watch = subprocess.Popen([sys.executable, ENTRY, "watch", self.m1, "--count", "1", "--timeout", "10",
                                  "--dir", self.node.dir], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 stdin=subprocess.DEVNULL, text=True)
        try:
            self.assertIn("watching", watch.stderr.readline())
            # What is sent to the module is not what it publishes: watch leaves it out.
            st = self.node.state()
            with self.node.mqtt("test-cloud", st["cloud_user"], st["cloud_password"]) as cloud:
                cloud.publish(f"$qx/modules/{self.m1}/sys/events/down", "to the module", qos=1)
            topic = f"$qx/modules/{self.m1}/sys/events/up"
            self.module.publish_later(topic, '{"services": [], "n": 1}')
            out, err = watch.communicate(timeout=12)
        finally:
            if watch.poll() is None:
                watch.kill()
                watch.wait(5)
        self.assertEqual(watch.returncode, 0, err)
        self.assertEqual(out, f'{topic} {{"services": [], "n": 1}}\n')

    def test_watch_ends_on_a_signal(self) -> None:
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                watch = subprocess.Popen([sys.executable, ENTRY, "watch", self.m1, "--dir", self.node.dir],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                         text=True)
                try:
                    self.assertIn("watching", watch.stderr.readline())
                    watch.send_signal(sig)
                    out, err = watch.communicate(timeout=5)
                finally:
                    if watch.poll() is None:
                        watch.kill()
                        watch.wait(5)
                self.assertEqual((watch.returncode, out), (0, ""), err)

    def test_broker_refuses_wrong_credentials(self) -> None:
        m1, m2 = self.m1, self.m2
        cid = client_id(m1)
        cases = [
            ("wrong password", cid, m1, "0" * 64, "wrong password"),
            ("another module's password", cid, m1, hmac_hex(self.secrets[m2], cid), "wrong password"),
            ("client id of another module", client_id(m2), m1, hmac_hex(self.secrets[m1], client_id(m2)),
             "client id does not match module id"),
            ("client id 10 minutes old", client_id(m1, time.time() - 600), m1,
             hmac_hex(self.secrets[m1], client_id(m1, time.time() - 600)), "client id time out of range"),
            ("unknown module", client_id("nosuchmodule"), "nosuchmodule", "0" * 64, "unknown module id"),
        ]
        for name, cid_, user, password, reason in cases:
            with self.subTest(name):
                with self.assertRaises(ConnectRefused) as refused:
                    self.node.mqtt(cid_, user, password).connect()
                self.assertEqual(refused.exception.code, NOT_AUTHORISED)
                line = f"gravel-devnode-auth: refused client {cid_} user {user}: {reason}"
                self.assertTrue(wait_until(lambda: line in self.node.broker_log(), 2), line)
        self.assertNotIn(self.secrets[m1], self.node.broker_log())

    def test_restart_broker_then_the_module_reconnects(self) -> None:
        before_pid, before = self.node.state()["broker_pid"], self.module.connections
        for options in ((), ("--kill", "--down-for", "0.3")):
            with self.subTest(options=options):
                done = self.node.run("restart-broker", *options)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertRegex(done.stdout, r"\Abroker restarted in \d+ ms\n\Z")
                self.assertFalse(pid_alive(before_pid))
                before_pid = self.node.state()["broker_pid"]
        self.assertTrue(wait_until(lambda: self.module.connections >= before + 1 and self.module.connected.is_set(), 10))
        done = self.node.run("send-command", self.m1, "after_restart", "[]")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(json.loads(done.stdout)["response_name"], "after_restart_done")

    def test_status_lists_the_parts(self) -> None:
        done = self.node.run("status")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn(f"hub https://127.0.0.1:{self.node.hub_port} answering", done.stdout)
        self.assertRegex(done.stdout, rf"broker pid \d+ running, 127\.0\.0\.1:{self.node.broker_port}")
        self.assertRegex(done.stdout, r"module testmod01 work dir \S+ bound hub")


# -- daemon mode ------------------------------------------------------------------------


class DaemonMode(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.node = Node("--daemon", "--modules", "2", "--token-lifetime", "120")
        cls.addClassCleanup(cls.node.down)
        cls.m1, cls.m2 = cls.node.modules[0][0], cls.node.modules[1][0]

    def bind(self, mid: str) -> dict:
        status, body = unix_call(self.node.daemon_sock, "POST", f"/v2/modules/{mid}/bind",
                                 {"verify_code": self.node.env[mid]["daemon_verify_code"]})
        self.assertEqual(status, 200, body)
        return body

    def sign(self, mid: str, token: str) -> dict:
        status, body = unix_call(self.node.daemon_sock, "GET", f"/v2/modules/{mid}/sign", token=token)
        self.assertEqual(status, 200, body)
        return body

    def connect_with(self, mid: str, token: str) -> None:
        """Raises ConnectRefused when the broker says no."""
        client = self.node.mqtt(client_id(mid), mid, token)
        client.connect()
        client.disconnect()

    def test_env_names_the_daemon(self) -> None:
        env = self.node.env[self.m1]
        self.assertEqual(env["daemon_uri"], "unix:" + self.node.daemon_sock)
        self.assertNotIn("GRAVEL_VERIFY_CODE", env)
        self.assertIn(f"daemon unix:{self.node.daemon_sock}", self.node.stdout)

    def test_token_lifecycle_through_the_broker(self) -> None:
        first = self.bind(self.m1)
        now_ms = time.time() * 1000
        self.assertIsInstance(first["expires_at"], int)
        self.assertAlmostEqual(first["expires_at"], now_ms + 120_000, delta=5000)
        self.connect_with(self.m1, first["token"])
        # The hub takes the token as the module's password too.
        cid = client_id(self.m1)
        self.assertEqual(self.node.hub("GET", "/gatewell/api/v1/credentials/agency",
                                       auth=f"{cid};{self.m1};{first['token']}")[0], 200)

        second = self.sign(self.m1, first["token"])
        self.assertNotEqual(second["token"], first["token"])
        self.connect_with(self.m1, second["token"])
        self.connect_with(self.m1, first["token"])  # older tokens stay valid until they expire

        done = self.node.run("expire-token", self.m1)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(self.m1, done.stdout)
        expired = self.sign(self.m1, second["token"])
        self.assertLess(expired["expires_at"], time.time() * 1000)
        with self.assertRaises(ConnectRefused) as refused:
            self.connect_with(self.m1, expired["token"])
        self.assertEqual(refused.exception.code, NOT_AUTHORISED)
        self.assertIn("daemon token expired", self.node.broker_log())
        for path in (f"/v2/modules/{self.m1}/cloud-token", "/v2/device/sign"):
            self.assertEqual(unix_call(self.node.daemon_sock, "GET", path, token=expired["token"])[0], 401, path)

        # A module renews with its expired token; the new one is normal again.
        renewed = self.sign(self.m1, expired["token"])
        self.assertGreater(renewed["expires_at"], time.time() * 1000 + 60_000)
        self.connect_with(self.m1, renewed["token"])
        with self.assertRaises(ConnectRefused):
            self.connect_with(self.m2, renewed["token"])  # a token is its module's only
        log = self.node.broker_log() + self.node.node_log()
        for t in (first, second, expired, renewed):
            self.assertNotIn(t["token"], log)

    def test_daemon_endpoints_answer_their_records(self) -> None:
        bound = self.bind(self.m2)
        self.assertEqual({k: type(v) for k, v in bound.items()}, {"token": str, "expires_at": int})
        token = bound["token"]
        self.assertRegex(token, r"\A[A-Za-z0-9_-]{43}\Z")
        base = f"/v2/modules/{self.m2}"
        with open(os.path.join(self.node.dir, "pki", "ca.pem"), encoding="ascii") as f:
            ca = f.read()
        with open(os.path.join(self.node.dir, "pki", "node.pem"), encoding="ascii") as f:
            node_cert = f.read()
        S, I = str, int
        cases = [
            ("GET", base + "/sign", None, {"token": S, "expires_at": I}),
            ("POST", base + "/verify", {"token": token}, {"module_id": S, "expires_at": I}),
            ("GET", base + "/cloud-token", None, {"access_key": S, "secret_key": S, "auth_token": S, "region": S,
                                                   "expires_at": S, "token": S, "kelp_address": S,
                                                   "dock_api_address": S}),
            ("POST", base + "/encrypt", {"plaintext": "héllo", "algorithm": "hmac-sha256-ctr"}, {"ciphertext": S}),
            ("POST", base + "/digest", {"data": "abc", "algorithm": "sha256"}, {"digest": S}),
            ("GET", "/v2/device/sign", None, {"client_id": S, "password": S}),
            ("GET", base + "/certs", None, {"certificate": S, "expires_at": I, "private_key": S}),
            ("GET", base + "/trust-certs", None, {"certificate": S, "expires_at": I}),
        ]
        answers = {}
        for method, path, body, members in cases:
            with self.subTest(path=path):
                status, answer = unix_call(self.node.daemon_sock, method, path, body, token=token)
                self.assertEqual(status, 200, answer)
                self.assertEqual({k: type(v) for k, v in answer.items()}, members)
                self.assertTrue(all(v for v in answer.values()), answer)
                answers[path.rsplit("/", 1)[1]] = answer
        self.assertEqual(answers["verify"]["module_id"], self.m2)
        self.assertEqual(answers["digest"]["digest"], hashlib.sha256(b"abc").hexdigest())
        self.assertEqual(answers["trust-certs"]["certificate"], ca)
        self.assertEqual(answers["certs"]["certificate"], node_cert)
        self.assertIn("PRIVATE KEY", answers["certs"]["private_key"])

        cipher = answers["encrypt"]["ciphertext"]
        raw = bytearray(base64.b64decode(cipher))
        raw[20] ^= 1
        tampered = base64.b64encode(bytes(raw)).decode()
        failures = [
            ("decrypt", "POST", base + "/decrypt", {"ciphertext": cipher, "algorithm": "hmac-sha256-ctr"}, token, 200),
            ("tampered", "POST", base + "/decrypt", {"ciphertext": tampered, "algorithm": "hmac-sha256-ctr"}, token, 400),
            ("unknown algorithm", "POST", base + "/encrypt", {"plaintext": "x", "algorithm": "rot13"}, token, 400),
            ("unknown digest", "POST", base + "/digest", {"data": "x", "algorithm": "md5"}, token, 400),
            ("no token", "GET", base + "/cloud-token", None, None, 401),
            ("token of another module", "GET", f"/v2/modules/{self.m1}/certs", None, token, 401),
            ("token never issued", "GET", base + "/sign", None, "x" * 43, 401),
            ("verify a token never issued", "POST", base + "/verify", {"token": "x" * 43}, token, 404),
            ("bind with a wrong code", "POST", base + "/bind", {"verify_code": "nope"}, None, 401),
            ("bind with the hub's code", "POST", base + "/bind",
             {"verify_code": self.node.state()["modules"][1]["verify_code"]}, None, 401),
            ("body not JSON", "POST", base + "/encrypt", b"plain", token, 400),
            ("unknown endpoint", "GET", base + "/reboot", None, token, 404),
            ("wrong method", "GET", base + "/bind", None, token, 404),
        ]
        for name, method, path, body, tok, status in failures:
            with self.subTest(name):
                raw_body = body if isinstance(body, bytes) else None
                got, answer = unix_call(self.node.daemon_sock, method, path,
                                        None if raw_body else body, token=tok, raw=raw_body)
                self.assertEqual(got, status, answer)
                if name == "decrypt":
                    self.assertEqual(answer, {"plaintext": "héllo"})

    def test_authorization_without_blank_after_the_colon(self) -> None:
        token = self.bind(self.m1)["token"]
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(self.node.daemon_sock)
            s.sendall(f"GET /v2/modules/{self.m1}/sign HTTP/1.1\r\nHost: localhost\r\n"
                      f"Authorization:{token}\r\nConnection: close\r\n\r\n".encode())
            answer = b""
            for _ in range(100):
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 "), answer[:200])


# -- fault modes -------------------------------------------------------------------------


class FaultModes(unittest.TestCase):
    """Each fault mode of the hub and of the daemon, as a client sees it on the wire."""

    @classmethod
    def setUpClass(cls) -> None:
        cls.node = Node("--daemon", "--module-id", "faultmod01")
        cls.addClassCleanup(cls.node.down)
        cls.mid = cls.node.modules[0][0]
        cls.verify_code = cls.node.state()["modules"][0]["verify_code"]
        cls.bind_body = json.dumps({"module_id": cls.mid, "verify_code": cls.verify_code}).encode()

    def tearDown(self) -> None:
        for part in ("hub", "daemon"):
            done = self.node.run("fault", part, "none")
            self.assertEqual(done.returncode, 0, done.stderr)

    def fault(self, part: str, mode: str, *options: str) -> str:
        done = self.node.run("fault", part, mode, *options)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout

    def connect(self, part: str, timeout: float = 5.0):
        """An open connection to the hub (TLS, verified) or the daemon socket."""
        if part == "hub":
            conn = http.client.HTTPSConnection("127.0.0.1", self.node.hub_port, timeout=timeout,
                                               context=ssl.create_default_context(cafile=self.node.ca))
        else:
            conn = UnixConnection(self.node.daemon_sock)
            conn.timeout = timeout
        return conn

    def request(self, part: str, timeout: float = 5.0) -> tuple[int, bytes]:
        """The hub bind (POST with a body) or the daemon's bind: (status, body) as received."""
        conn = self.connect(part, timeout)
        try:
            if part == "hub":
                conn.request("POST", "/gatewell/api/v1/modules/bind", body=self.bind_body)
            else:
                conn.request("POST", f"/v2/modules/{self.mid}/bind",
                             body=json.dumps({"verify_code": self.node.env[self.mid]["daemon_verify_code"]}).encode())
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()

    def test_each_mode_as_the_client_sees_it(self) -> None:
        for part in ("hub", "daemon"):
            with self.subTest(part=part, mode="none"):
                status, body = self.request(part)
                self.assertEqual(status, 200, body)
                real = json.loads(body)
            with self.subTest(part=part, mode="5xx"):
                self.fault(part, "5xx", "--count", "1")
                status, body = self.request(part)
                self.assertEqual(status, 503)
                self.assertIn("error", json.loads(body))
            with self.subTest(part=part, mode="garbage"):
                self.fault(part, "garbage", "--count", "1")
                status, body = self.request(part)
                self.assertEqual(status, 200)
                with self.assertRaises(ValueError):
                    json.loads(body)
                self.assertIn(b'"expires_at"' if part == "daemon" else b'"secret"', body)  # the real answer behind
            with self.subTest(part=part, mode="truncated"):
                self.fault(part, "truncated", "--count", "1")
                with self.assertRaises(http.client.IncompleteRead) as cut:
                    self.request(part)
                self.assertGreater(len(cut.exception.partial), 0)
                self.assertLess(len(cut.exception.partial), len(json.dumps(real)))
            with self.subTest(part=part, mode="reset"):
                self.fault(part, "reset", "--count", "1")
                with self.assertRaises(ConnectionResetError):
                    self.request(part)
            with self.subTest(part=part, mode="stall"):
                self.fault(part, "stall", "--count", "1")
                started = time.monotonic()
                with self.assertRaises(TimeoutError):
                    self.request(part, timeout=1.0)
                self.assertGreaterEqual(time.monotonic() - started, 0.9)
                # The node lets go of the connection once the client has closed it.
                ended = lambda: any(l.split(" ", 2)[1:2] == [part] and "fault stall, ended" in l
                                    and l.endswith("client closed the connection") for l in self.node.node_log().splitlines())
                self.assertTrue(wait_until(ended, 3), self.node.node_log()[-600:])
            with self.subTest(part=part, mode="after the counted faults"):
                self.assertEqual(self.request(part)[0], 200)

    def test_slow_sends_a_byte_a_second(self) -> None:
        for part in ("hub", "daemon"):
            with self.subTest(part=part):
                self.fault(part, "slow", "--count", "1")
                conn = self.connect(part)
                try:
                    conn.request("POST", "/gatewell/api/v1/modules/bind" if part == "hub" else f"/v2/modules/{self.mid}/bind",
                                 body=self.bind_body)
                    sock = conn.sock
                    started = time.monotonic()
                    got = b""
                    while len(got) < 3 and time.monotonic() - started < 10:
                        got += sock.recv(1)
                    elapsed = time.monotonic() - started
                finally:
                    conn.close()
                self.assertEqual(got, b"HTT")
                self.assertGreater(elapsed, 1.8)  # three bytes: two pauses of a second
                self.assertLess(elapsed, 4.0)
                self.assertTrue(wait_until(lambda: "fault slow (" in self.node.node_log() and
                                           "client closed the connection)" in self.node.node_log(), 3))

    def test_gone_moves_the_daemon_socket_away_until_none(self) -> None:
        self.assertIn("gone", self.fault("daemon", "gone"))
        self.assertFalse(os.path.exists(self.node.daemon_sock))
        with self.assertRaises(FileNotFoundError):
            self.request("daemon")
        self.assertIn("daemon unix:" + self.node.daemon_sock + " in fault mode gone", self.node.run("status").stdout)
        self.fault("daemon", "none")
        self.assertEqual(self.request("daemon")[0], 200)

    def test_path_and_count_choose_the_requests(self) -> None:
        out = self.fault("daemon", "5xx", "--path", "/v2/device/", "--count", "2")
        self.assertEqual(out, "fault daemon 5xx for requests whose path starts with /v2/device/, the next 2\n")
        status = self.node.run("status")
        self.assertIn(out.strip(), status.stdout)
        self.assertIn("fault hub none", status.stdout)
        token = json.loads(self.request("daemon")[1])["token"]  # another path: served as usual
        seen = [unix_call(self.node.daemon_sock, "GET", "/v2/device/sign", token=token)[0] for _ in range(3)]
        self.assertEqual(seen, [503, 503, 200])
        self.assertIn("fault daemon none", self.node.run("status").stdout)
        # Until none, without a count.
        self.fault("hub", "5xx")
        self.assertEqual([self.request("hub")[0] for _ in range(3)], [503, 503, 503])
        self.fault("hub", "none")
        self.assertEqual(self.request("hub")[0], 200)

    def test_refused_faults(self) -> None:
        cases = [
            (("hub", "gone"), 2, "daemon only"),
            (("daemon", "gone", "--count", "1"), 2, "no --path or --count"),
            (("hub", "5xx", "--count", "0"), 2, "at least 1"),
            (("hub", "5xx", "--path", "gatewell"), 2, "must start with /"),
            (("hub", "sideways"), 2, "invalid choice"),
        ]
        for args, status, text in cases:
            with self.subTest(args=args):
                done = self.node.run("fault", *args)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(text, done.stderr)
        self.assertIn("fault hub none", self.node.run("status").stdout)

    def test_down_ends_stalled_and_slow_requests(self) -> None:
        node = Node("--daemon")
        outcomes: dict[str, str] = {}

        def wait_answer(name: str) -> None:
            conn = UnixConnection(node.daemon_sock)
            conn.timeout = 30
            try:
                conn.request("GET", "/v2/device/sign")
                conn.getresponse().read()
                outcomes[name] = "answered"
            except (OSError, http.client.HTTPException) as e:
                outcomes[name] = type(e).__name__
            finally:
                conn.close()

        threads = []
        try:
            for mode in ("stall", "slow"):
                self.assertEqual(node.run("fault", "daemon", mode, "--count", "1").returncode, 0)
                threads.append(threading.Thread(target=wait_answer, args=(mode,), daemon=True))
                threads[-1].start()
                self.assertTrue(wait_until(lambda: "fault daemon none" in node.run("status").stdout, 3))
            time.sleep(0.5)
        finally:
            started = time.monotonic()
            node.down()
        for t in threads:
            t.join(5)
        self.assertLess(time.monotonic() - started, 8)
        self.assertEqual(sorted(outcomes), ["slow", "stall"], outcomes)
        self.assertNotIn("answered", outcomes.values())


# -- down -------------------------------------------------------------------------------


class Down(unittest.TestCase):
    def test_down_stops_every_process_and_is_idempotent(self) -> None:
        node = Node("--daemon")
        try:
            st = node.state()
            pids = [st["broker_pid"], st["server_pid"]]
            self.assertTrue(all(pid_alive(p) for p in pids))
            again = node.run("up", "--plugin", PLUGIN)  # a node already runs there
            self.assertEqual(again.returncode, 1)
            self.assertIn("already runs", again.stderr)
            first = node.run("down")
            self.assertEqual((first.returncode, first.stdout), (0, ""), first.stderr)
            self.assertTrue(wait_until(lambda: not any(pid_alive(p) for p in pids), 2), pids)
            for sock in ("daemon.sock", "control.sock"):
                self.assertFalse(os.path.exists(os.path.join(node.dir, sock)), sock)
            second = node.run("down")
            self.assertEqual(second.returncode, 0)
            self.assertIn("no dev node running", second.stderr)
            self.assertEqual(node.run("status").returncode, 1)
        finally:
            node.down()

    def test_up_refuses_a_short_module_id(self) -> None:
        tmp = tempfile.mkdtemp(prefix="devnode-test-")
        try:
            done = devnode("up", "--dir", os.path.join(tmp, "n"), "--plugin", PLUGIN, "--module-id", "short7x")
            self.assertEqual(done.returncode, 2)
            self.assertIn("shorter than 8", done.stderr)
            self.assertFalse(os.path.exists(os.path.join(tmp, "n")))
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + choose_plugin(sys.argv[1:]))
