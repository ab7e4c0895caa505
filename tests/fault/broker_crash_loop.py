#!/usr/bin/env python3
"""The broker crash loop: the example module on a dev node while its broker is SIGKILLed and
restarted again and again, at chosen points of the module's work.

usage: broker_crash_loop.py [--kills N] [--seed S] [--check-rss] [--plugin PATH] [--keep]
                            <example binary> [<emulator> [args...]]

Each kill lands at one of these points, in a shuffled cycle so that every point is hit:
  idle         at a random instant while the module is connected and quiet
  connecting   the moment the module starts a connect attempt (after a first kill)
  subscribing  the moment the module subscribes its topics after connecting (after a first kill)
  command      a random 0-3 ms after a command was sent to the module
  report       the moment a points report waits for the broker's acknowledgement

After every kill the broker is started again on its port, and the loop checks that the module
  - is connected again within the retry delay it was waiting in when the broker came back,
    plus 2 s (its retry delays are in its log),
  - has subscribed again and answers the next command,
  - saw its connected and connection-lost notifications alternate, one of each per loss;
and at the end that
  - every points report the module counted as sent (synchronous sends: the broker had
    acknowledged it) while the cloud side was subscribed reached the cloud side,
  - the module's file descriptors and threads are back at their count before the first kill,
    and with --check-rss its resident memory within 1 MB of it (not meaningful under a
    sanitizer or an emulator, whose own memory dominates),
  - SIGTERM stops it cleanly with exit status 0.
Prints a line per kill and the figures; exits 0 when every check passed.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from dataclasses import dataclass, field
from typing import Callable, Optional

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "devnode"))

from gravel_devnode import broker, cli, process, topics  # noqa: E402
from gravel_devnode.mqtt import MqttError  # noqa: E402
from gravel_devnode.state import NodePaths, NodeState  # noqa: E402

DEVNODE = os.path.join(ROOT, "devnode", "gravel-devnode")
POINTS = ["idle", "connecting", "subscribing", "command", "report"]
READY_LIMIT_S = 30.0       # the first connection, and the longest any single wait may take
ANSWER_LIMIT_S = 5.0       # a command's answer once the module is connected
SETTLE_S = 3.0             # quiet time before the process's resources are counted
RECONNECT_SLACK_S = 2.0

# The module's console shows every log line (the harness writes its log configuration).
LOG_CONF = """[global]
strict init = true
file perms = 600

[formats]
console = "%d(%T).%ms %-5V [%f:%L] %m%n"

[rules]
sdk_rule.DEBUG    >stdout; console
"""

CONNECT_TRY = re.compile(r"\] mqtt: \S+ connect$")
SUBSCRIBING = re.compile(r"\] mqtt: \S+ subscribe topic: ")
SYNC_WAIT = re.compile(r"\] sync sending, waiting at most")
CONNECT_FAILED = re.compile(r"\] mqtt connect failed\.$")
RETRY_WAIT = re.compile(r"retry worker:edge_mqtt_connections wait for (\d+)s")
CONNECTED_CB = re.compile(r"example: connected to the broker \(connection (\d+)\)")
KIT_CONNECTED = re.compile(r"\] mqtt connected end\.$")
KIT_LOST = re.compile(r"\] mqtt connection lost\.$")
REPORT_SENT = re.compile(r"example: points report (\d+) sent$")


class Failed(Exception):
    pass


@dataclass
class Line:
    at: float
    text: str


class ModuleOutput:
    """The module's output, line by line, each stamped with the time it arrived."""

    def __init__(self, proc: subprocess.Popen, copy_path: str):
        self.lines: list[Line] = []
        self.cond = threading.Condition()
        self.watchers: list[tuple[re.Pattern, Callable[[], bool]]] = []
        self.copy = open(copy_path, "w", encoding="utf-8", errors="replace")
        self.thread = threading.Thread(target=self._read, args=(proc,), daemon=True)
        self.thread.start()

    def _read(self, proc: subprocess.Popen) -> None:
        for raw in proc.stdout:
            text = raw.decode("utf-8", "replace").rstrip("\n")
            now = time.monotonic()
            with self.cond:
                fire = [w for w in self.watchers if w[0].search(text)]
            for w in fire:  # a kill armed on this line: at once, before anything else
                if w[1]():
                    with self.cond:
                        self.watchers.remove(w)
            self.copy.write(text + "\n")
            self.copy.flush()
            with self.cond:
                self.lines.append(Line(now, text))
                self.cond.notify_all()
        with self.cond:
            self.lines.append(Line(time.monotonic(), "<end of output>"))
            self.cond.notify_all()

    def arm(self, pattern: re.Pattern, action: Callable[[], bool]) -> None:
        """Run ``action`` on the reader's thread as soon as a line matches ``pattern``, again
        at the next such line while it returns False."""
        with self.cond:
            self.watchers.append((pattern, action))

    def disarm(self) -> None:
        with self.cond:
            self.watchers.clear()

    def mark(self) -> int:
        with self.cond:
            return len(self.lines)

    def wait_for(self, pattern: re.Pattern, since: int, limit: float) -> tuple[int, Line]:
        deadline = time.monotonic() + limit
        with self.cond:
            index = since
            while True:
                while index < len(self.lines):
                    if pattern.search(self.lines[index].text):
                        return index, self.lines[index]
                    if self.lines[index].text == "<end of output>":
                        raise Failed(f"the module ended while waiting for /{pattern.pattern}/")
                    index += 1
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Failed(f"no /{pattern.pattern}/ from the module within {limit:g} s")
                self.cond.wait(left)

    def between(self, start: int, end: Optional[int] = None) -> list[Line]:
        with self.cond:
            return list(self.lines[start:end])


