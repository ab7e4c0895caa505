"""Command line of the dev node: up, down, send-command, watch, restart-broker, expire-token,
fault, status (and the hidden serve, the node's background process).

Exit statuses: 0 success; 1 failure (a message on stderr); 2 a bad command line or, for
send-command, JSON that does not parse.
"""
from __future__ import annotations

import argparse
import http.client
import itertools
import json
import os
import secrets
import signal
import ssl
import sys
import tempfile
import time
import uuid
from typing import Optional

from . import auth, broker, faults, pki, process, server, state, topics, workdir
from .httpbase import unix_request
from .mqtt import ConnectRefused, MqttError
from .state import Module, NodePaths, NodeState
from .tokens import TokenStore

READY_TIMEOUT_S = 15.0
CLOUD_USER = "devnode-cloud"
DEFAULT_MODULE_ID = "example01"
DEFAULT_TOKEN_LIFETIME_S = 600
WATCH_DEFAULT_TIMEOUT_S = 3600.0
# DIR appears unquoted in the broker config and in shell-sourced env files.
_SAFE_PATH_CHARS = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,@%=:")

_client_numbers = itertools.count(1)


class Failure(Exception):
    """Ends the command with a message on stderr and an exit status."""

    def __init__(self, message: str, status: int = 1):
        super().__init__(message)
        self.status = status


def entry_point() -> str:
    return os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "gravel-devnode")


def server_markers(paths: NodePaths) -> tuple[str, str]:
    return ("serve", paths.root)


def cloud_client_id() -> str:
    return "devnode-cloud-%d-%d" % (os.getpid(), next(_client_numbers))


# -- locating the node ------------------------------------------------------------------


def node_dir(args: argparse.Namespace) -> str:
    if args.dir:
        return os.path.abspath(args.dir)
    last = state.last_dir()
    if not last:
        raise Failure("no dev node given: pass --dir DIR, or start one with gravel-devnode up")
    return last


def load_node(args: argparse.Namespace) -> tuple[NodeState, NodePaths]:
    root = node_dir(args)
    try:
        node = NodeState.load(root)
    except FileNotFoundError:
        raise Failure(f"no dev node in {root} (no node.json)") from None
    except (OSError, ValueError) as e:
        raise Failure(f"cannot read the dev node in {root}: {e}") from None
    return node, NodePaths(root)


def server_running(node: NodeState) -> bool:
    return process.is_running(node.server_pid, server_markers(NodePaths(node.dir)))


def parts_running(node: NodeState) -> bool:
    return broker.is_running(node) or server_running(node)


# -- up ---------------------------------------------------------------------------------


def module_ids(base: str, count: int) -> list[str]:
    if count < 1:
        raise Failure("--modules must be at least 1", 2)
    ids = [base] + [f"{base}-{i}" for i in range(2, count + 1)]
    for module_id in ids:
        problem = auth.module_id_problem(module_id)
        if problem:
            raise Failure(problem, 2)
        if module_id == CLOUD_USER:
            raise Failure(f"module id {module_id!r} is the node's own cloud user name", 2)
    return ids


def new_module(module_id: str) -> Module:
    return Module(module_id=module_id, device_id=f"device-{module_id}",
                  verify_code=secrets.token_hex(8), daemon_verify_code=secrets.token_hex(8),
                  secret=secrets.token_hex(16), crypt_key=secrets.token_hex(16))


def check_dir(root: str) -> Optional[NodeState]:
    """The earlier node of ``root`` (reused: same keys, same module secrets), or None."""
    bad = sorted(set(root) - _SAFE_PATH_CHARS)
    if bad:
        raise Failure(f"--dir {root!r} holds {''.join(bad)!r}; use a path of letters, digits and /._-+,@%=:", 2)
    if len(NodePaths(root).control_sock.encode()) > 107:
        raise Failure(f"--dir {root} is too long for the node's unix sockets (at most 94 bytes)", 2)
    if not os.path.exists(root):
        return None
    if not os.path.isdir(root):
        raise Failure(f"{root} is not a directory")
    try:
        earlier = NodeState.load(root)
    except FileNotFoundError:
        if os.listdir(root):
            raise Failure(f"{root} is not empty and holds no dev node; choose an empty or new directory") from None
        return None
    except (OSError, ValueError) as e:
        raise Failure(f"{root} holds a dev node that cannot be read ({e}); remove it or choose another") from None
    if parts_running(earlier):
        raise Failure(f"a dev node already runs in {root} (gravel-devnode down --dir {root} stops it)")
    return earlier


