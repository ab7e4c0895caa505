#!/usr/bin/env python3
"""Load and soak runs of the example module on one local dev node, measured from outside.

    gravel_load.py modules [--modules N] [--commands M] [--window W] [options] EXAMPLE [EMULATOR ...]
    gravel_load.py soak [--seconds S] [--rate R] [options] EXAMPLE [EMULATOR ...]

modules: one dev node (broker and hub), N example module processes that bind and connect; a
cloud-side driver sends M commands spread over them with W in flight at once and checks every
answer (result code, response name, parameters); then the broker restarts (--restarts times)
and every module must reconnect, answer one more command and hold the fds and threads it had
before; at the end every module gets SIGTERM while commands stream in, and each answer it
counted must have reached the cloud side. Reports the round trips (p50, p99, max), the time
until the last module was back, the broker's connection count sampled every 100 ms, and each
module process's memory (min, median, max).

soak: one module answering R commands a second for S seconds. Every interval (60 s, or 10 s in
runs shorter than 5 minutes) it prints the round trips of that interval and what /proc says of
the module: resident memory (VmRSS), anonymous resident memory (RssAnon: the malloc arenas of
every thread, the thread stacks, the rest of what the process allocated), open file descriptors
and threads. After the warm-up (the first interval, at most 60 s) the file descriptors and
threads must not change, and with --check-memory VmRSS and RssAnon must grow by less than
1 MiB.

Both end with SIGTERM to every module: each must exit with status 0 (so a sanitizer's report,
LeakSanitizer's at exit included, fails the run) and its summary line must count exactly the
commands it answered (soak: every command it was sent). The exit status is 0 only when every check held. Everything talks to
127.0.0.1 only; every wait has a limit.

Options: --plugin PATH (the dev node's broker plugin), --check-memory (an optimised native
build: memory limits are checked, not only reported), --keep (keep the node's folder).
A cross build passes the emulator after the example binary (qemu-aarch64 -L ...); /proc then
shows the emulator's process, so memory is reported for it but never checked.
"""
from __future__ import annotations

import argparse
import collections
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from typing import Optional

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "devnode"))

from gravel_devnode import broker, topics  # noqa: E402
from gravel_devnode.mqtt import MqttError  # noqa: E402
from gravel_devnode.state import NodeState  # noqa: E402

DEVNODE = os.path.join(ROOT, "devnode", "gravel-devnode")
CONNECTED = re.compile(r"example: connected to the broker \(connection (\d+)\)")
SUMMARY = re.compile(r"example module stopped cleanly \(connections: (\d+), commands answered: (\d+)")
COMMAND_TIMEOUT_S = 10.0  # a command not answered within this is lost
START_TIMEOUT_S = 60.0  # every module connected
RECONNECT_TIMEOUT_S = 60.0  # every module back after the broker restart
STOP_TIMEOUT_S = 15.0  # a module's exit after SIGTERM
MIB = 1024 * 1024


def now() -> float:
    return time.monotonic()


def say(text: str) -> None:
    print(text, flush=True)


class Failed(Exception):
    pass


# -- what /proc says of a process -------------------------------------------------------


def proc_figures(pid: int, rollup: bool = False) -> dict[str, int]:
    """VmRSS and RssAnon (bytes), open fds and threads; with ``rollup`` also Pss and private
    memory (pages of this process only) from smaps_rollup."""
    figures = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon"):
                figures[key] = int(value.split()[0]) * 1024
            elif key == "Threads":
                figures["threads"] = int(value)
    figures["fds"] = len(os.listdir(f"/proc/{pid}/fd"))
    if rollup:
        private = 0
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key == "Pss":
                    figures["Pss"] = int(value.split()[0]) * 1024
                elif key in ("Private_Clean", "Private_Dirty"):
                    private += int(value.split()[0]) * 1024
        figures["private"] = private
    return figures


def broker_connections(port: int) -> int:
    """Established TCP connections the broker holds on its port (the kernel's table)."""
    count = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "01" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        count += 1
        except OSError:
            pass
    return count


def mib(value: float) -> str:
    return f"{value / MIB:.2f} MiB"