class CloudSide:
    """The cloud side: one subscriber of everything the module publishes (reconnecting as soon
    as the broker is back) and one client that sends commands."""

    def __init__(self, node: NodeState, module_id: str):
        self.node, self.module_id = node, module_id
        self.cond = threading.Condition()
        self.messages: list[tuple[float, str, bytes]] = []
        self.subscribed_at: Optional[float] = None  # since when the subscription holds
        self.windows: list[tuple[float, float]] = []  # closed (subscribed, lost) intervals
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        inbound = topics.inbound_filters(self.module_id)
        client = None
        while not self.stop.is_set():
            if client is None:
                client = broker.cloud_client(self.node, cli.cloud_client_id(), timeout=2.0)
                try:
                    client.connect()
                    client.subscribe([(f, 1) for f in topics.watch_filters(self.module_id)])
                except (OSError, MqttError):
                    client.close()
                    client = None
                    time.sleep(0.01)
                    continue
                with self.cond:
                    self.subscribed_at = time.monotonic()
                    self.cond.notify_all()
            try:
                msg = client.receive(0.2)
            except (OSError, MqttError):
                lost = time.monotonic()
                client.close()
                client = None
                with self.cond:
                    if self.subscribed_at is not None:
                        self.windows.append((self.subscribed_at, lost))
                    self.subscribed_at = None
                continue
            if msg is None or any(topics.matches(f, msg.topic) for f in inbound):
                continue
            with self.cond:
                self.messages.append((time.monotonic(), msg.topic, msg.payload))
                self.cond.notify_all()
        if client is not None:
            client.disconnect()

    def wait_subscribed(self, after: float, limit: float) -> float:
        deadline = time.monotonic() + limit
        with self.cond:
            while self.subscribed_at is None or self.subscribed_at < after:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Failed("the cloud side could not subscribe again")
                self.cond.wait(left)
            return self.subscribed_at

    def covered(self, start: float, end: float) -> bool:
        """True when the subscription held from ``start`` to ``end``."""
        with self.cond:
            spans = self.windows + ([(self.subscribed_at, float("inf"))] if self.subscribed_at else [])
        return any(a <= start and end <= b for a, b in spans)

    def send_command(self, name: str, paras: dict) -> str:
        request_id = uuid.uuid4().hex
        client = broker.cloud_client(self.node, cli.cloud_client_id(), timeout=2.0)
        try:
            client.connect()
            client.publish(topics.command_topic(self.module_id, request_id),
                           json.dumps({"command_name": name, "paras": paras}), qos=1)
        finally:
            client.disconnect()
        return request_id

    def wait_answer(self, request_id: str, limit: float) -> dict:
        topic = topics.response_topic(self.module_id, request_id)
        deadline = time.monotonic() + limit
        with self.cond:
            while True:
                for _, t, payload in self.messages:
                    if t == topic:
                        return json.loads(payload)
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Failed(f"no answer to command {request_id} within {limit:g} s")
                self.cond.wait(left)

    def report_sequences(self) -> set[int]:
        seen = set()
        with self.cond:
            for _, t, payload in self.messages:
                if "/points/report" not in t and "points" not in t:
                    continue
                try:
                    body = json.loads(payload)
                    for point in body.get("points", []):
                        if point.get("name") == "sequence":
                            seen.add(int(point["value"]))
                except (ValueError, AttributeError, TypeError, KeyError):
                    pass
        return seen