def wait_server(node: NodeState, paths: NodePaths, proc, deadline: float) -> int:
    """Wait for the background process's ready file and its sockets; returns the hub port."""
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise Failure(f"the node's server exited with status {proc.returncode} (see {paths.node_log})")
        ready = server.read_ready(paths)
        if ready and ready.get("pid") == proc.pid:
            node.hub_port = ready["hub_port"]
            problems = part_problems(node, paths, timeout=max(0.2, min(2.0, deadline - time.monotonic())))
            if not problems:
                return ready["hub_port"]
        time.sleep(0.05)
    raise Failure(f"the node's server did not answer within {READY_TIMEOUT_S:.0f} s (see {paths.node_log})")


def start_broker(node: NodeState, paths: NodePaths, deadline: float, fresh_port: bool):
    """Start mosquitto and wait until it accepts the cloud client; returns its Popen.

    A port chosen a moment ago may be taken meanwhile; with ``fresh_port`` a new one is tried.
    """
    attempts = 3 if fresh_port else 1
    for attempt in range(attempts):
        if fresh_port:
            node.broker_port = broker.free_port()
        broker.write_config(paths, node.broker_port, node.plugin)
        log_size = os.path.getsize(paths.broker_log) if os.path.exists(paths.broker_log) else 0
        proc = broker.start(paths)
        node.broker_pid = proc.pid
        node.save()
        try:
            broker.wait_ready(node, deadline, proc)
            return proc
        except broker.BrokerError:
            with open(paths.broker_log, "rb") as f:
                f.seek(log_size)
                in_use = b"Address already in use" in f.read()
            process.stop(proc.pid, paths.broker_conf, kill=True)
            if not (in_use and attempt + 1 < attempts):
                raise
    raise AssertionError("unreachable")


def cmd_up(args: argparse.Namespace) -> int:
    plugin = broker.find_plugin(args.plugin)
    broker.find_mosquitto()
    ids = module_ids(args.module_id, args.modules)
    if not 1 <= args.token_lifetime <= 30 * 86400:
        raise Failure("--token-lifetime must be between 1 and 2592000 seconds", 2)
    root = os.path.abspath(args.dir) if args.dir else tempfile.mkdtemp(prefix="gravel-devnode-")
    earlier = check_dir(root)
    os.makedirs(root, mode=0o700, exist_ok=True)
    paths = NodePaths(root)
    try:
        pki.ensure(paths)
    except pki.PkiError as e:
        raise Failure(str(e)) from None
    known = {m.module_id: m for m in earlier.modules} if earlier else {}
    node = NodeState(dir=root, daemon=args.daemon, token_lifetime_s=args.token_lifetime, plugin=plugin,
                     cloud_user=CLOUD_USER, cloud_password=secrets.token_urlsafe(24),
                     modules=[known.get(i) or new_module(i) for i in ids], started_at=time.time())
    os.makedirs(paths.broker_dir, mode=0o700, exist_ok=True)
    node.save()
    state.write_credentials(node, TokenStore(paths.tokens_json).snapshot())

    deadline = time.monotonic() + READY_TIMEOUT_S
    try:
        start_broker(node, paths, deadline, fresh_port=True)
        proc = process.start_detached([sys.executable, entry_point(), "serve", "--dir", root], paths.node_log,
                                      cwd=root)
        node.server_pid = proc.pid
        node.save()
        node.hub_port = wait_server(node, paths, proc, deadline)
        node.save()
        workdir.prepare(node)
        state.record_last_dir(root)
    except (Failure, broker.BrokerError, OSError, MqttError) as e:
        teardown(node, paths)
        tail = broker.log_tail(paths)
        raise Failure(f"up failed: {e}\n--- {paths.broker_log} (last lines) ---\n{tail}") from None
    except BaseException:  # interrupted: leave nothing running behind
        teardown(node, paths)
        raise

    print(f"dir {root}")
    print(f"broker 127.0.0.1:{node.broker_port} (TLS, CA {paths.ca_cert})")
    print(f"hub https://127.0.0.1:{node.hub_port}")
    if node.daemon:
        print(f"daemon unix:{paths.daemon_sock}")
    for m in node.modules:
        print(f"module {m.module_id} work dir {paths.module_dir(m.module_id)} env {paths.module_env_of(m.module_id)}")
    return 0


