#!/usr/bin/env python3
"""Baseline for downloads: Python's static file server on a free loopback port.

Usage: static.py PORT_FILE FOLDER
"""
import functools
import http.server
import sys


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def main():
    handler = functools.partial(Quiet, directory=sys.argv[2])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    with open(sys.argv[1], "w") as port_file:
        port_file.write(str(server.server_address[1]))
    server.serve_forever()


if __name__ == "__main__":
    main()
