#!/usr/bin/env python3
"""A hostile HTTP proxy for the HTTPS tests: it answers every request,
CONNECT included, with a status of its choosing and a forged body, and never
opens a tunnel. Each request line is logged, one a line.

Usage: hostile-proxy.py --status N --port-file FILE --log FILE [--port N]
                        [--location URL] [--forge]
It also stands in for a service that redirects (--status 302 --location).
With --forge the body is a well-formed answer envelope holding an update
check answer (notification 7, message "forged") for every possible request
id, as an attacker who cannot read the request would send.
"""
import argparse
import os
import socket
import socketserver
import struct

FORGED = b"\x00\x01forged answer from the path, not from the service\n"


def spray():
    # Envelope version 1, then one answer block (type 0x8100) per id: id,
    # a short, an empty string, the message length and the message.
    message = b"\x08\x07\x12\x06forged"
    parts = [struct.pack(">H", 1)]
    for request_id in range(65536):
        data = struct.pack(">HHHI", request_id, 0, 0, len(message)) + message
        parts.append(struct.pack(">IH", len(data), 0x8100) + data)
    return b"".join(parts)


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 65536:
            data = self.request.recv(4096)
            if not data:
                return
            head += data
        line = head.split(b"\r\n", 1)[0].decode("latin-1")
        with open(self.server.log, "a") as log:
            log.write(line + "\n")
        status = self.server.status
        extra = b""
        if 300 <= status < 400:
            extra = b"Location: %s\r\n" % self.server.location.encode()
        if status == 407:
            extra = b'Proxy-Authenticate: Basic realm="hostile"\r\n'
        self.wfile.write(b"HTTP/1.1 %d Hostile\r\n%sContent-Type: application/octet-stream\r\n"
                         b"Content-Length: %d\r\nConnection: close\r\n\r\n%s"
                         % (status, extra, len(self.server.body), self.server.body))


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--status", type=int, required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--location", default="http://127.0.0.1:1/elsewhere")
    parser.add_argument("--forge", action="store_true")
    args = parser.parse_args()
    server = Server(("127.0.0.1", args.port), Handler)
    server.status = args.status
    server.log = args.log
    server.location = args.location
    server.body = spray() if args.forge else FORGED
    open(args.log, "a").close()
    temporary = args.port_file + ".tmp"
    with open(temporary, "w") as out:
        out.write("%d\n" % server.server_address[1])
    os.rename(temporary, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