# -- down -------------------------------------------------------------------------------


def teardown(node: NodeState, paths: NodePaths) -> bool:
    """Stop the server, then the broker; True when something was running."""
    stopped = process.stop(node.server_pid, server_markers(paths))
    stopped = broker.stop(node) or stopped
    for leftover in (paths.daemon_sock, paths.daemon_sock_gone, paths.control_sock, paths.server_json):
        try:
            os.unlink(leftover)  # left behind only when the server had to be killed
        except OSError:
            pass
    return stopped


def cmd_down(args: argparse.Namespace) -> int:
    node, paths = load_node(args)
    if not teardown(node, paths):
        print(f"no dev node running in {paths.root}", file=sys.stderr)
    node.broker_pid = node.server_pid = 0
    node.save()
    return 0


# -- the cloud side ---------------------------------------------------------------------


def known_module(node: NodeState, module_id: str) -> None:
    if node.module(module_id) is None:
        names = ", ".join(m.module_id for m in node.modules)
        raise Failure(f"{module_id!r} is not a module of this node (modules: {names})")


def cmd_send_command(args: argparse.Namespace) -> int:
    try:
        paras = json.loads(args.json)
    except ValueError as e:
        raise Failure(f"JSON does not parse: {e}", 2) from None
    node, _ = load_node(args)
    known_module(node, args.module)
    if args.timeout <= 0:
        raise Failure("--timeout must be positive", 2)
    deadline = time.monotonic() + args.timeout
    request_id = uuid.uuid4().hex
    answer_on = topics.response_topic(args.module, request_id)
    body = json.dumps({"command_name": args.name, "paras": paras})
    client = broker.cloud_client(node, cloud_client_id(), timeout=min(5.0, args.timeout))
    try:
        client.connect()
        granted = client.subscribe(answer_on, qos=1)
        if granted[0] == 0x80:
            raise Failure(f"the broker refused the subscription to {answer_on}")
        started = time.perf_counter()
        client.publish(topics.command_topic(args.module, request_id), body, qos=1)
        while time.monotonic() < deadline:
            msg = client.receive(deadline - time.monotonic())
            if msg is not None and msg.topic == answer_on:
                elapsed_ms = (time.perf_counter() - started) * 1000.0
                sys.stdout.buffer.write(msg.payload + b"\n")
                sys.stdout.flush()
                print(f"round trip {elapsed_ms:.1f} ms", file=sys.stderr)
                return 0
        raise Failure(f"no answer from module {args.module} within {args.timeout:g} s (request id {request_id})")
    except (OSError, MqttError) as e:
        raise Failure(f"send-command failed: {e}") from None
    finally:
        client.disconnect()


