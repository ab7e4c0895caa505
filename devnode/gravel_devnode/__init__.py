"""gravel-devnode: a local edge node for module developers.

One command starts what a module talks to on a real node: an MQTT broker over TLS whose
authentication plugin checks module credentials, the node's hub over HTTPS and, optionally,
its local daemon over a unix socket. See ``gravel-devnode --help``.
"""
