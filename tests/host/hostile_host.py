#!/usr/bin/env python3
"""A second HTTPS host beside the update host, for what nginx will not do.

    hostile_host.py <port> <tree> <cert> <key> <log>

Serves on 127.0.0.1 and ::1 (when there is an IPv6 loopback):
  /endless/...   200 with a body that never ends (no length, closed only by
                 the client), random bytes
  anything else  the file of that path under <tree>, so that a client that
                 follows the update host's redirects here would get exactly
                 what it asked for
Every request is appended to <log> as "GET <path>" before it is answered.
"""
import http.server
import os
import socket
import socketserver
import ssl
import sys
import threading
import urllib.parse


def main():
    port, tree, cert, key, log = sys.argv[1:6]
    port = int(port)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    log_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"  # the body ends when the connection does

        def log_message(self, fmt, *args):
            pass

        def do_GET(self):
            with log_lock, open(log, "a") as f:
                f.write("GET %s\n" % self.path)
            path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
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