def cmd_watch(args: argparse.Namespace) -> int:
    node, _ = load_node(args)
    known_module(node, args.module)
    if args.timeout <= 0 or (args.count is not None and args.count < 1):
        raise Failure("--timeout must be positive and --count at least 1", 2)
    stop = []
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.append(True))
    deadline = time.monotonic() + args.timeout
    filters = topics.watch_filters(args.module)
    inbound = topics.inbound_filters(args.module)
    seen, announced, client = 0, False, None
    try:
        while not stop and time.monotonic() < deadline and (args.count is None or seen < args.count):
            if client is None:
                client = broker.cloud_client(node, cloud_client_id(), timeout=max(0.2, min(5.0, deadline - time.monotonic())))
                try:
                    client.connect()
                    client.subscribe([(f, 1) for f in filters])
                except ConnectRefused as e:
                    raise Failure(f"watch: {e}") from None
                except (OSError, MqttError) as e:
                    client.close()
                    client = None
                    if not announced:
                        raise Failure(f"watch: cannot reach the broker: {e}") from None
                    time.sleep(0.2)  # the broker is restarting: try again until the deadline
                    continue
                if not announced:
                    print(f"watching {' and '.join(filters)} on 127.0.0.1:{node.broker_port}", file=sys.stderr, flush=True)
                    announced = True
            try:
                msg = client.receive(max(0.0, min(0.5, deadline - time.monotonic())))
            except MqttError as e:
                print(f"watch: connection lost ({e}), reconnecting", file=sys.stderr, flush=True)
                client.close()
                client = None
                continue
            if msg is None or any(topics.matches(f, msg.topic) for f in inbound):
                continue  # only what the module publishes, not what is sent to it
            sys.stdout.buffer.write(msg.topic.encode() + b" " + msg.payload + b"\n")
            sys.stdout.flush()
            seen += 1
    finally:
        if client is not None:
            client.disconnect()
    return 0


# -- operating the node -----------------------------------------------------------------


def cmd_restart_broker(args: argparse.Namespace) -> int:
    node, paths = load_node(args)
    if not 0 <= args.down_for <= 3600:
        raise Failure("--down-for must be between 0 and 3600 seconds", 2)
    if not os.path.isfile(paths.broker_conf) or not node.broker_port:
        raise Failure(f"the node in {paths.root} has no broker configuration; run up first")
    started = time.monotonic()
    if not broker.stop(node, kill=args.kill):
        print("the broker was not running; starting it", file=sys.stderr)
    if args.down_for:
        time.sleep(args.down_for)
    try:
        start_broker(node, paths, time.monotonic() + READY_TIMEOUT_S, fresh_port=False)
    except broker.BrokerError as e:
        raise Failure(f"restart-broker failed: {e}\n--- {paths.broker_log} (last lines) ---\n"
                      f"{broker.log_tail(paths)}") from None
    print(f"broker restarted in {(time.monotonic() - started) * 1000:.0f} ms")
    return 0


def cmd_expire_token(args: argparse.Namespace) -> int:
    node, paths = load_node(args)
    known_module(node, args.module)
    if not node.daemon:
        raise Failure("the node runs without a daemon (start it with up --daemon)")
    try:
        status, body = server.control(paths, "POST", "/expire-token", {"module_id": args.module})
    except (OSError, http.client.HTTPException) as e:
        raise Failure(f"the node's server does not answer on {paths.control_sock}: {e}") from None
    if status != 200:
        raise Failure(f"expire-token refused: {(body or {}).get('error', status)}")
    print(f"armed: the next sign of module {args.module} issues a token that expired 1 s before")
    return 0


def cmd_fault(args: argparse.Namespace) -> int:
    node, paths = load_node(args)
    body = {"part": args.part, "mode": args.mode, "path": args.path, "count": args.count}
    try:
        status, answer = server.control(paths, "POST", "/fault", body)
    except (OSError, http.client.HTTPException) as e:
        raise Failure(f"the node's server does not answer on {paths.control_sock}: {e}") from None
    if status != 200:
        raise Failure(f"fault refused: {(answer or {}).get('error', status)}", 2 if status == 400 else 1)
    print(faults.describe(args.part, answer))
    return 0


