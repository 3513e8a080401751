"""HTTP side of the local usage collector.

Accepts ``POST /api/usage`` with header ``X-Server-Api-Key`` and an encrypted
envelope (see ``orlune.core.payload_crypto``) whose payload is::

    {"machine_id": str, "token_id": str, "plan": str, "app_version": str,
     "os": str, "tz": str,
     "sessions": [{"session_id": str, "started_at": str, "ended_at": str,
                   "duration_s": int >= 0, "ended_cleanly": bool,
                   "log_text": str (optional)}, ...]}

Answers: 200 ``{"ok": true, "stored": N}``; 401 wrong key; 400 body not JSON
or bad envelope; 422 payload of the wrong shape (naming the field, text that is
not valid Unicode included); 404 other paths; 405 other methods; 411/413
unusable body framing (413: a body over ``max_body`` bytes, as a front end with
that limit would answer). Errors are ``{"error": "..."}`` and store nothing.
"""

import datetime
import hmac
import json
import logging
import socketserver
import sys
import threading
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

from orlune.collector.store import META_KEYS, SessionStore
from orlune.core.payload_crypto import decrypt_payload

logger = logging.getLogger("orlune.collector")

USAGE_PATH = "/api/usage"
API_KEY_HEADER = "X-Server-Api-Key"
MAX_BODY = 16 * 1024 * 1024
_SQLITE_MAX_INT = 2**63 - 1


@dataclass
class Received:
    """One request as it reached the collector, recorded once its status is decided."""

    method: str
    path: str
    headers: list  # (name, value) pairs in wire order, duplicates kept
    raw_body: bytes
    envelope: object = None  # parsed JSON body, or None
    payload: object = None  # decrypted payload dict, or None
    status: int = None


def _text_problem(value, where):
    if not isinstance(value, str):
        return f"{where} must be a string"
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return f"{where} must be valid Unicode text (it holds a lone surrogate)"
    return None


def validate_payload(payload):
    """Return why ``payload`` cannot be stored, or None if it can."""
    for key in META_KEYS:
        problem = _text_problem(payload.get(key), repr(key))
        if problem:
            return problem
    sessions = payload.get("sessions")
    if not isinstance(sessions, list):
        return "'sessions' must be a list"
    for i, s in enumerate(sessions):
        where = f"sessions[{i}]"
        if not isinstance(s, dict):
            return f"{where} must be an object"
        for key in ("session_id", "started_at", "ended_at"):
            problem = _text_problem(s.get(key), f"{where}.{key}")
            if problem:
                return problem
        duration = s.get("duration_s")
        if type(duration) is not int or not 0 <= duration <= _SQLITE_MAX_INT:
            return f"{where}.duration_s must be a non-negative integer"
        if not isinstance(s.get("ended_cleanly"), bool):
            return f"{where}.ended_cleanly must be a boolean"
        if s.get("log_text") is not None:
            problem = _text_problem(s["log_text"], f"{where}.log_text")
            if problem:
                return problem
    return None


