"""A module's work dir on the dev node, and its environment file.

DIR/modules/<id>/ holds what the kit expects of a work dir: conf/rootcert.pem (the node's CA),
conf/sdk_log.conf (INFO and up to the console, DEBUG and up to log/sdk.log), conf/module.dat
(the module's half of the env key) and an empty log/. module.env beside it is a shell file of
KEY=VALUE lines that tells the module where its node is and how to bind.
"""
from __future__ import annotations

import os
import secrets
import shutil
import string

from .state import Module, NodePaths, NodeState, atomic_write

_B64 = string.ascii_uppercase + string.ascii_lowercase + string.digits + "+/"

LOG_CONF = """[global]
strict init = true
file perms = 600

[formats]
console = "%d(%T).%ms %-5V [%f:%L] %m%n"
full    = "%d(%F %T).%ms %-5V [%f:%L] %m%n"

[rules]
sdk_rule.INFO    >stdout; console
sdk_rule.DEBUG   "{work}/log/sdk.log", 1MB * 3; full
"""


def module_dat() -> str:
    """12 characters: 10 of the base64 alphabet, one of A Q g w, then "=".

    Interleaved with the kit's built-in half they make the base64 text of a 16-byte key, which
    ends in "==": the character before them carries 2 bits, so only A, Q, g and w fit there.
    """
    return "".join(secrets.choice(_B64) for _ in range(10)) + secrets.choice("AQgw") + "="


def env_lines(node: NodeState, module: Module) -> list[str]:
    paths = NodePaths(node.dir)
    lines = [
        f"GRAVEL_WORK_DIR={paths.module_dir(module.module_id)}",
        f"GRAVEL_MODULE_ID={module.module_id}",
        f"GRAVEL_DEVICE_ID={module.device_id}",
        "GRAVEL_HUB_HOST=127.0.0.1",
        f"GRAVEL_HUB_PORT={node.hub_port}",
        "GRAVEL_BROKER_HOST=127.0.0.1",
        f"GRAVEL_BROKER_PORT={node.broker_port}",
    ]
    if node.daemon:
        # The kit reads these two itself, in lower case.
        lines += [f"daemon_verify_code={module.daemon_verify_code}", f"daemon_uri=unix:{paths.daemon_sock}"]
    else:
        lines.append(f"GRAVEL_VERIFY_CODE={module.verify_code}")
    return lines


def prepare(node: NodeState) -> None:
    """Make or refresh every module's work dir and env file, and DIR/module.env (the first's)."""
    paths = NodePaths(node.dir)
    for i, module in enumerate(node.modules):
        work = paths.module_dir(module.module_id)
        os.makedirs(os.path.join(work, "conf"), mode=0o700, exist_ok=True)
        os.makedirs(os.path.join(work, "log"), mode=0o700, exist_ok=True)
        shutil.copyfile(paths.ca_cert, os.path.join(work, "conf", "rootcert.pem"))
        atomic_write(os.path.join(work, "conf", "sdk_log.conf"), LOG_CONF.format(work=work).encode())
        dat = os.path.join(work, "conf", "module.dat")
        if not os.path.isfile(dat):  # kept across runs: the module's key store depends on it
            atomic_write(dat, module_dat().encode(), 0o600)
        text = ("\n".join(env_lines(node, module)) + "\n").encode()
        atomic_write(paths.module_env_of(module.module_id), text, 0o600)
        if i == 0:
            atomic_write(paths.module_env, text, 0o600)