def resources(pid: int) -> tuple[int, int, int]:
    """(file descriptors, threads, resident kB) of a process."""
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    threads = len(os.listdir(f"/proc/{pid}/task"))
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return fds, threads, rss


class Broker:
    """Kills and restarts the node's broker on its port."""

    def __init__(self, node_dir: str):
        self.paths = NodePaths(node_dir)
        self.node = NodeState.load(node_dir)
        self.proc: Optional[subprocess.Popen] = None
        self.killed_at = 0.0
        self.lock = threading.Lock()
        self.down = False

    def kill(self) -> None:
        with self.lock:
            self._kill()

    def kill_if_up(self) -> bool:
        """Kill the broker only when it is up and answering (not while it restarts)."""
        if not self.lock.acquire(blocking=False):
            return False
        try:
            return self._kill()
        finally:
            self.lock.release()

    def _kill(self) -> bool:
        if self.down:
            return False
        os.kill(self.node.broker_pid, signal.SIGKILL)
        self.killed_at = time.monotonic()
        self.down = True
        return True

    def start(self) -> float:
        with self.lock:
            if self.proc is not None:
                self.proc.wait(timeout=10)
            elif not process.wait_gone(self.node.broker_pid, self.paths.broker_conf, 10.0):
                raise Failed("the killed broker did not go away")
            self.proc = cli.start_broker(self.node, self.paths, time.monotonic() + READY_LIMIT_S, fresh_port=False)
            self.down = False
            return time.monotonic()


