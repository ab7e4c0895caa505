"""The MQTT topics of a module, as the kit uses them.

A module's own topics start with /modules/<id>/, its traffic with the cloud side with
$qx/modules/<id>/. A command arrives on .../sys/commands/request_id=<rid> and its answer goes to
.../sys/commands/response/request_id=<rid>.
"""
from __future__ import annotations


def command_topic(module_id: str, request_id: str) -> str:
    return f"$qx/modules/{module_id}/sys/commands/request_id={request_id}"


def response_topic(module_id: str, request_id: str) -> str:
    return f"$qx/modules/{module_id}/sys/commands/response/request_id={request_id}"


def watch_filters(module_id: str) -> list[str]:
    """Everything a module may publish falls under these two."""
    return [f"/modules/{module_id}/#", f"$qx/modules/{module_id}/#"]


def inbound_filters(module_id: str) -> list[str]:
    """What the kit subscribes for a module: messages on these go to the module, not from it."""
    own = [f"/modules/{module_id}/{t}" for t in (
        "events/notify", "shadow/notify", "messages/inputs/+", "customized/inputs/#",
        "points/set/request/+", "points/get/request/+", "h2m/request/+",
        "m2h/get_properties/response/+", "m2h/set_properties/response/+")]
    system = [f"$qx/modules/{module_id}/sys/{t}" for t in (
        "events/down", "commands/+", "messages/down", "properties/get/+", "properties/set/+",
        "shadow/get/response/+")]
    return own + system


def matches(topic_filter: str, topic: str) -> bool:
    """MQTT filter matching: "+" is one level, a final "#" any number of levels (none too)."""
    f, t = topic_filter.split("/"), topic.split("/")
    for i, level in enumerate(f):
        if level == "#":
            return i == len(f) - 1
        if i >= len(t):
            return False
        if level != "+" and level != t[i]:
            return False
    return len(f) == len(t)
