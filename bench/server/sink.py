#!/usr/bin/env python3
"""Baseline for uploads: a plain loopback HTTP sink that writes each request
body to a file, in 1 MiB pieces, and syncs it to disk before answering (the
same durability the backup server gives its uploads).

Usage: sink.py PORT_FILE OUTPUT_FILE  (listens on 127.0.0.1, a free port)
"""
import http.server
import os
import sys


class Sink(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        remaining = int(self.headers["Content-Length"])
        buffer = bytearray(1 << 20)
        view = memoryview(buffer)
        with open(self.server.output, "wb") as out:
            while remaining > 0:
                got = self.rfile.readinto(view[: min(remaining, len(buffer))])
                if not got:
                    break
                out.write(view[:got])
                remaining -= got
            out.flush()
            os.fsync(out.fileno())
        answer = b"OK\n"
        self.send_response(200 if remaining == 0 else 400)
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

    def log_message(self, *args):
        pass


def main():
    server = http.server.HTTPServer(("127.0.0.1", 0), Sink)
    server.output = sys.argv[2]
    with open(sys.argv[1], "w") as port_file:
        port_file.write(str(server.server_address[1]))
    server.serve_forever()


if __name__ == "__main__":
    main()
