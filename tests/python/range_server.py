"""An HTTP server of one folder on 127.0.0.1 that serves Range requests (http.server does not), run
by the tests as `python range_server.py FOLDER LIFETIME`: it prints its port and stops by itself after
LIFETIME seconds. Paths under /norange/ ignore the Range header, as some servers do; paths under
/private/ need the header "X-Pyvorl: yes"; /sent answers the count of file bytes sent so far."""

import re
import sys
import time
from http.server import BaseHTTPRequestHandler, HTTPServer
from pathlib import Path

RANGE = re.compile(r"bytes=(\d+)-(\d*)$")


class Handler(BaseHTTPRequestHandler):
    folder = Path()
    sent = 0

    def do_HEAD(self):
        self.answer(body=False)

    def do_GET(self):
        self.answer(body=True)

    def answer(self, body):
        if self.path == "/sent":
            return self.reply(200, str(Handler.sent).encode(), body)
        if self.path.startswith("/private/") and self.headers.get("X-Pyvorl") != "yes":
            return self.reply(403, b"", body)
        file = self.folder / self.path.rpartition("/")[2]
        if not file.is_file():
            return self.reply(404, b"", body)
        data = file.read_bytes()
        asked = RANGE.match(self.headers.get("Range", ""))
        if asked is None or self.path.startswith("/norange/"):
            return self.reply(200, data, body, count=True)
        start = int(asked[1])
        end = min(int(asked[2]) + 1 if asked[2] else len(data), len(data))
        if start >= len(data):
            return self.reply(416, b"", body)
        extra = {"Content-Range": f"bytes {start}-{end - 1}/{len(data)}"}
        self.reply(206, data[start:end], body, count=True, extra=extra)

    def reply(self, status, data, body, count=False, extra=None):
        self.send_response(status)
        for key, value in {"Content-Length": str(len(data)), "Accept-Ranges": "bytes", **(extra or {})}.items():
            self.send_header(key, value)
        self.end_headers()
        if body:
            self.wfile.write(data)
            Handler.sent += len(data) if count else 0

    def log_message(self, *args):
        pass


def main():
    Handler.folder = Path(sys.argv[1])
    deadline = time.monotonic() + float(sys.argv[2])
    server = HTTPServer(("127.0.0.1", 0), Handler)
    server.timeout = 0.2
    print(server.server_address[1], flush=True)
    while time.monotonic() < deadline:
        server.handle_request()
    server.server_close()


if __name__ == "__main__":
    main()
