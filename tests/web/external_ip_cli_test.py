#!/usr/bin/env python3
"""tolvane-cli external-ip against an independent server (Python's http.server on 127.0.0.1).

Usage: external_ip_cli_test.py PATH_TO_TOLVANE_CLI. Prints 'N passed, N failed' and exits non-zero on a failure.
"""
import http.server
import json
import subprocess
import sys
import threading

PAGES = {
    "/title": (200, b"<html><head><title>Your IP address is 203.0.113.7</title></head><body></body></html>", None),
    "/plain": (200, b"198.51.100.23\n", None),
    "/to-title": (302, b"", "/title"),
    "/to-plain": (301, b"", "plain"),
    "/private": (200, b"<title>192.168.1.20</title>", None),
    "/none": (200, b"<title>no address here</title><body>2 visitors today</body>", None),
}


class Handler(http.server.BaseHTTPRequestHandler):
    hits = {}

    def do_GET(self):
        Handler.hits[self.path] = Handler.hits.get(self.path, 0) + 1
        status, body, location = PAGES.get(self.path, (404, b"not found", None))
        self.send_response(status)
        if location:
            self.send_header("Location", location)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    cli = sys.argv[1]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    port = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    passed = failed = 0

    def check(name, path, rc_want, out_want, retries_want=None):
        nonlocal passed, failed
        run = subprocess.run([cli, "external-ip", "--url", f"http://127.0.0.1:{port}{path}", "--retry-delay-ms", "100"],
                             capture_output=True, text=True, timeout=60)
        events = [json.loads(line) for line in run.stderr.splitlines() if line.startswith("{")]
        retries = [e for e in events if e["event"] == "retry"]
        ok = run.returncode == rc_want and run.stdout == out_want
        if retries_want is not None:
            ok = ok and [(e["error"], e["again"]) for e in retries] == retries_want
        if ok:
            passed += 1
        else:
            failed += 1
            print(f"FAIL {name}: rc={run.returncode} stdout={run.stdout!r} stderr={run.stderr!r}")

    check("title", "/title", 0, "203.0.113.7\n")
    check("plain text", "/plain", 0, "198.51.100.23\n")
    check("redirect to title", "/to-title", 0, "203.0.113.7\n")
    check("relative redirect to plain text", "/to-plain", 0, "198.51.100.23\n")
    check("private address", "/private", 1, "")
    check("no address", "/none", 1, "")
    check("404 after the retries", "/missing", 1, "", [(404, True), (404, True), (404, True), (404, False)])
    if Handler.hits.get("/missing") != 4:
        failed += 1
        print(f"FAIL 404 attempts: {Handler.hits.get('/missing')}")
    bad = subprocess.run([cli, "external-ip", "--url", "ftp://127.0.0.1/"], capture_output=True, text=True, timeout=60)
    if bad.returncode == 2 and bad.stderr:
        passed += 1
    else:
        failed += 1
        print(f"FAIL bad url: rc={bad.returncode}")
    server.shutdown()
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