@dataclass
class Figures:
    reconnect_s: list[float] = field(default_factory=list)
    points: dict = field(default_factory=dict)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kills", type=int, default=50)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--check-rss", action="store_true")
    parser.add_argument("--plugin")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("module", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if not args.module or not 1 <= args.kills <= 10000:
        parser.error("give the example binary (and an emulator), and 1..10000 kills")
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    print(f"broker crash loop: {args.kills} kills, seed {seed}", flush=True)

    work = tempfile.mkdtemp(prefix="gravel-crash-loop.")
    node_dir = os.path.join(work, "node")
    up = [DEVNODE, "up", "--dir", node_dir] + (["--plugin", args.plugin] if args.plugin else [])
    done = subprocess.run(up, capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        print(done.stdout + done.stderr, file=sys.stderr)
        return 1
    module_proc = None
    cloud = None
    ok = False
    try:
        node = NodeState.load(node_dir)
        module = node.modules[0]
        paths = NodePaths(node_dir)
        work_dir = paths.module_dir(module.module_id)
        with open(os.path.join(work_dir, "conf", "sdk_log.conf"), "w") as f:
            f.write(LOG_CONF)
        env = dict(os.environ, GRAVEL_REPORT_SECONDS="1", GRAVEL_SYNC_REPORTS="1")
        # The binary, then the emulator that runs it in a cross build (as ctest passes them).
        command = args.module[1:] + args.module[:1] + [os.path.join(work_dir, "module.env")]
        module_proc = subprocess.Popen(command, stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT, env=env)
        out = ModuleOutput(module_proc, os.path.join(work, "module.out"))
        the_broker = Broker(node_dir)
        cloud = CloudSide(the_broker.node, module.module_id)
        figures = Figures()
        run_loop(args, rng, out, the_broker, cloud, module_proc, figures)
        ok = True
    except Failed as e:
        print(f"FAILED: {e}", flush=True)
    finally:
        if module_proc is not None and module_proc.poll() is None:
            module_proc.kill()
            module_proc.wait()
        if cloud is not None:
            cloud.stop.set()
            cloud.thread.join(timeout=5)
        subprocess.run([DEVNODE, "down", "--dir", node_dir], capture_output=True, timeout=60)
        if ok and not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"kept: {work} (module output: {work}/module.out)")
    return 0 if ok else 1


def wait_ready(out: ModuleOutput, cloud: CloudSide, since: int, killed_at: Optional[float]) -> Line:
    """Once the module is connected again after the kill, a command is answered; returns the
    module's connected line of the connection that answered.

    The connection that answers is the last one the module made before the answer: after a
    kill while it subscribes, the killed connection's own callback still runs after the kill,
    and a connect try the kill interrupted may still succeed once the broker is back (the
    MQTT library tries once more with the older protocol version)."""
    start = time.monotonic()
    index = since
    while True:
        index, line = out.wait_for(CONNECTED_CB, index, max(0.1, READY_LIMIT_S - (time.monotonic() - start)))
        if killed_at is None or line.at >= killed_at:
            break
        index += 1
    cloud.wait_subscribed(killed_at or 0.0, READY_LIMIT_S)
    # The module's subscriptions are requested before its connected callback runs, not yet
    # granted: a command may reach the broker first and go nowhere, so one that is not
    # answered within a second is sent again (another request id).
    token = uuid.uuid4().hex[:12]
    while True:
        request_id = cloud.send_command("echo", {"token": token})
        try:
            answer = cloud.wait_answer(request_id, 1.0)
            break
        except Failed:
            if time.monotonic() - start > READY_LIMIT_S:
                raise Failed(f"no answer to a command within {READY_LIMIT_S:g} s of the kill") from None
    answered_at = time.monotonic()
    if token not in json.dumps(answer):
        raise Failed(f"the answer to echo does not carry its parameters: {answer}")
    connection = [ln for ln in out.between(since) if CONNECTED_CB.search(ln.text) and ln.at <= answered_at][-1]
    if answered_at - connection.at > ANSWER_LIMIT_S:
        raise Failed(f"the module answered {answered_at - connection.at:.1f} s after it connected; limit {ANSWER_LIMIT_S:g} s")
    return connection


def run_loop(args, rng: random.Random, out: ModuleOutput, the_broker: Broker, cloud: CloudSide,
             module_proc: subprocess.Popen, figures: Figures) -> None:
    pid = module_proc.pid
    wait_ready(out, cloud, 0, None)
    time.sleep(SETTLE_S)
    baseline = resources(pid)
    print(f"connected; before the first kill: {baseline[0]} fds, {baseline[1]} threads, {baseline[2]} kB resident",
          flush=True)

    order: list[str] = []
    kills = 0
    while kills < args.kills:
        if not order:
            order = POINTS[:]
            rng.shuffle(order)
        point = order.pop()
        if point in ("connecting", "subscribing") and kills + 2 > args.kills:
            point = "idle"
        since = out.mark()
        if point in ("connecting", "subscribing"):
            # A first kill sends the module into its connect tries; the broker stays down until
            # the first try has failed (the MQTT library keeps a try to a broker that refuses
            # the connection going for a second) and the module waits for its next; the
            # second kill lands on that next try.
            the_broker.kill()
            kills += 1
            out.wait_for(CONNECT_FAILED, since, READY_LIMIT_S)
            out.arm(CONNECT_TRY if point == "connecting" else SUBSCRIBING, the_broker.kill_if_up)
            the_broker.start()
        elif point == "idle":
            time.sleep(rng.uniform(0.0, 1.5))
            the_broker.kill()
        elif point == "command":
            cloud.send_command("add", {"a": 1, "b": 2})  # its answer may or may not make it
            time.sleep(rng.uniform(0.0, 0.003))
            the_broker.kill()
        elif point == "report":
            out.arm(SYNC_WAIT, the_broker.kill_if_up)
        # Wait for the armed kill (or the one just made), then bring the broker back.
        deadline = time.monotonic() + READY_LIMIT_S
        while not the_broker.down:
            if time.monotonic() > deadline:
                raise Failed(f"the kill armed at '{point}' never came")
            time.sleep(0.001)
        out.disarm()
        kills += 1
        broker_up = the_broker.start()
        line = wait_ready(out, cloud, since, the_broker.killed_at)
        delay = current_delay(out, since, broker_up)
        took = max(0.0, line.at - broker_up)  # it may get in before the node's own readiness probe
        figures.reconnect_s.append(took)
        figures.points[point] = figures.points.get(point, 0) + 1
        print(f"kill {kills:3d} at {point:<11} broker back after {(broker_up - the_broker.killed_at) * 1000:5.0f} ms, "
              f"module connected {took:5.2f} s later (retry delay then {delay} s)", flush=True)
        if took > delay + RECONNECT_SLACK_S:
            raise Failed(f"reconnected {took:.2f} s after the broker came back; limit {delay} + {RECONNECT_SLACK_S} s")

    time.sleep(SETTLE_S)
    final = resources(pid)
    check_pairs(out)
    reports = check_reports(out, cloud)
    print(f"after {kills} kills: {final[0]} fds, {final[1]} threads, {final[2]} kB resident; "
          f"reconnects: median {sorted(figures.reconnect_s)[len(figures.reconnect_s) // 2]:.2f} s, "
          f"max {max(figures.reconnect_s):.2f} s; kills by point: {figures.points}; {reports}", flush=True)
    if final[0] != baseline[0] or final[1] != baseline[1]:
        raise Failed(f"file descriptors or threads changed: {baseline[:2]} -> {final[:2]}")
    if args.check_rss and abs(final[2] - baseline[2]) > 1024:
        raise Failed(f"resident memory moved by more than 1 MB: {baseline[2]} kB -> {final[2]} kB")

    module_proc.send_signal(signal.SIGTERM)
    try:
        status = module_proc.wait(timeout=READY_LIMIT_S)
    except subprocess.TimeoutExpired:
        raise Failed("the module did not stop within 30 s of SIGTERM") from None
    out.thread.join(timeout=5)
    last = out.between(max(0, out.mark() - 3))
    if status != 0 or not any("example module stopped cleanly" in ln.text for ln in last):
        raise Failed(f"the module's stop: status {status}, last lines {[ln.text for ln in last]}")
    print("SIGTERM: the module stopped cleanly with status 0", flush=True)


def current_delay(out: ModuleOutput, since: int, broker_up: float) -> int:
    """The retry delay the module was waiting in when the broker came back: that of its last
    wait begun before then, or 0 when none began since the kill (its next try was immediate)."""
    delay = 0
    for ln in out.between(since):
        if ln.at > broker_up:
            break
        m = RETRY_WAIT.search(ln.text)
        if m:
            delay = int(m.group(1))
    return delay


def check_pairs(out: ModuleOutput) -> None:
    """Connected and connection-lost notifications alternate, starting with a connection, and
    every connected notification reached the module's callback with the next number."""
    events = []
    numbers = []
    for ln in out.between(0):
        if KIT_CONNECTED.search(ln.text):
            events.append("C")
        elif KIT_LOST.search(ln.text):
            events.append("L")
        m = CONNECTED_CB.search(ln.text)
        if m:
            numbers.append(int(m.group(1)))
    pattern = "".join(events)
    if not re.fullmatch(r"(CL)*C", pattern):
        raise Failed(f"connected (C) and connection-lost (L) notifications do not alternate: {pattern}")
    if numbers != list(range(1, len(numbers) + 1)) or len(numbers) != pattern.count("C"):
        raise Failed(f"the module's connected callbacks {numbers} do not match {pattern.count('C')} connections")


def check_reports(out: ModuleOutput, cloud: CloudSide) -> str:
    """Every report the module counted as sent while the cloud side was subscribed from before
    the module's connection it went out on arrived."""
    seen = cloud.report_sequences()
    connected_at = 0.0
    required, unchecked, missing = 0, 0, []
    for ln in out.between(0):
        if CONNECTED_CB.search(ln.text):
            connected_at = ln.at
            continue
        m = REPORT_SENT.search(ln.text)
        if not m:
            continue
        if cloud.covered(connected_at, ln.at):
            required += 1
            if int(m.group(1)) not in seen:
                missing.append(int(m.group(1)))
        else:
            unchecked += 1
    if missing:
        raise Failed(f"points reports acknowledged but never at the cloud side: {missing}")
    if required == 0:
        raise Failed("no points report could be checked")
    return f"points reports acknowledged and received: {required} (not checked, cloud side not subscribed: {unchecked})"


if __name__ == "__main__":
    sys.exit(main())
