"""A minimal loopback HTTP server for the component figures: answers every
request with an empty 200 and closes, and keeps the last body it received in
a file beside the system's temporary files, for the byte-identity check.

    python bench/minimal_server.py PORT      (prints "ready" once it listens)"""
import os
import re
import socket
import sys
import tempfile
import urllib.parse
from pathlib import Path

LAST_BODY = os.path.join(tempfile.gettempdir(), "zelmo-bench-minimal-{}.body")


def last_body(url):
    """The last body the server at `url` received."""
    return Path(LAST_BODY.format(urllib.parse.urlsplit(url).port)).read_bytes()


def serve(port):
    listener = socket.create_server(("127.0.0.1", port))
    print("ready", flush=True)
    while True:
        conn, _ = listener.accept()
        data = b""
        while b"\r\n\r\n" not in data:
            data += conn.recv(65536)
        head, body = data.split(b"\r\n\r\n", 1)
        length = int(re.search(rb"(?i)content-length: (\d+)", head).group(1))
        while len(body) < length:
            body += conn.recv(65536)
        if body:
            Path(LAST_BODY.format(port)).write_bytes(body)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
        conn.close()


if __name__ == "__main__":
    serve(int(sys.argv[1]))
