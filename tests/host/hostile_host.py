#!/usr/bin/env python3
"""A second HTTPS host beside the update host, for what nginx will not do.

    hostile_host.py <port> <tree> <cert> <key> <log>

Serves on 127.0.0.1 and ::1 (when there is an IPv6 loopback):
  /endless/...   200 with a body that never ends (no length, closed only by
                 the client), random bytes
  /flaky/<mode>/<path>
                 the file <path> under <tree>, with byte ranges ("bytes=N-"
                 and "bytes=N-M" give 206), faulty on every odd request for
                 that URL (the first, third, ...); modes:
                   ok          never faulty
                   slow        never faulty, sent at about 256 KiB/s
                   drop        the headers and half of the body, then the
                               connection is closed
                   503         "503 Service Unavailable"
                   wrongstart  a 206 to a range request that starts one
                               byte after the byte asked for (and its body)
                   whole       a 200 with the whole body to a range request,
                               the first time that range is asked for (a
                               cache that does not hold it yet)
  anything else  the file of that path under <tree>, so that a client that
                 follows the update host's redirects here would get exactly
                 what it asked for
Every request is appended to <log> as "GET <path>" before it is answered,
except the /flaky/ ones: those go to <log> with "-flaky" before its
extension as "GET <path> <range or -> inflight=<requests being answered>
fault=<0|1>", and again as "END <path> <bytes sent>" when answered.
"""
import http.server
import os
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse


def main():
    port, tree, cert, key, log = sys.argv[1:6]
    port = int(port)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    log_lock = threading.Lock()
    flaky_log = os.path.splitext(log)[0] + "-flaky" + os.path.splitext(log)[1]
    flaky_state = {"inflight": 0, "seen": {}}

    def flaky_line(text):
        with log_lock, open(flaky_log, "a") as f:
            f.write(text + "\n")

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"  # the body ends when the connection does

        def log_message(self, fmt, *args):
            pass

        def flaky(self, path):
            mode, _, rest = path[len("/flaky/"):].partition("/")
            asked = self.headers.get("Range")
            key = self.path + ("|" + (asked or "") if mode == "whole" else "")
            with log_lock:
                seen = flaky_state["seen"].get(key, 0) + 1
                flaky_state["seen"][key] = seen
                flaky_state["inflight"] += 1
                inflight = flaky_state["inflight"]
            fault = mode not in ("ok", "slow") and seen % 2 == 1
            flaky_line("GET %s %s inflight=%d fault=%d" % (self.path, asked or "-", inflight, int(fault)))
            sent = 0
            try:
                full = os.path.realpath(os.path.join(tree, rest))
                if not full.startswith(os.path.realpath(tree) + os.sep) or not os.path.isfile(full):
                    self.send_error(404)
                    return
                if fault and mode == "503":
                    self.send_error(503)
                    return
                with open(full, "rb") as f:
                    body = f.read()
                first, last, status = 0, len(body) - 1, 200
                if asked and asked.startswith("bytes=") and not (fault and mode == "whole"):
                    a, _, b = asked[len("bytes="):].partition("-")
                    first = int(a)
                    last = min(int(b), len(body) - 1) if b else len(body) - 1
                    status = 206
                    if first >= len(body):
                        self.send_error(416)
                        return
                    if fault and mode == "wrongstart":
                        first += 1
                self.send_response(status)
                if status == 206:
                    self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, len(body)))
                self.send_header("Content-Length", str(last - first + 1))
                self.end_headers()
                part = body[first:last + 1]
                if fault and mode == "drop":
                    part = part[:len(part) // 2]
                step = 16384
                for at in range(0, len(part), step):
                    # The wait comes before each write: once its last byte
                    # is sent a request is over, and no longer counted in
                    # flight while the client already asks the next one.
                    if mode == "slow":
                        time.sleep(step / (256.0 * 1024))
                    self.wfile.write(part[at:at + step])
                    sent += len(part[at:at + step])
                if fault and mode == "drop":
                    self.wfile.flush()
                    self.close_connection = True
                    self.connection.shutdown(socket.SHUT_RDWR)
            finally:
                with log_lock:
                    flaky_state["inflight"] -= 1
                flaky_line("END %s %d" % (self.path, sent))

        def do_GET(self):
            path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
            if path.startswith("/flaky/"):
                try:
                    self.flaky(path)
                except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
                    pass
                return
            with log_lock, open(log, "a") as f:
                f.write("GET %s\n" % self.path)
            try:
                if path.startswith("/endless/"):
                    self.send_response(200)
                    self.send_header("Content-Type", "application/octet-stream")
                    self.end_headers()
                    block = os.urandom(65536)
                    while True:
                        self.wfile.write(block)
                full = os.path.realpath(os.path.join(tree, path.lstrip("/")))
                if not full.startswith(os.path.realpath(tree) + os.sep) or not os.path.isfile(full):
                    self.send_error(404)
                    return
                with open(full, "rb") as f:
                    body = f.read()
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
            except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
                pass

    class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
        daemon_threads = True
        allow_reuse_address = True

        def get_request(self):
            sock, addr = self.socket.accept()
            return context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr

        def handle_error(self, request, client_address):
            pass

    class Server6(Server):
        address_family = socket.AF_INET6

    servers = [Server(("127.0.0.1", port), Handler)]
    try:
        servers.append(Server6(("::1", port), Handler))
    except OSError:
        pass  # no IPv6 loopback here
    for s in servers[1:]:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    servers[0].serve_forever()


if __name__ == "__main__":
    main()
