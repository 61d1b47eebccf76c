"""The front end's SQLite tables.

`algorithms` and `backtests` are what the mod registers runs in; the
`feed_*` tables hold what the feed service received.
"""
import os
import sqlite3

SCHEMA = """
CREATE TABLE IF NOT EXISTS algorithms (
    id INTEGER PRIMARY KEY,
    name TEXT,
    securities TEXT,
    code TEXT,
    config TEXT,
    last_modified TEXT
);
CREATE TABLE IF NOT EXISTS backtests (
    id INTEGER PRIMARY KEY,
    algorithm_id INTEGER,
    config TEXT,
    state TEXT,
    comment TEXT,
    time_spent INTEGER,
    uuid TEXT,
    code TEXT,
    exception TEXT
);
CREATE TABLE IF NOT EXISTS feed_posts (
    id INTEGER PRIMARY KEY,
    received_at REAL,
    body_size INTEGER,
    fields TEXT
);
CREATE TABLE IF NOT EXISTS feed_records (
    id INTEGER PRIMARY KEY,
    post_id INTEGER REFERENCES feed_posts(id),
    kind TEXT,
    record TEXT
);
"""


def create_schema(path):
    """Creates the front end's tables in the SQLite file at `path`."""
    directory = os.path.dirname(path)
    if directory:
        os.makedirs(directory, exist_ok=True)
    with sqlite3.connect(path) as conn:
        conn.executescript(SCHEMA)
    conn.close()
    return path
