"""A loopback HTTP service that receives feed batches like the front end's.

Each POST carries a form with one field per feed kind, each field the JSON
text of a list of records.  The service stores every record per kind in the
front end's SQLite database and keeps the raw requests in memory for tests.

Only a 2xx answer delivers a batch, so only batches answered 2xx are stored.
For fault tests it can answer with a chosen status (`status`, with a
`Location` header when `location` is set), answer slowly (`delay`, seconds
before the reply), drip its reply (`drip`, seconds between its bytes), or be
stopped and started again on the same port.  `attempts` counts every post.

    python -m zelmo_frontend --db front.db [--port 10300]
"""
import argparse
import json
import sqlite3
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from .schema import create_schema

DEFAULT_PORT = 10300
FEED_PATH = "/api/v1/feedgroup"


class ReceivedPost:
    def __init__(self, path, headers, body):
        self.path = path
        self.headers = headers
        self.body = body
        self.fields = {k: json.loads(v[0]) for k, v in
                       urllib.parse.parse_qs(body.decode("ascii"), keep_blank_values=True).items()}


class _Handler(BaseHTTPRequestHandler):
    def do_POST(self):
        service = self.server.service
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length)
        with service._lock:
            service.attempts += 1
        if service.delay:
            time.sleep(service.delay)
        status = service.status
        if self.path != FEED_PATH:
            status = 404
        elif 200 <= status < 300:
            service._store(ReceivedPost(self.path, dict(self.headers), body))
        reason = self.responses.get(status, ("Status",))[0]
        reply = "HTTP/1.1 {} {}\r\nContent-Length: 2\r\n".format(status, reason)
        if service.location:
            reply += "Location: {}\r\n".format(service.location)
        reply = (reply + "\r\nok").encode("ascii")
        if service.drip:
            for i in range(len(reply)):
                self.wfile.write(reply[i:i + 1])
                self.wfile.flush()
                time.sleep(service.drip)
        else:
            self.wfile.write(reply)

    def log_message(self, *args):
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that gave up waiting (a time-out test) is not an error here.
        import sys
        if not isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            super().handle_error(request, client_address)


class FeedService:
    def __init__(self, db_path, port=DEFAULT_PORT, host="127.0.0.1"):
        self.db_path = create_schema(db_path)
        self.host = host
        self.port = port
        self.status = 200
        self.delay = 0.0
        self.drip = 0.0
        self.location = None
        self.attempts = 0
        self.posts = []  # every accepted ReceivedPost, in arrival order
        self._lock = threading.Lock()
        self._server = None
        self._thread = None

    @property
    def url(self):
        return "http://{}:{}{}".format(self.host, self.port, FEED_PATH)

    def start(self):
        server = _Server((self.host, self.port), _Handler)
        server.service = self
        self.port = server.server_address[1]
        self._server = server
        # A short poll: stop() waits for the loop to see it, once per test.
        self._thread = threading.Thread(target=server.serve_forever, args=(0.02,), daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._thread.join()
            self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _store(self, post):
        with self._lock:
            self.posts.append(post)
            conn = sqlite3.connect(self.db_path, timeout=30)
            try:
                # Committed, not synced: a stand-in that dies loses only what
                # its own run was reading.
                conn.execute("PRAGMA synchronous = OFF")
                cur = conn.execute(
                    "INSERT INTO feed_posts (received_at, body_size, fields) VALUES (?, ?, ?)",
                    (time.time(), len(post.body), ",".join(post.fields)))
                post_id = cur.lastrowid
                conn.executemany(
                    "INSERT INTO feed_records (post_id, kind, record) VALUES (?, ?, ?)",
                    [(post_id, kind, json.dumps(record))
                     for kind, records in post.fields.items() for record in records])
                conn.commit()
            finally:
                conn.close()

    def records(self, kind):
        """Every record of `kind` received so far, in arrival order."""
        with self._lock:
            return [r for post in self.posts for r in post.fields.get(kind, ())]


def received_records(db_path, kind):
    """Records of `kind` stored in the database at `db_path`, in arrival order."""
    conn = sqlite3.connect(db_path)
    try:
        rows = conn.execute("SELECT record FROM feed_records WHERE kind = ? ORDER BY id", (kind,))
        return [json.loads(r[0]) for r in rows]
    finally:
        conn.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--db", required=True, help="front end SQLite database")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    args = parser.parse_args(argv)
    service = FeedService(args.db, port=args.port).start()
    print("feed service on {} storing into {}".format(service.url, service.db_path), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        service.stop()


if __name__ == "__main__":
    main()
