#!/usr/bin/env python3
"""The maker's web host as the update test needs it: HTTPS on one address,
serving files from a directory, with every connection and request logged.

    manifest_server.py --cert C --key K --root DIR --log FILE --ready FILE --newer-version V
                       [--address A] [--port P]

The log gets one line per event, flushed at once, so the test program (which
reads it through Wine's Z: drive) sees it while the server runs:

    CONNECT                                 a TCP connection was accepted
    TLS-FAILED <reason>                     its handshake did not complete
    NO-REQUEST                              it closed before sending a request
    GET <path> <status> host=<Host> agent=<User-Agent>

A missing file is answered 404 with a body that looks like a manifest naming
V, a version newer than Orbel's, so a client that reads bodies of failed
requests shows it.
The ready file is written once the socket listens.
"""

import argparse
import http.server
import os
import socket
import ssl
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--newer-version", required=True)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=443)
    args = parser.parse_args()

    log = open(args.log, "a", buffering=1, encoding="utf-8")

    def record(line):
        log.write(line + "\n")
        log.flush()

    root = os.path.realpath(args.root)
    not_found_body = f'{{"windows": "{args.newer_version}"}}\n'.encode()

    class Handler(http.server.BaseHTTPRequestHandler):
        # HTTP/1.0: one request per connection, so the client pools nothing.
        protocol_version = "HTTP/1.0"

        def handle_one_request(self):
            self.raw_requestline = b""
            super().handle_one_request()
            if not self.raw_requestline:
                record("NO-REQUEST")

        def do_GET(self):
            path = self.path.split("?", 1)[0]
            file = os.path.realpath(os.path.join(root, path.lstrip("/")))
            body = None
            if file.startswith(root + os.sep) and os.path.isfile(file):
                with open(file, "rb") as f:
                    body = f.read()
            status = 200 if body is not None else 404
            record(f"GET {self.path} {status} host={self.headers.get('Host', '')} "
                   f"agent={self.headers.get('User-Agent', '')}")
            if body is None:
                body = not_found_body
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, format, *args):  # noqa: A002 - the base class's name
            pass

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)

    class Server(http.server.HTTPServer):
        def get_request(self):
            sock, address = self.socket.accept()
            record("CONNECT")
            sock.settimeout(15)
            try:
                return context.wrap_socket(sock, server_side=True), address
            except (ssl.SSLError, OSError) as error:
                record(f"TLS-FAILED {getattr(error, 'reason', None) or error}")
                sock.close()
                raise  # socketserver drops a request whose accept raised OSError

        def handle_error(self, request, client_address):
            record(f"ERROR {sys.exc_info()[1]}")

    server = Server((args.address, args.port), Handler, bind_and_activate=False)
    server.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.server_bind()
    server.server_activate()
    with open(args.ready, "w", encoding="utf-8") as f:
        f.write(f"{os.getpid()}\n")
    server.serve_forever()


if __name__ == "__main__":
    main()