def percentile(values: list[float], p: float) -> float:
    """Nearest-rank percentile (p in 0..100) of a non-empty list."""
    ordered = sorted(values)
    rank = max(1, min(len(ordered), int(-(-p * len(ordered) // 100))))
    return ordered[rank - 1]


def count(value: float) -> str:
    return f"{value:g}"


def spread(values: list[float], unit=mib) -> str:
    return f"min {unit(min(values))}, median {unit(statistics.median(values))}, max {unit(max(values))}"


# -- the node and the modules -----------------------------------------------------------


class Node:
    def __init__(self, folder: str, modules: int, plugin: Optional[str]):
        self.dir = os.path.join(folder, "node")
        args = [DEVNODE, "up", "--dir", self.dir, "--modules", str(modules)]
        if plugin:
            args += ["--plugin", plugin]
        done = subprocess.run(args, capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise Failed(f"the dev node did not come up:\n{done.stdout}{done.stderr}")
        self.envs = {}
        for line in done.stdout.splitlines():
            m = re.match(r"module (\S+) work dir \S+ env (\S+)$", line)
            if m:
                self.envs[m.group(1)] = m.group(2)
        self.state = NodeState.load(self.dir)
        self.port = self.state.broker_port

    def cloud(self, name: str):
        client = broker.cloud_client(self.state, f"load-{name}-{os.getpid()}", timeout=5.0)
        client.connect()
        return client

    def restart_broker(self) -> str:
        done = subprocess.run([DEVNODE, "restart-broker", "--dir", self.dir], capture_output=True, text=True,
                              timeout=60)
        if done.returncode != 0:
            raise Failed(f"restart-broker failed: {done.stderr}")
        return done.stdout.strip()

    def down(self) -> None:
        subprocess.run([DEVNODE, "down", "--dir", self.dir], capture_output=True, timeout=60)


class Module:
    """One example module process; a thread reads its output, keeping the last lines, the
    moments it connected and its summary line."""

    def __init__(self, module_id: str, command: list[str], env_file: str, env: dict[str, str]):
        self.module_id = module_id
        self.tail: collections.deque[str] = collections.deque(maxlen=30)
        self.connected_at: dict[int, float] = {}
        self.summary: Optional[tuple[int, int]] = None
        self.lines = 0
        self.proc = subprocess.Popen(command + [env_file], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.lines += 1
            self.tail.append(line)
            m = CONNECTED.search(line)
            if m:
                self.connected_at.setdefault(int(m.group(1)), now())
            m = SUMMARY.search(line)
            if m:
                self.summary = (int(m.group(1)), int(m.group(2)))

    def connections(self) -> int:
        return max(self.connected_at, default=0)

    def alive(self) -> bool:
        return self.proc.poll() is None

    def stop(self) -> int:
        """SIGTERM and wait; the exit status (SIGKILL after the time limit: -9)."""
        if self.alive():
            self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait(5)
        self.reader.join(5)
        return status

    def last_lines(self) -> str:
        return "\n".join(f"    {line}" for line in list(self.tail)[-12:])


def wait_all(modules: list[Module], connection: int, limit: float) -> None:
    deadline = now() + limit
    while now() < deadline:
        dead = [m for m in modules if not m.alive()]
        if dead:
            raise Failed(f"module {dead[0].module_id} exited with {dead[0].proc.returncode}:\n{dead[0].last_lines()}")
        if all(m.connections() >= connection for m in modules):
            return
        time.sleep(0.05)
    late = [m.module_id for m in modules if m.connections() < connection]
    raise Failed(f"{len(late)} modules not connected (connection {connection}) within {limit:.0f} s: {late[:5]}")


# -- the cloud side ---------------------------------------------------------------------


class Driver:
    """Sends commands over one cloud connection and checks each answer.

    Commands alternate between "add" (answered with the sum) and "echo" (answered with its
    parameters); a request id names each. An answer with the wrong result, twice, for no
    command sent, or missing after COMMAND_TIMEOUT_S is a fault. ``answered_by`` counts the
    answers of each module, probes included, into the counter given.
    """

    def __init__(self, node: Node, answered_by: Optional[collections.Counter] = None):
        self.client = node.cloud("driver")
        granted = self.client.subscribe("$qx/modules/+/sys/commands/response/#", qos=1)
        if granted[0] == 0x80:
            raise Failed("the broker refused the driver's subscription")
        self.sequence = 0
        self.pending: dict[str, tuple[str, float, dict]] = {}
        self.probes: dict[str, tuple[str, float, dict]] = {}  # request id -> module, sent, answer
        self.round_trips: list[float] = []  # ms, of every answered command (not the probes)
        self.faults: list[str] = []
        self.answered_by = answered_by if answered_by is not None else collections.Counter()
        self.losses_expected = False  # commands left unanswered are no fault (a module stopping)
        self.sent = 0

    def _publish(self, module_id: str, name: str, paras: dict) -> str:
        self.sequence += 1
        request_id = f"{self.sequence}-{uuid.uuid4().hex[:8]}"
        body = json.dumps({"command_name": name, "paras": paras})
        self.client.publish(topics.command_topic(module_id, request_id), body, qos=1, wait=False)
        return request_id

    def send(self, module_id: str) -> None:
        seq = self.sequence + 1
        if seq % 2:
            name, paras, expect = "add", {"a": seq, "b": 7}, {"sum": seq + 7}
        else:
            paras = {"seq": seq, "text": "load ü", "list": [1, 2, 3]}
            name, expect = "echo", paras
        sent_at = now()
        request_id = self._publish(module_id, name, paras)
        self.pending[request_id] = (module_id, sent_at, {"result_code": 0, "response_name": name, "paras": expect})
        self.sent += 1

    def ready(self, module_ids: list[str], limit: float, resend: float = 0.5) -> dict[str, float]:
        """Echo probes until every module has answered one; the moment each answered.

        A module's connected line comes once it has asked the broker for its subscriptions,
        not once the broker has them: a command the broker sees before that reaches nobody.
        So a probe without an answer is sent again after ``resend`` seconds; probes are not
        counted as commands and an unanswered one is no fault.
        """
        answered: dict[str, float] = {}
        last_probe: dict[str, float] = {}
        deadline = now() + limit
        while len(answered) < len(module_ids):
            if now() >= deadline:
                late = [i for i in module_ids if i not in answered]
                raise Failed(f"{len(late)} modules did not answer a probe within {limit:.0f} s: {late[:5]}")
            for module_id in module_ids:
                if module_id not in answered and now() - last_probe.get(module_id, -resend) >= resend:
                    paras = {"probe": self.sequence + 1}
                    request_id = self._publish(module_id, "echo", paras)
                    self.probes[request_id] = (module_id, now(), {"result_code": 0, "response_name": "echo",
                                                                  "paras": paras})
                    last_probe[module_id] = now()
            message = self.client.receive(0.05)
            while message is not None:
                module_id = self._check(message)
                if module_id is not None:
                    answered.setdefault(module_id, now())
                message = self.client.receive(0.0)
        return answered

    def take(self, timeout: float) -> None:
        """Take answers until ``timeout`` seconds passed with none (at most that long idle)."""
        message = self.client.receive(max(0.0, timeout))
        while message is not None:
            self._check(message)
            message = self.client.receive(0.0)  # what has arrived already, without waiting
        self._expire()

    def _check(self, message) -> Optional[str]:
        """Checks one answer; the module whose probe it answered, else None."""
        m = re.match(r"\$qx/modules/([^/]+)/sys/commands/response/request_id=(.+)$", message.topic)
        if not m:
            self.faults.append(f"answer on an unexpected topic {message.topic}")
            return None
        entry = self.pending.pop(m.group(2), None)
        probe = None
        if entry is None:
            entry = probe = self.probes.pop(m.group(2), None)
        if entry is None:
            self.faults.append(f"answer for no pending command: {message.topic} {message.payload[:200]!r}")
            return None
        module_id, sent_at, expect = entry
        if probe is None:
            self.round_trips.append((now() - sent_at) * 1000.0)
        self.answered_by[module_id] += 1
        try:
            got = json.loads(message.payload)
        except ValueError:
            got = None
        if module_id != m.group(1) or got != expect:
            self.faults.append(f"wrong answer from {m.group(1)}: {message.payload[:200]!r}, expected {expect}")
        return module_id if probe is not None else None

    def _expire(self) -> None:
        limit = now() - COMMAND_TIMEOUT_S
        for request_id, (module_id, sent_at, _) in list(self.pending.items()):
            if sent_at < limit and not self.losses_expected:
                del self.pending[request_id]
                self.faults.append(f"command {request_id} to {module_id} not answered within {COMMAND_TIMEOUT_S:.0f} s")

    def drain(self, limit: float = COMMAND_TIMEOUT_S + 1) -> None:
        """Waits for the answers still pending, then (briefly) for late answers to probes that
        were sent again: a module may have had the first one after all."""
        deadline = now() + limit
        while self.pending and now() < deadline:
            self.take(min(0.2, deadline - now()))
        self._expire()
        settle = min(deadline, now() + 1.0)
        while self.probes and now() < settle:
            self.take(min(0.1, settle - now()))

    def close(self) -> None:
        self.client.disconnect()


def latency_text(values: list[float]) -> str:
    if not values:
        return "no answers"
    return (f"p50 {percentile(values, 50):.1f} ms, p99 {percentile(values, 99):.1f} ms, "
            f"max {max(values):.1f} ms ({len(values)} answers)")


def stop_modules(modules: list[Module], answered: collections.Counter, problems: list[str]) -> None:
    """SIGTERM every module; each must exit 0 and count exactly the answers the cloud side
    received from it."""
    for m in modules:
        if m.alive():
            m.proc.send_signal(signal.SIGTERM)
    for m in modules:
        if stopped_with_summary(m, problems) and m.summary[1] != answered[m.module_id]:
            problems.append(f"module {m.module_id} counted {m.summary[1]} answers, the cloud side received "
                            f"{answered[m.module_id]}")


def stopped_with_summary(m: Module, problems: list[str]) -> bool:
    """Waits for the module's end; True when it exited 0 with its summary line, else notes why not."""
    status = m.stop()
    if status != 0:
        problems.append(f"module {m.module_id} exited with status {status}:\n{m.last_lines()}")
    elif m.summary is None:
        problems.append(f"module {m.module_id}: no summary line:\n{m.last_lines()}")
    return status == 0 and m.summary is not None


def stop_under_load(modules: list[Module], node: Node, answered: collections.Counter, window: int,
                    problems: list[str]) -> None:
    """SIGTERM reaches every module while commands stream in. Each must exit 0, and every
    answer it counted must have reached the cloud side: the answers it sent just before its
    stop go out before its connection closes. Commands that come once its stop has begun go
    unanswered and uncounted."""
    before = collections.Counter(answered)
    driver = Driver(node, answered)
    driver.losses_expected = True
    ids = [m.module_id for m in modules]
    began = now()
    stop_at = began + 0.5
    stopping = False
    while now() < stop_at + STOP_TIMEOUT_S and (not stopping or any(m.alive() for m in modules)):
        if not stopping and now() >= stop_at:
            for m in modules:
                m.proc.send_signal(signal.SIGTERM)
            stopping = True
        while not stopping and len(driver.pending) < window:
            driver.send(ids[driver.sent % len(ids)])
        driver.take(0.01)
    driver.drain(2.0)  # answers still on their way through the broker
    driver.close()
    short = []
    for m in modules:
        if stopped_with_summary(m, problems) and m.summary[1] != answered[m.module_id]:
            short.append((m.module_id, m.summary[1] - before[m.module_id], answered[m.module_id] - before[m.module_id]))
    if short:
        problems.append(f"{len(short)} modules counted answers that never reached the cloud side while they stopped "
                        f"(module, answers counted, answers received): {short[:5]}")
    say(f"stop under load: SIGTERM to every module 0.5 s into a stream of commands ({driver.sent} sent, "
        f"{len(driver.round_trips)} answered); "
        + ("each module exited 0 and every answer it counted reached the cloud side" if not problems
           else "see the faults below"))


def module_command(args) -> list[str]:
    return list(args.emulator) + [args.example]


def module_env(args) -> dict[str, str]:
    env = dict(os.environ)
    # The kit's own points reports would only add traffic the driver does not look at.
    env["GRAVEL_REPORT_SECONDS"] = "3600"
    if args.asan_quarantine_mb:
        # ASan holds freed memory back (256 MiB by default): bounded, memory figures settle.
        options = env.get("ASAN_OPTIONS", "")
        env["ASAN_OPTIONS"] = (options + ":" if options else "") + f"quarantine_size_mb={args.asan_quarantine_mb}"
    return env


# -- modules ----------------------------------------------------------------------------


def run_modules(args, folder: str) -> list[str]:
    problems: list[str] = []
    started = now()
    node = Node(folder, args.modules, args.plugin)
    say(f"dev node up: broker 127.0.0.1:{node.port}, {len(node.envs)} modules")
    modules = []
    try:
        env = module_env(args)
        for module_id, env_file in node.envs.items():
            modules.append(Module(module_id, module_command(args), env_file, env))
        wait_all(modules, 1, START_TIMEOUT_S)
        say(f"all {len(modules)} modules bound and connected {now() - started:.1f} s after the start")

        answered_by: collections.Counter[str] = collections.Counter()
        driver = Driver(node, answered_by)
        ids = [m.module_id for m in modules]
        driver.ready(ids, START_TIMEOUT_S)
        say(f"all {len(modules)} modules answering {now() - started:.1f} s after the start")
        began = now()
        deadline = began + COMMAND_TIMEOUT_S + args.commands / 50.0
        while driver.sent < args.commands and now() < deadline:
            while len(driver.pending) < args.window and driver.sent < args.commands:
                driver.send(ids[driver.sent % len(ids)])
            driver.take(0.5)
        driver.drain()
        took = now() - began
        answered = len(driver.round_trips)
        say(f"{driver.sent} commands ({args.window} in flight) answered {answered} in {took:.2f} s "
            f"({answered / took:.0f}/s): {latency_text(driver.round_trips)}")
        if driver.sent != args.commands or answered != args.commands:
            problems.append(f"{args.commands} commands to send, {driver.sent} sent, {answered} answered")
        problems += driver.faults
        driver.close()

        # A connect try's thread ends within about 100 ms of the connection: let it go first.
        time.sleep(1.0)
        figures = [proc_figures(m.proc.pid, rollup=True) for m in modules]
        say(f"memory per module process ({'the emulator' if args.emulator else 'native'}): "
            f"VmRSS {spread([f['VmRSS'] for f in figures])}")
        say(f"  Pss (shared pages divided among their users) {spread([f['Pss'] for f in figures])}")
        say(f"  private (pages of this process only) {spread([f['private'] for f in figures])}")
        say(f"  threads {spread([f['threads'] for f in figures], count)}, fds {spread([f['fds'] for f in figures], count)}")
        if args.check_memory:
            over = [(m.module_id, f["private"]) for m, f in zip(modules, figures) if f["private"] > 8 * MIB]
            if over:
                problems.append(f"{len(over)} modules hold more than 8 MiB of their own memory: {over[:5]}")

        # The broker goes away and comes back, --restarts times; every module must reconnect
        # by itself, answer a command, and hold as many fds and threads as before.
        for restart in range(1, args.restarts + 1):
            connection = restart + 1
            samples: list[tuple[float, int]] = []
            sampling = threading.Event()

            def sample() -> None:
                while not sampling.is_set():
                    samples.append((now(), broker_connections(node.port)))
                    sampling.wait(0.1)

            sampler = threading.Thread(target=sample, daemon=True)
            sampler.start()
            time.sleep(0.3)
            restart_at = now()
            restarted = node.restart_broker()
            try:
                wait_all(modules, connection, RECONNECT_TIMEOUT_S)
            finally:
                time.sleep(0.5)
                sampling.set()
                sampler.join(2)
            back = [m.connected_at[connection] - restart_at for m in modules]
            say(f"restart {restart}: {restarted}; all {len(modules)} modules back {max(back):.2f} s after the "
                f"restart began (min {min(back):.2f} s, median {statistics.median(back):.2f} s)")
            series, last = [], None
            for at, connections in samples:
                if connections != last:
                    series.append(f"{at - restart_at:+.1f}s:{connections}")
                    last = connections
            say("  broker connections (sampled every 100 ms, changes only; t=0 the restart): " + " ".join(series))

            driver = Driver(node, answered_by)
            answering = driver.ready(ids, RECONNECT_TIMEOUT_S)
            again = [at - restart_at for at in answering.values()]
            for module_id in ids:
                driver.send(module_id)
            driver.drain()
            say(f"  every module answering commands again {max(again):.2f} s after the restart began; one more "
                f"command each: {latency_text(driver.round_trips)}")
            if len(driver.round_trips) != len(ids):
                problems.append(f"after restart {restart} {len(driver.round_trips)} of {len(ids)} modules answered")
            problems += driver.faults
            driver.close()

            # The try that reconnected ends shortly after: wait (a little) for the counts.
            settle = now() + 3.0
            while True:
                later = [proc_figures(m.proc.pid, rollup=True) for m in modules]
                if now() > settle or all(f["fds"] == g["fds"] and f["threads"] == g["threads"]
                                         for f, g in zip(figures, later)):
                    break
                time.sleep(0.1)
            for key in ("fds", "threads"):
                changed = [(m.module_id, f[key], g[key]) for m, f, g in zip(modules, figures, later) if f[key] != g[key]]
                if changed:
                    problems.append(f"{key} changed over restart {restart} (module, before, after): {changed[:5]}")
            grew = [g["private"] - f["private"] for f, g in zip(figures, later)]
            say(f"  fds and threads as before in {sum(1 for f, g in zip(figures, later) if f['fds'] == g['fds'] and f['threads'] == g['threads'])}"
                f" of {len(modules)} modules; private memory since the first measurement: "
                f"{spread(grew)}")

        stop_under_load(modules, node, answered_by, min(1000, 64 * len(modules)), problems)
    finally:
        for m in modules:
            if m.alive():
                m.proc.kill()
        node.down()
    return problems


# -- soak -------------------------------------------------------------------------------


def run_soak(args, folder: str) -> list[str]:
    problems: list[str] = []
    node = Node(folder, 1, args.plugin)
    module = None
    try:
        (module_id, env_file), = node.envs.items()
        module = Module(module_id, module_command(args), env_file, module_env(args))
        wait_all([module], 1, START_TIMEOUT_S)
        interval = args.interval or (60.0 if args.seconds >= 300 else 10.0)
        warmup = min(interval, 60.0)
        say(f"soak: module {module_id}, {args.rate} commands/s for {args.seconds} s, a line every {interval:.0f} s; "
            f"warm-up {warmup:.0f} s")
        say("  time   answered  p50 ms  p99 ms  max ms   VmRSS KiB  RssAnon KiB  fds  threads")
        driver = Driver(node)
        driver.ready([module_id], START_TIMEOUT_S)
        pid = module.proc.pid
        began = now()
        end = began + args.seconds
        next_line = began + interval
        next_sample = began
        line_trips_from = 0

        def report_line(trips: list[float]) -> None:
            f = proc_figures(pid)
            p = (lambda q: f"{percentile(trips, q):7.1f}") if trips else (lambda q: "      -")
            say(f"  {now() - began:4.0f} s {len(trips):9d} {p(50)} {p(99)} {max(trips, default=0):7.1f} "
                f"{f['VmRSS'] // 1024:11d} {f['RssAnon'] // 1024:12d} {f['fds']:4d} {f['threads']:8d}")

        baseline: Optional[dict[str, int]] = None
        after: list[dict[str, int]] = []
        while now() < end:
            due = began + driver.sent / args.rate
            while now() >= due and now() < end:
                driver.send(module_id)
                due = began + driver.sent / args.rate
            if now() >= next_sample:
                figures = proc_figures(pid)
                next_sample += 1.0
                if baseline is None and now() - began >= warmup:
                    baseline = figures
                elif baseline is not None:
                    after.append(figures)
            if now() >= next_line:
                report_line(driver.round_trips[line_trips_from:])
                line_trips_from = len(driver.round_trips)
                next_line += interval
            driver.take(max(0.0, min(due, next_sample, next_line, end) - now()))
            if not module.alive():
                raise Failed(f"the module exited with {module.proc.returncode}:\n{module.last_lines()}")
        driver.drain()
        if len(driver.round_trips) > line_trips_from:
            report_line(driver.round_trips[line_trips_from:])
        took = now() - began
        answered = len(driver.round_trips)
        say(f"{driver.sent} commands sent in {took:.0f} s ({driver.sent / took:.0f}/s), {answered} answered: "
            f"{latency_text(driver.round_trips)}")
        if answered != driver.sent or driver.sent < args.rate * args.seconds * 0.95:
            problems.append(f"{driver.sent} commands sent (planned {args.rate * args.seconds}), {answered} answered")
        problems += driver.faults
        driver.close()
        if baseline is None or not after:
            problems.append("the run was too short for a measurement after the warm-up")
        else:
            final = after[-1]
            for key in ("VmRSS", "RssAnon"):
                grew = max(f[key] for f in after) - baseline[key]
                say(f"{key} after the warm-up: {mib(baseline[key])}, at the end {mib(final[key])}, "
                    f"largest growth {mib(grew)}" + ("" if args.check_memory else " (reported, not checked here)"))
                if args.check_memory and grew >= MIB:
                    problems.append(f"{key} grew by {mib(grew)} after the warm-up")
            for key in ("fds", "threads"):
                seen = sorted({f[key] for f in after})
                say(f"{key} after the warm-up: {baseline[key]}, later {seen}")
                if seen != [baseline[key]]:
                    problems.append(f"{key} changed after the warm-up: {baseline[key]} -> {seen}")
        stop_modules([module], driver.answered_by, problems)
        say(f"module stopped{' cleanly, it counted every command' if not problems else ''}")
    finally:
        if module is not None and module.alive():
            module.proc.kill()
        node.down()
    return problems


# -- command line -----------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="mode", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--plugin", help="the dev node's broker plugin")
    common.add_argument("--check-memory", action="store_true", help="check memory limits (optimised native build)")
    common.add_argument("--asan-quarantine-mb", type=int, default=0, help="bound ASan's quarantine (MiB)")
    common.add_argument("--keep", action="store_true", help="keep the node's folder")
    common.add_argument("example", help="the example module binary")
    common.add_argument("emulator", nargs=argparse.REMAINDER, help="emulator and its arguments (cross builds)")
    mods = sub.add_parser("modules", parents=[common])
    mods.add_argument("--modules", type=int, default=50)
    mods.add_argument("--commands", type=int, default=5000)
    mods.add_argument("--window", type=int, default=32, help="commands in flight at once")
    mods.add_argument("--restarts", type=int, default=1, help="broker restarts after the commands")
    soak = sub.add_parser("soak", parents=[common])
    soak.add_argument("--seconds", type=int, default=600)
    soak.add_argument("--rate", type=int, default=200)
    soak.add_argument("--interval", type=float, default=0, help="seconds between report lines")
    args = parser.parse_args()
    if args.mode == "modules" and not (1 <= args.modules <= 200 and 1 <= args.commands <= 1000000
                                       and 1 <= args.window <= 1000 and 1 <= args.restarts <= 100):
        parser.error("--modules 1..200, --commands 1..1000000, --window 1..1000, --restarts 1..100")
    if args.mode == "soak" and not (5 <= args.seconds <= 86400 and 1 <= args.rate <= 5000):
        parser.error("--seconds 5..86400, --rate 1..5000")
    if args.emulator:
        args.check_memory = False  # /proc shows the emulator, not the module
    # Stopped from outside (ctest's time limit, ^C): the node and the modules go down too.
    for stop in (signal.SIGTERM, signal.SIGINT):
        signal.signal(stop, lambda number, frame: sys.exit(128 + number))
    folder = tempfile.mkdtemp(prefix=f"gravel-{args.mode}.")
    problems: list[str] = []
    try:
        problems = (run_modules if args.mode == "modules" else run_soak)(args, folder)
    except (Failed, MqttError, OSError, subprocess.TimeoutExpired) as e:
        problems.append(str(e))
    finally:
        if problems or args.keep:
            say(f"the node's folder is kept: {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)
    for problem in problems:
        say(f"FAULT: {problem}")
    say("== all checks held ==" if not problems else f"== {len(problems)} faults ==")
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main())
