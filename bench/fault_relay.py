#!/usr/bin/env python3
"""A TCP relay in front of the update host that breaks connections on purpose.

    fault_relay.py <listen port> <host port> <mode file> <log>

Listens on 127.0.0.1 and ::1 (when there is one) and passes every connection
to 127.0.0.1:<host port> untouched (TLS goes through as it is). Each new
connection reads <mode file>, one line "<kind> <percent>": that share of the
connections gets the fault, chosen at random; the others pass clean. Kinds:
  none    no fault
  reset   the connection is reset (RST) after a random number of the host's
          bytes (1 KiB .. 4 MiB)
  cut     the connection is closed (FIN) after a random number of them
  stall   the host's bytes are held for 2..8 s once, after a random number
Appends one line per connection to <log>: "<kind or ok> <bytes sent to the
client>", so a round knows how many faults it dealt.
"""
import random
import socket
import struct
import sys
import threading
import time


def main():
    listen_port, host_port, mode_file, log = sys.argv[1:5]
    listen_port, host_port = int(listen_port), int(host_port)
    log_lock = threading.Lock()

    def mode():
        try:
            kind, percent = open(mode_file).read().split()[:2]
            return kind, int(percent)
        except (OSError, ValueError):
            return "none", 0

    def serve(client):
        try:
            upstream = socket.create_connection(("127.0.0.1", host_port))
        except OSError:
            client.close()
            return
        kind, percent = mode()
        if kind == "none" or random.randrange(100) >= percent:
            kind = "ok"
        after = random.randrange(1024, 4 << 20)
        sent = [0]

        def up():
            try:
                while True:
                    data = client.recv(65536)
                    if not data:
                        break
                    upstream.sendall(data)
            except OSError:
                pass
            try:
                upstream.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        threading.Thread(target=up, daemon=True).start()
        stalled = False
        try:
            while True:
                data = upstream.recv(65536)
                if not data:
                    break
                if kind in ("reset", "cut") and sent[0] + len(data) >= after:
                    client.sendall(data[:after - sent[0]])
                    sent[0] = after
                    if kind == "reset":
                        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    break
                if kind == "stall" and not stalled and sent[0] + len(data) >= after:
                    stalled = True
                    time.sleep(random.uniform(2, 8))
                client.sendall(data)
                sent[0] += len(data)
        except OSError:
            pass
        finally:
            with log_lock, open(log, "a") as f:
                f.write("%s %d\n" % (kind, sent[0]))
            for s in (client, upstream):
                try:
                    s.close()
                except OSError:
                    pass

    def accept(server):
        while True:
            client, _ = server.accept()
            threading.Thread(target=serve, args=(client,), daemon=True).start()

    servers = []
    for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        try:
            s = socket.socket(family, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((address, listen_port))
            s.listen(128)
            servers.append(s)
        except OSError:
            pass  # no IPv6 loopback here
    if not servers:
        sys.exit("fault_relay: cannot listen on port %d" % listen_port)
    for s in servers[1:]:
        threading.Thread(target=accept, args=(s,), daemon=True).start()
    print("ready", flush=True)
    accept(servers[0])


if __name__ == "__main__":
    main()