def https_answers(port: int, cafile: str, timeout: float) -> Optional[str]:
    """None when the hub answers HTTPS with the node's certificate, else why not."""
    context = ssl.create_default_context(cafile=cafile)
    conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=timeout, context=context)
    try:
        conn.request("GET", "/")
        conn.getresponse().read()
        return None
    except (OSError, http.client.HTTPException) as e:
        return str(e) or type(e).__name__
    finally:
        conn.close()


def socket_answers(path: str, url: str, timeout: float) -> Optional[str]:
    try:
        unix_request(path, "GET", url, timeout=timeout)
        return None
    except (OSError, http.client.HTTPException) as e:
        return str(e) or type(e).__name__


def part_problems(node: NodeState, paths: NodePaths, timeout: float = 2.0,
                  skip: frozenset = frozenset()) -> dict[str, str]:
    """The server's parts that do not answer, with why; the parts in ``skip`` are not asked."""
    problems = {}
    why = (https_answers(node.hub_port, paths.ca_cert, timeout) if node.hub_port else "no port") \
        if "hub" not in skip else None
    if why:
        problems["hub"] = why
    if node.daemon and "daemon" not in skip:
        why = socket_answers(paths.daemon_sock, "/v2/device/sign", timeout)
        if why:
            problems["daemon"] = why
    why = socket_answers(paths.control_sock, "/status", timeout)
    if why:
        problems["control"] = why
    return problems


def _when(ms: Optional[int]) -> str:
    if ms is None:
        return "none"
    return "%s (in %.0f s)" % (time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(ms / 1000)), ms / 1000 - time.time())


def cmd_status(args: argparse.Namespace) -> int:
    node, paths = load_node(args)
    broker_up, server_up = broker.is_running(node), server_running(node)
    body = None
    if server_up:
        try:
            status, answer = server.control(paths, "GET", "/status")
            body = answer if status == 200 and isinstance(answer, dict) else None
        except (OSError, http.client.HTTPException):
            pass
    armed = {p: f for p, f in ((body or {}).get("faults") or {}).items() if f.get("mode") != "none"}
    problems = part_problems(node, paths, skip=frozenset(armed)) if server_up else {}
    down = not broker_up or not server_up or bool(problems)
    ok = lambda up: "running" if up else "not running"
    print(f"dir {paths.root}")
    print(f"broker pid {node.broker_pid} {ok(broker_up)}, 127.0.0.1:{node.broker_port} (TLS, CA {paths.ca_cert})")
    print(f"server pid {node.server_pid} {ok(server_up)}")
    answer = lambda part: (f"in fault mode {armed[part]['mode']}" if part in armed else "answering" if part not in problems
                           else f"not answering ({problems[part]})") if server_up else "down"
    print(f"hub https://127.0.0.1:{node.hub_port} {answer('hub')}")
    if node.daemon:
        print(f"daemon unix:{paths.daemon_sock} {answer('daemon')}")
    print(f"control unix:{paths.control_sock} {answer('control')}")
    details = {}
    try:
        details = {m["module_id"]: m for m in body["modules"]} if body else {}
        for part, fault in body["faults"].items() if body else ():
            print(faults.describe(part, fault))
    except (KeyError, TypeError, AttributeError):
        pass
    for m in node.modules:
        line = f"module {m.module_id} work dir {paths.module_dir(m.module_id)}"
        d = details.get(m.module_id)
        if d:
            line += (f" bound {','.join(d['bound']) or 'no'} tokens {d['tokens']} (valid {d['valid_tokens']},"
                     f" next expiry {_when(d['next_expiry_ms'])})" + (" expire-token armed" if d["expire_armed"] else ""))
        print(line)
    return 1 if down else 0


def cmd_serve(args: argparse.Namespace) -> int:
    return server.serve(node_dir(args))


