#!/usr/bin/env python3
"""A tiny collecting server that keeps every message it receives in SQLite.

Usage: scripts/sqlite-collector.py DATABASE [PORT]   (PORT 0, the default, takes a free one)

It listens on 127.0.0.1, takes keep-open messages (each ended by CR LF) and close-after-send
ones (a connection's whole content), and stores each as a row of the table messages(id,
station, message) through the sqlite3 shell, the message without its CR LF. It prints
"collector listening on PORT" when it is ready and runs until it is stopped (SIGINT, SIGTERM).
Check what it kept against a plan:

  sqlite3 -csv -header DATABASE 'select station, message from messages order by id' |
      vandry-receiver --read - --column message --expect plan.txt
"""
import asyncio
import signal
import subprocess
import sys


def quoted(text):
    return "'" + text.replace("'", "''") + "'"


class Store:
    """The sqlite3 shell, fed one INSERT per message on its standard input."""

    # A reader of the database (a check while the collector runs) holds a lock for a moment:
    # the shell waits for it instead of failing the statement.
    BUSY_TIMEOUT = ".timeout 10000"

    def __init__(self, path):
        # The table exists before the collector says it listens.
        subprocess.run(["sqlite3", path, self.BUSY_TIMEOUT, "PRAGMA journal_mode=WAL;",
                        "CREATE TABLE IF NOT EXISTS messages "
                        "(id INTEGER PRIMARY KEY, station TEXT, message TEXT);"],
                       check=True, stdout=subprocess.DEVNULL)
        self.shell = subprocess.Popen(["sqlite3", path], stdin=subprocess.PIPE, text=True,
                                      encoding="utf-8", errors="surrogateescape")
        self.run(self.BUSY_TIMEOUT)

    def run(self, sql):
        self.shell.stdin.write(sql + "\n")
        self.shell.stdin.flush()

    def keep(self, message):
        text = message.decode("utf-8", "surrogateescape")
        if text.endswith("\r\n"):
            text = text[:-2]
        self.run(f"INSERT INTO messages (station, message) VALUES "
                 f"({quoted(text.split(',', 1)[0])}, {quoted(text)});")

    def close(self):
        self.shell.stdin.close()
        self.shell.wait()


async def main():
    if len(sys.argv) not in (2, 3) or sys.argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        sys.exit(0 if len(sys.argv) == 2 else 2)
    store = Store(sys.argv[1])

    async def serve(reader, writer):
        pending = b""
        while chunk := await reader.read(65536):
            pending += chunk
            while (end := pending.find(b"\r\n")) >= 0:
                store.keep(pending[:end + 2])
                pending = pending[end + 2:]
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


if __name__ == "__main__":
    asyncio.run(main())
