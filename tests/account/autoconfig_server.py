#!/usr/bin/env python3
"""HTTPS fixture for account discovery tests: answers each request from a routes file.

The routes file is JSON: {"HOST/PATH": {"status": 200, "file": "doc.xml"} or
{"status": 302, "location": "URL"}}; HOST is the Host header without port, PATH without the
query. Anything else is 404. Every request line ("HOST PATH?QUERY") is appended to --log.
Prints "PORT <tls port>" once listening; exits when stdin closes or on SIGTERM.
"""
import argparse
import http.server
import json
import os
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
from https_fixture import Server, serve_until_stdin_closes, use_tls  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--routes", required=True)
    p.add_argument("--log", required=True)
    args = p.parse_args()
    base = os.path.dirname(os.path.abspath(args.routes))
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *a):
            pass

        def do_GET(self):
            host = (self.headers.get("Host") or "").split(":")[0].lower()
            with lock, open(args.log, "a") as log:
                log.write("%s %s\n" % (host, self.path))
            with open(args.routes) as f:
                routes = json.load(f)
            route = routes.get(host + self.path.split("?")[0])
            body = b""
            status = 404
            headers = {}
            if route:
                status = route.get("status", 200)
                if "file" in route:
                    with open(os.path.join(base, route["file"]), "rb") as f:
                        body = f.read()
                if "location" in route:
                    headers["Location"] = route["location"]
            self.send_response(status)
            self.send_header("Content-Type", "application/xml")
            self.send_header("Content-Length", str(len(body)))
            for k, v in headers.items():
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(body)

    server = Server(("127.0.0.1", 0), Handler)
    use_tls(server, args.cert, args.key)
    serve_until_stdin_closes([server], "PORT %d" % server.server_address[1])


if __name__ == "__main__":
    main()
