#!/usr/bin/env python3
"""A small receiver of qz670x-mp unit results, for trying --result-url out.

Each POST carries one unit's row as a JSON object (as `log --json` prints it, plus
"unit_uid") and the header Idempotency-Key: the unit's key. A unit may come more than once
(after a lost answer): the key says it is the same unit. The receiver keeps one line per unit
in results.jsonl and answers 201 (new), 409 (had it already) or 422 (refused for good).

    python3 result_receiver.py 8080
    qz670x-mp-cli station fw.bin --all-ports --loop --result-url http://localhost:8080/results
"""
import http.server
import json
import sys
import threading

lock = threading.Lock()
seen = set()


class Receiver(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        key = self.headers.get("Idempotency-Key", "")
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        try:
            row = json.loads(body)
        except ValueError:
            return self.answer(422, "not JSON")
        if not key or row.get("unit_uid") != key:
            return self.answer(422, "no key")
        with lock:
            if key in seen:
                return self.answer(409, "had it")
            with open("results.jsonl", "a", encoding="utf-8") as out:
                out.write(json.dumps(row) + "\n")
            seen.add(key)
        self.answer(201, "taken")

    def answer(self, status, text):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.end_headers()
        self.wfile.write((text + "\n").encode())


if __name__ == "__main__":
    try:
        with open("results.jsonl", encoding="utf-8") as kept:
            seen.update(json.loads(line)["unit_uid"] for line in kept if line.strip())
    except FileNotFoundError:
        pass
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 8080
    http.server.ThreadingHTTPServer(("", port), Receiver).serve_forever()