def _json_bytes(obj):
    return json.dumps(obj).encode("utf-8")


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, and lets clients use Expect: 100-continue
    server_version = "OrluneCollector/1"
    timeout = 30  # a client that stops mid-request must not pin a thread forever

    def do_POST(self):
        self._handle()

    do_GET = do_HEAD = do_PUT = do_PATCH = do_DELETE = do_OPTIONS = do_POST

    def _handle(self):
        collector = self.server.collector
        rec = Received(self.command, self.path, list(self.headers.items()), b"")
        framing_error = self._read_body(rec)
        if framing_error:
            status, body = framing_error[0], _json_bytes({"error": framing_error[1]})
        else:
            rec.envelope = self._parse_json(rec.raw_body)
            override = collector.reply_override
            if override is not None:
                status, body = self._overridden(collector, override, rec)
            else:
                status, reply = self._route(collector, rec)
                body = _json_bytes(reply)
        rec.status = status
        collector._record(rec)
        sessions = rec.payload.get("sessions") if isinstance(rec.payload, dict) else None
        logger.info("%s %s -> %d (%d sessions)", rec.method, rec.path, status,
                    len(sessions) if isinstance(sessions, list) else 0)
        self._reply(status, body)

    def _read_body(self, rec):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            self.close_connection = True
            return 411, "send the body with Content-Length, not chunked"
        length = self.headers.get("Content-Length")
        if length is None:
            return None
        if not length.strip().isdigit():
            self.close_connection = True
            return 400, "invalid Content-Length"
        if int(length) > self.server.collector.max_body:
            self.close_connection = True
            return 413, "body too large"
        rec.raw_body = self.rfile.read(int(length))
        return None

    @staticmethod
    def _parse_json(raw):
        try:
            return json.loads(raw)
        except (ValueError, UnicodeDecodeError):
            return None

    def _overridden(self, collector, override, rec):
        try:
            rec.payload = decrypt_payload(rec.envelope, collector.api_key)
        except ValueError:
            pass
        try:
            status, body, delay = override(rec)
        except Exception:
            logger.exception("reply_override failed")
            return 500, _json_bytes({"error": "reply_override failed"})
        if delay:
            collector._stopping.wait(delay)  # stop() cuts a stall short
        return status, body.encode("utf-8") if isinstance(body, str) else body

    def _route(self, collector, rec):
        if urlsplit(rec.path).path != USAGE_PATH:
            return 404, {"error": "not found"}
        if rec.method != "POST":
            return 405, {"error": "method not allowed"}
        # Header values arrive decoded as latin-1; compare the raw bytes.
        sent = self.headers.get(API_KEY_HEADER, "").encode("latin-1")
        if not hmac.compare_digest(sent, collector.api_key.encode("utf-8")):
            return 401, {"error": "invalid api key"}
        if rec.envelope is None:
            return 400, {"error": "body is not JSON"}
        try:
            rec.payload = decrypt_payload(rec.envelope, collector.api_key)
        except ValueError as exc:
            return 400, {"error": f"bad envelope: {exc}"}
        problem = validate_payload(rec.payload)
        if problem:
            return 422, {"error": problem}
        now = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")
        stored = collector._store.add(rec.payload, rec.payload["sessions"], now)
        return 200, {"ok": True, "stored": stored}

    def _reply(self, status, body):
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            if status == 405:
                self.send_header("Allow", "POST")
            if self.close_connection:
                self.send_header("Connection", "close")
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)
            self.wfile.flush()
        except OSError as exc:
            # The client gave up (e.g. its timeout fired); nothing left to tell it.
            self.close_connection = True
            logger.debug("client %s went away before the reply: %s", self.client_address, exc)

    def log_request(self, code="-", size="-"):
        pass  # _handle logs one richer line per request

    def log_message(self, format, *args):
        logger.info("%s %s", self.address_string(), format % args)

    def log_error(self, format, *args):
        logger.warning("%s %s", self.address_string(), format % args)


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def server_bind(self):
        # HTTPServer.server_bind does a reverse DNS lookup we neither need nor want to wait on.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address):
        exc = sys.exc_info()[1]
        if isinstance(exc, (ConnectionError, TimeoutError)):
            logger.debug("connection from %s dropped: %s", client_address, exc)
        else:
            logger.exception("error while handling a request from %s", client_address)


class Collector:
    """Local usage collector serving on a background thread.

    ``received`` lists every request, in the order their replies were decided; ``sessions()``
    returns what was stored. Set ``reply_override`` to a callable
    ``(Received) -> (status, body_bytes, delay_s)`` to answer requests yourself;
    such requests store nothing. A body over ``max_body`` bytes gets 413 before it is read.
    """

    def __init__(self, *, api_key, db_path=None, host="127.0.0.1", port=0, max_body=MAX_BODY):
        if not api_key:
            raise ValueError("the collector needs a non-empty api_key")
        self.api_key = api_key
        self.max_body = max_body
        self.host = host
        self.db_path = db_path
        self.reply_override = None
        self.received = []
        self._requested_port = port
        self._port = None
        self._store = SessionStore(db_path)
        self._cond = threading.Condition()
        self._stopping = threading.Event()
        self._server = None
        self._thread = None

    def start(self):
        if self._server is not None:
            raise RuntimeError("collector already running")
        self._stopping.clear()
        server = _Server((self.host, self._requested_port), _Handler)
        server.collector = self
        self._server, self._port = server, server.server_address[1]
        self._thread = threading.Thread(
            target=server.serve_forever, kwargs={"poll_interval": 0.1},
            name=f"orlune-collector-{self._port}", daemon=True,
        )
        self._thread.start()
        return self

    def stop(self):
        """Stop serving. Requests still in progress finish on their own threads."""
        server, self._server = self._server, None
        if server is None:
            return
        self._stopping.set()
        server.shutdown()
        server.server_close()
        self._thread.join(timeout=5)
        self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        if self._port is None:
            raise RuntimeError("collector not started")
        return self._port

    @property
    def url(self):
        return f"http://{self.host}:{self.port}"

    @property
    def usage_url(self):
        return self.url + USAGE_PATH

    def sessions(self):
        return self._store.all()

    def wait_for(self, n, timeout=5.0) -> bool:
        """Wait until at least ``n`` requests have been recorded."""
        with self._cond:
            return self._cond.wait_for(lambda: len(self.received) >= n, timeout)

    def _record(self, rec):
        with self._cond:
            self.received.append(rec)
            self._cond.notify_all()
