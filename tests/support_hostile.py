"""HTTP servers on loopback that misbehave on purpose, for the upload's worst days.

Each server reads whole requests, records them, and answers through `answer(conn)`; `stop()`
(or leaving the `with` block) cuts every connection, so nothing outlives a test. The fixture
`lock_held_elsewhere` stands for another instance that hangs while it holds the store lock.
"""

import json
import socket
import subprocess
import sys
import threading

import pytest

_BLOCK = b"x" * (1 << 20)


class RawServer:
    """A listener on 127.0.0.1 whose subclasses choose how (and whether) to answer."""

    def __init__(self):
        self._sock = socket.create_server(("127.0.0.1", 0))
        self._sock.settimeout(0.1)  # the accept loop notices stop() promptly
        self.stopping = threading.Event()
        self.arrived = threading.Event()
        self.requests = []  # (method, path, body size) of every request, in arrival order
        self._conns, self._threads = [], []

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self._sock.getsockname()[1]

    def __enter__(self):
        t = threading.Thread(target=self._accept_loop, name="hostile-accept", daemon=True)
        self._threads.append(t)
        t.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self.stopping.set()
        for conn in list(self._conns):
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            conn.close()
        for t in self._threads:
            t.join(5)
        self._sock.close()

    def _accept_loop(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self._sock.accept()
            except (TimeoutError, socket.timeout):
                continue
            except OSError:
                return
            self._conns.append(conn)
            t = threading.Thread(target=self._serve, args=(conn,), name="hostile-conn", daemon=True)
            self._threads.append(t)
            t.start()

    def _serve(self, conn):
        try:
            while self._read_request(conn):
                self.arrived.set()
                if not self.answer(conn):
                    break
        except OSError:
            pass  # the client gave up or stop() cut the connection
        finally:
            conn.close()

    def _read_request(self, conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return False
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        method, path = lines[0].split(" ")[:2]
        length = 0
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "content-length":
                length = int(value)
        while len(body) < length:
            chunk = conn.recv(65536)
            if not chunk:
                return False
            body += chunk
        self.requests.append((method, path, length))
        return True

    def answer(self, conn):
        """Answer one request; return True to keep the connection for another."""
        raise NotImplementedError

    def trickle(self, conn, data, every=0.5):
        """Send `data` one byte at a time, `every` seconds apart, until stop()."""
        for i in range(len(data)):
            if self.stopping.wait(every):
                return
            conn.sendall(data[i:i + 1])


def head(status, reason="OK", length=0, extra=()):
    lines = ["HTTP/1.1 %d %s" % (status, reason), "Content-Type: application/json",
             "Content-Length: %d" % length, *extra]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


class Answer(RawServer):
    """Answers every request at once with `status` and `body` (bytes)."""

    def __init__(self, status=200, body=b'{"ok": true}', extra=()):
        super().__init__()
        self.status, self.body, self.extra = status, body, extra

    def answer(self, conn):
        conn.sendall(head(self.status, length=len(self.body), extra=self.extra) + self.body)
        return True


class Redirect(Answer):
    """Answers with a redirect to `location`."""

    def __init__(self, status, location):
        super().__init__(status, b"", extra=["Location: " + location])


class Silent(RawServer):
    """Reads the request and never answers."""

    def answer(self, conn):
        self.stopping.wait()
        return False


class TrickleStatus(RawServer):
    """Sends its status line and then an endless header one byte every 0.5 s: each byte
    comes well within any per-operation timeout, so only a wall-clock bound ends the wait."""

    def answer(self, conn):
        self.trickle(conn, b"HTTP/1.1 200 OK\r\nX-Pad: " + _BLOCK[:60000])
        return False


class TrickleBody(RawServer):
    """Sends a 200 head at once, then a body (announced as 1 MB) one byte every 0.5 s."""

    def answer(self, conn):
        conn.sendall(head(200, length=1_000_000))
        self.trickle(conn, _BLOCK)
        return False


class Huge(RawServer):
    """A 200 whose body is `size` bytes, streamed from one small block (cheap to send)."""

    def __init__(self, size=512 << 20):
        super().__init__()
        self.size = size

    def answer(self, conn):
        conn.sendall(head(200, length=self.size))
        left = self.size
        while left > 0 and not self.stopping.is_set():
            n = min(left, len(_BLOCK))
            conn.sendall(_BLOCK[:n])
            left -= n
        return False


def json_object_of_size(n):
    """A JSON object that is exactly `n` bytes long."""
    shell = json.dumps({"pad": ""}).encode()
    return json.dumps({"pad": "x" * (n - len(shell))}).encode()


@pytest.fixture
def lock_held_elsewhere(rg):
    """Another process holding the store lock until the test ends, as a hung instance would."""
    rg._USAGE_DIR.mkdir(parents=True, exist_ok=True)
    holder = subprocess.Popen(
        [sys.executable, "-c", "import fcntl, sys\nf = open(sys.argv[1], 'a')\nfcntl.flock(f, fcntl.LOCK_EX)\n"
         "print('held', flush=True)\nsys.stdin.read()", str(rg._SESSIONS_FILE.with_suffix(".lock"))],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "held\n"
    yield
    holder.communicate(input="", timeout=30)
