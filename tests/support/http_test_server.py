#!/usr/bin/env python3
"""A scriptable HTTP server for the kit's tests: plain HTTP or HTTPS on a free 127.0.0.1 port,
or plain HTTP on a unix-domain socket.

usage: http_test_server.py tcp
       http_test_server.py tls <certificate file> <key file>
       http_test_server.py unix <socket path>

It prints "READY <port>" (or "READY <socket path>") once it listens, then reads commands on
standard input, one per line, and answers each on standard output. Texts travel as hex ("-" for
an empty one) so that any byte can be scripted or recorded.

  RESPONSE <status> <delay ms> <piece delay ms> <drop> <length>   then, one per line,
  HEADER <hex name> <hex value>                                    extra response headers
  PIECE <hex>                                                      body pieces, in order
  END                                  -> OK   the answer to every later request
      drop:   none | before (close without answering) | mid_body (close after the first piece)
      length: auto (Content-Length of all pieces) | none (no Content-Length; the close ends it)
  REQUESTS                             -> for each request received so far, in order:
                                          REQUEST <method> <hex path>, HEADER lines, BODY <hex>;
                                          then END
  QUIT (or end of input)               -> BYE, and the server stops
"""
import http.server
import os
import socket
import socketserver
import ssl
import sys
import threading
import time

# Bounds every read and write on a connection, so a stuck client cannot hold a thread forever.
CONNECTION_TIMEOUT = 10.0


def unhex(text):
    return b"" if text == "-" else bytes.fromhex(text)


def hexed(data):
    if isinstance(data, str):
        data = data.encode("latin-1")
    return data.hex() if data else "-"


class Script:
    """The answer given to requests, and what the requests were. Shared by handler threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.response = {"status": 200, "delay": 0, "piece_delay": 0, "drop": "none",
                         "length": "auto", "headers": [], "pieces": []}
        self.requests = []

    def answer(self):
        with self.lock:
            return self.response

    def record(self, request):
        with self.lock:
            self.requests.append(request)


SCRIPT = Script()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = CONNECTION_TIMEOUT

    def address_string(self):  # a unix socket peer has no address
        return "client"

    def log_message(self, *args):  # keep the tests' output clean
        pass

    def serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        SCRIPT.record((self.command, self.path, list(self.headers.items()), body))
        r = SCRIPT.answer()
        if r["delay"]:
            time.sleep(r["delay"] / 1000.0)
        self.close_connection = True
        if r["drop"] == "before":
            return
        payload = b"".join(r["pieces"])
        self.send_response(r["status"])
        for name, value in r["headers"]:
            self.send_header(name.decode("latin-1"), value.decode("latin-1"))
        if r["length"] == "auto":
            self.send_header("Content-Length", str(len(payload)))
        self.send_header("Connection", "close")
        self.end_headers()
        for i, piece in enumerate(r["pieces"]):
            if i > 0 and r["piece_delay"]:
                time.sleep(r["piece_delay"] / 1000.0)
            self.wfile.write(piece)
            self.wfile.flush()
            if r["drop"] == "mid_body":
                return

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = serve


class TcpServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True


class TlsServer(TcpServer):
    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, so a client that refuses the
        # certificate (or stalls) never blocks the accepting loop.
        request.settimeout(CONNECTION_TIMEOUT)
        try:
            conn = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            self.RequestHandlerClass(conn, client_address, self)
        except (ssl.SSLError, OSError):
            pass
        finally:
            conn.close()


class UnixServer(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    daemon_threads = True


def read_response(stdin, head):
    _, status, delay, piece_delay, drop, length = head
    response = {"status": int(status), "delay": int(delay), "piece_delay": int(piece_delay),
                "drop": drop, "length": length, "headers": [], "pieces": []}
    for line in stdin:
        words = line.split()
        if words[0] == "END":
            break
        if words[0] == "HEADER":
            response["headers"].append((unhex(words[1]), unhex(words[2])))
        elif words[0] == "PIECE":
            response["pieces"].append(unhex(words[1]))
    return response


def main():
    mode = sys.argv[1]
    if mode == "unix":
        path = sys.argv[2]
        server = UnixServer(path, Handler)
        where = path
    elif mode == "tls":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        server = TlsServer(("127.0.0.1", 0), Handler, context)
        where = str(server.server_address[1])
    else:
        server = TcpServer(("127.0.0.1", 0), Handler)
        where = str(server.server_address[1])
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    out = sys.stdout
    out.write("READY %s\n" % where)
    out.flush()
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "RESPONSE":
            response = read_response(sys.stdin, words)
            with SCRIPT.lock:
                SCRIPT.response = response
            out.write("OK\n")
        elif words[0] == "REQUESTS":
            with SCRIPT.lock:
                requests = list(SCRIPT.requests)
            for method, path, headers, body in requests:
                out.write("REQUEST %s %s\n" % (method, hexed(path)))
                for name, value in headers:
                    out.write("HEADER %s %s\n" % (hexed(name), hexed(value)))
                out.write("BODY %s\n" % hexed(body))
            out.write("END\n")
        elif words[0] == "QUIT":
            break
        out.flush()
    server.shutdown()
    server.server_close()
    if mode == "unix":
        try:
            os.unlink(where)
        except OSError:
            pass
    out.write("BYE\n")
    out.flush()


if __name__ == "__main__":
    main()
