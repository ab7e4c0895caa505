"""The node's MQTT broker: mosquitto with TLS and the credentials plugin.

Its configuration names the plugin and the credentials file; the plugin re-reads that file
whenever it changes, so credentials issued later count without a restart.
"""
from __future__ import annotations

import glob
import os
import shutil
import socket
import subprocess
import sysconfig
import time
from typing import Optional

from . import process
from .mqtt import ConnectRefused, MqttClient, MqttError
from .state import NodePaths, NodeState

PLUGIN_FILE = "gravel-devnode-auth.so"
BUILD_HINT = ("build it from the repository: apt-get install mosquitto-dev, then "
              "cmake --preset dev && cmake --build --preset dev (or pass --plugin PATH, "
              "or set GRAVEL_DEVNODE_PLUGIN)")


class BrokerError(Exception):
    pass


def repo_root() -> str:
    """The repository this dev node lives in (devnode/ is one level below it)."""
    return os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def installed_plugin() -> str:
    """Where the gravel-devnode package puts the plugin: <prefix>/lib/<multiarch>/gravel-devnode/,
    beside this program's <prefix>/lib/gravel-devnode/ (the multiarch folder is this Python's,
    the architecture of the mosquitto that loads the plugin)."""
    libdir = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    return os.path.join(libdir, multiarch, "gravel-devnode", PLUGIN_FILE)


def find_plugin(explicit: Optional[str]) -> str:
    """The plugin to load: --plugin, $GRAVEL_DEVNODE_PLUGIN, the newest build of the repository
    this program is in, the installed one."""
    for chosen, what in ((explicit, "--plugin"), (os.environ.get("GRAVEL_DEVNODE_PLUGIN"), "GRAVEL_DEVNODE_PLUGIN")):
        if chosen:
            if not os.path.isfile(chosen):
                raise BrokerError(f"{what} names {chosen}, which is not a file")
            return os.path.abspath(chosen)
    if os.path.isfile(os.path.join(repo_root(), "devnode", "CMakeLists.txt")):
        built = glob.glob(os.path.join(repo_root(), "build", "*", "devnode", PLUGIN_FILE))
        if built:
            return max(built, key=os.path.getmtime)
    installed = installed_plugin()
    if os.path.isfile(installed):
        return installed
    raise BrokerError(f"no broker plugin {PLUGIN_FILE} found (nor {installed}); {BUILD_HINT}")


def find_mosquitto() -> str:
    found = shutil.which("mosquitto") or next(
        (p for p in ("/usr/sbin/mosquitto", "/usr/local/sbin/mosquitto") if os.access(p, os.X_OK)), None)
    if not found:
        raise BrokerError("mosquitto is not installed (apt-get install mosquitto)")
    return found


def free_port() -> int:
    """A TCP port of 127.0.0.1 that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def config_text(paths: NodePaths, port: int, plugin: str) -> str:
    lines = [
        "# gravel dev node broker, written by gravel-devnode up",
        "per_listener_settings false",
        "allow_anonymous false",
        "persistence false",
        f"listener {port} 127.0.0.1",
        f"cafile {paths.ca_cert}",
        f"certfile {paths.server_cert}",
        f"keyfile {paths.server_key}",
        f"plugin {plugin}",
        f"plugin_opt_credentials_file {paths.credentials}",
        f"log_dest file {paths.broker_log}",
        "log_type error",
        "log_type warning",
        "log_type notice",
        "log_type information",
        "connection_messages true",
    ]
    # Without it, a message sent right after another to the same client waits for that
    # client's delayed ACK (about 40 ms): command round trips would measure the TCP stack.
    lines.append("set_tcp_nodelay true")
    if os.geteuid() == 0:
        # Started as root, mosquitto would switch to the user "mosquitto", which cannot read
        # the node's private directory: stay root.
        lines.append("user root")
    return "\n".join(lines) + "\n"


def write_config(paths: NodePaths, port: int, plugin: str) -> None:
    os.makedirs(paths.broker_dir, mode=0o700, exist_ok=True)
    with open(paths.broker_conf, "w", encoding="utf-8") as f:
        f.write(config_text(paths, port, plugin))


def start(paths: NodePaths) -> subprocess.Popen:
    """Start mosquitto on the written config; its output goes to the broker log."""
    return process.start_detached([find_mosquitto(), "-c", paths.broker_conf], paths.broker_log)


def is_running(node: NodeState) -> bool:
    return process.is_running(node.broker_pid, NodePaths(node.dir).broker_conf)


def stop(node: NodeState, kill: bool = False) -> bool:
    return process.stop(node.broker_pid, NodePaths(node.dir).broker_conf, kill=kill)


def cloud_client(node: NodeState, client_id: str, timeout: float = 5.0) -> MqttClient:
    """An unconnected client with the node's cloud credentials."""
    return MqttClient("127.0.0.1", node.broker_port, NodePaths(node.dir).ca_cert, client_id,
                      node.cloud_user, node.cloud_password, timeout=timeout)


def wait_ready(node: NodeState, deadline: float, proc: Optional[subprocess.Popen] = None) -> None:
    """Wait until the broker completes TLS and MQTT CONNECT with the cloud credentials.

    That proves the listener, the certificates and the plugin (which alone can accept the
    cloud user). Raises BrokerError when the broker exits, refuses, or the deadline passes.
    """
    last = "no answer yet"
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            raise BrokerError(f"mosquitto exited with status {proc.returncode}")
        client = cloud_client(node, "devnode-ready-%d" % os.getpid(),
                              timeout=max(0.2, min(2.0, deadline - time.monotonic())))
        try:
            client.connect()
            client.disconnect()
            return
        except ConnectRefused as e:
            raise BrokerError(f"the broker refused the node's cloud client ({e}); is {node.plugin} "
                              "the gravel dev node plugin?") from None
        except (OSError, MqttError) as e:
            last = str(e) or type(e).__name__
        time.sleep(0.1)
    raise BrokerError(f"the broker did not accept the cloud client in time ({last})")


def log_tail(paths: NodePaths, lines: int = 20) -> str:
    try:
        with open(paths.broker_log, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 16384))
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return "(no broker log)"
    return "\n".join(text.splitlines()[-lines:])
