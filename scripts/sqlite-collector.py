#!/usr/bin/env python3
"""A tiny collecting server that keeps every message it receives in SQLite.

Usage: scripts/sqlite-collector.py DATABASE [PORT]   (PORT 0, the default, takes a free one)

It listens on 127.0.0.1, takes keep-open messages (each ended by CR LF) and close-after-send
ones (a connection's whole content), and stores each as a row of the table messages(id,
station, message), the message without its CR LF and its bytes as they came (a NUL byte
included). It prints "collector listening on PORT" when it is ready and runs until it is
stopped (SIGINT, SIGTERM); then it says how many messages it stored, how many it could not
store and how many connections were reset. Check what it kept against a plan:

  sqlite3 -csv -header DATABASE 'select station, message from messages order by id' |
      vandry-receiver --read - --column message --expect plan.txt
"""
import asyncio
import signal
import sqlite3
import sys


def counted(n, thing):
    return f"{n} {thing}{'' if n == 1 else 's'}"


class Store:
    """The database, one row per message, each stored by itself."""

    # A reader of the database (a check while the collector runs) holds a lock for a moment:
    # a statement waits for it (seconds) instead of failing.
    BUSY_TIMEOUT = 10

    def __init__(self, path):
        # Autocommit: every row is in the database once it is kept.
        self.db = sqlite3.connect(path, timeout=self.BUSY_TIMEOUT, isolation_level=None)
        # The table exists before the collector says it listens.
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("CREATE TABLE IF NOT EXISTS messages "
                        "(id INTEGER PRIMARY KEY, station TEXT, message TEXT)")
        self.stored = 0
        self.refused = 0

    def keep(self, message):
        if message.endswith(b"\r\n"):
            message = message[:-2]
        # Bound as bytes and cast, the text is stored byte for byte, whatever its encoding.
        try:
            self.db.execute("INSERT INTO messages (station, message) "
                            "VALUES (CAST(? AS TEXT), CAST(? AS TEXT))",
                            (message.split(b",", 1)[0], message))
            self.stored += 1
        except sqlite3.Error as e:
            self.refused += 1
            print(f"collector: a message not stored: {e}", file=sys.stderr, flush=True)

    def close(self):
        self.db.close()


async def main():
    if len(sys.argv) not in (2, 3) or sys.argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        sys.exit(0 if len(sys.argv) == 2 else 2)
    store = Store(sys.argv[1])
    resets = 0

    async def serve(reader, writer):
        nonlocal resets
        pending = b""
        try:
            while chunk := await reader.read(65536):
                pending += chunk
                while (end := pending.find(b"\r\n")) >= 0:
                    store.keep(pending[:end + 2])
                    pending = pending[end + 2:]
        except ConnectionError:
            resets += 1  # what the reset cut short is no message
            writer.close()
            return
        if pending:
            store.keep(pending)
        writer.close()

    server = await asyncio.start_server(serve, "127.0.0.1", int(sys.argv[2]) if len(sys.argv) > 2
                                        else 0)
    print(f"collector listening on {server.sockets[0].getsockname()[1]}", flush=True)
    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        asyncio.get_running_loop().add_signal_handler(sig, stop.set)
    await stop.wait()
    server.close()
    store.close()
    print(f"collector stopped: {counted(store.stored, 'message')} stored, {store.refused} not "
          f"stored, {counted(resets, 'connection')} reset", flush=True)


if __name__ == "__main__":
    asyncio.run(main())
