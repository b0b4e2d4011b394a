#!/usr/bin/env python3
"""A timestamp authority on the loopback for the signing test: answers each
RFC 3161 request (an HTTP POST) with `openssl ts -reply`, signed by a test
TSA certificate.

    timestamp_responder.py OPENSSL_TS_CONFIG PORT_FILE MAX_REQUESTS LIFETIME_S

Listens on 127.0.0.1 on a free port, which it writes to PORT_FILE once it
accepts connections, and stops by itself after MAX_REQUESTS answers or
LIFETIME_S seconds, whichever comes first."""
import subprocess
import sys
import tempfile
import time
from http.server import BaseHTTPRequestHandler, HTTPServer
from pathlib import Path

REQUEST_TYPE = "application/timestamp-query"
REPLY_TYPE = "application/timestamp-reply"
# How often the loop looks at the clock while no request comes.
POLL_S = 1


def main(config, port_file, max_requests, lifetime_s):
    requests = []

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            requests.append(self.path)
            query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            with tempfile.TemporaryDirectory(prefix="orbel-tsa.") as work:
                query_file = Path(work) / "query.tsq"
                reply_file = Path(work) / "reply.tsr"
                query_file.write_bytes(query)
                answered = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", config, "-queryfile", str(query_file),
                     "-out", str(reply_file)], capture_output=True)
                if answered.returncode != 0 or self.headers.get("Content-Type") != REQUEST_TYPE:
                    sys.stderr.write(answered.stderr.decode(errors="replace"))
                    self.send_error(400)
                    return
                reply = reply_file.read_bytes()
            self.send_response(200)
            self.send_header("Content-Type", REPLY_TYPE)
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, format, *args):
            sys.stderr.write("timestamp responder: " + format % args + "\n")

    server = HTTPServer(("127.0.0.1", 0), Handler)
    server.timeout = POLL_S
    Path(port_file).write_text(str(server.server_address[1]))
    deadline = time.monotonic() + lifetime_s
    while len(requests) < max_requests and time.monotonic() < deadline:
        server.handle_request()
    server.server_close()


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