# -- parsing ----------------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--dir", metavar="DIR", help="the node's directory (default: that of the last up)")
    p = argparse.ArgumentParser(prog="gravel-devnode", description=(
        "A local edge node for module developers: mosquitto over TLS with the credentials plugin, "
        "an HTTPS hub and, optionally, the local daemon on a unix socket."))
    p.add_argument("--dir", dest="top_dir", metavar="DIR", help="the node's directory, before or after COMMAND")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True)

    up = sub.add_parser("up", help="start a node")
    up.add_argument("--dir", metavar="DIR", help="the node's directory (default: a new temporary one)")
    up.add_argument("--daemon", action="store_true", help="also run the local daemon (modules bind through it)")
    up.add_argument("--module-id", default=DEFAULT_MODULE_ID, metavar="ID",
                    help="first module id (default %(default)s; the others are ID-2 ... ID-N)")
    up.add_argument("--modules", type=int, default=1, metavar="N", help="number of modules (default 1)")
    up.add_argument("--token-lifetime", type=int, default=DEFAULT_TOKEN_LIFETIME_S, metavar="SECONDS",
                    help="lifetime of daemon tokens (default %(default)s)")
    up.add_argument("--plugin", metavar="PATH", help="the broker plugin gravel-devnode-auth.so")
    up.set_defaults(func=cmd_up)

    down = sub.add_parser("down", parents=[common], help="stop the node")
    down.set_defaults(func=cmd_down)

    send = sub.add_parser("send-command", parents=[common], help="send a command to a module, print its answer")
    send.add_argument("module", metavar="MODULE")
    send.add_argument("name", metavar="NAME")
    send.add_argument("json", metavar="JSON", help="the command's paras, as JSON")
    send.add_argument("--timeout", type=float, default=10.0, metavar="S", help="seconds to wait (default 10)")
    send.set_defaults(func=cmd_send_command)

    watch = sub.add_parser("watch", parents=[common], help="print what a module publishes")
    watch.add_argument("module", metavar="MODULE")
    watch.add_argument("--count", type=int, metavar="N", help="stop after N messages")
    watch.add_argument("--timeout", type=float, default=WATCH_DEFAULT_TIMEOUT_S, metavar="S",
                       help="stop after S seconds (default %(default)g)")
    watch.set_defaults(func=cmd_watch)

    restart = sub.add_parser("restart-broker", parents=[common], help="stop and start the broker")
    restart.add_argument("--kill", action="store_true", help="stop it with SIGKILL instead of SIGTERM")
    restart.add_argument("--down-for", type=float, default=0.0, metavar="SECONDS",
                         help="stay down this long before starting again")
    restart.set_defaults(func=cmd_restart_broker)

    expire = sub.add_parser("expire-token", parents=[common],
                            help="make the daemon's next sign for a module issue an expired token")
    expire.add_argument("module", metavar="MODULE")
    expire.set_defaults(func=cmd_expire_token)

    fault = sub.add_parser("fault", parents=[common], help="put the hub or the daemon into a fault mode")
    fault.add_argument("part", choices=faults.PARTS)
    fault.add_argument("mode", choices=faults.MODES)
    fault.add_argument("--path", default="", metavar="PREFIX", help="only requests whose path starts with PREFIX")
    fault.add_argument("--count", type=int, metavar="N", help="only the next N requests (default: until none)")
    fault.set_defaults(func=cmd_fault)

    status = sub.add_parser("status", parents=[common], help="what runs where; exit 1 when a part is down")
    status.set_defaults(func=cmd_status)

    serve = sub.add_parser("serve", parents=[common])  # the background process that up starts
    serve.set_defaults(func=cmd_serve)
    # Keep the internal subcommand out of the help text.
    sub._choices_actions = [a for a in sub._choices_actions if a.dest != "serve"]
    return p


def main(argv: Optional[list[str]] = None) -> int:
    args = parser().parse_args(argv)
    if args.dir is None:
        args.dir = args.top_dir
    try:
        return args.func(args)
    except Failure as e:
        print(f"gravel-devnode {args.command}: {e}", file=sys.stderr)
        return e.status
    except broker.BrokerError as e:
        print(f"gravel-devnode {args.command}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. "| head"); later writes at exit must not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0 if args.command == "watch" else 1
