"""The web server: a token on every request, 127.0.0.1 by default, one line to open it.

The token is made fresh at each start and printed in the link once the server accepts
connections. A request carrying it in the query (``?token=``), or carrying a one-time code
(``?code=``, what the opened browser gets, so no lasting secret shows on a command line), is
answered with a redirect to the same address without it that sets a cookie named after the
port (two servers in one browser keep their own); the page's own requests (scripts, images,
the websocket) carry that cookie. Cookies ignore ports, so the cookie also reaches every other
server on this computer, and their pages count as the same site: a request whose Origin is
not this server, whose Host is not this server's name, or that another site's page makes
(fetch metadata) is refused, and no cross-origin sharing is granted. Anything refused gets a
403 before it reaches the application; the token never reaches a log.
"""

from __future__ import annotations

import hmac
import logging
import os
import re
import secrets
import socket
import sys
import threading
import time
from collections.abc import Callable
from typing import Any
from urllib.parse import quote, unquote_to_bytes

from .._errors import MorvexError

COOKIE_PREFIX = "morvex_token_"
LOCAL_HOSTS = ("127.0.0.1", "localhost", "::1")
CODE_LIFETIME = 60.0  # s: a one-time code opens the page once, within this long
_SECRET_NAMES = (b"token", b"code")
_REFUSED = (b"403 Forbidden: open the link that `morvex app` printed (it carries the access "
            b"token)\n")
# Messages each tab keeps to resend after a dropped connection. A redraw carries its field
# as a picture (tens of kB), and the framework's default of 1000 held tens of MB per tab after
# a run; 100 cover the reconnection window (10 s) at the page's few messages a second.
_MESSAGE_HISTORY = 100
_SECRET_IN_TEXT = re.compile(r"((?:token|code)(?:=|%3D))[^&\s'\"]+", re.IGNORECASE)


class Access:
    """One server's secrets and the rules that admit a request.

    `host` and `port` are where the server listens; a local `host` admits only requests
    addressed to this computer's names (a foreign Host is a rebound DNS name). `clock` gives
    seconds (monotonic) and exists for tests of a code's lifetime.
    """

    def __init__(self, host: str, port: int, token: str | None = None,
                 clock: Callable[[], float] = time.monotonic) -> None:
        if isinstance(port, bool) or not isinstance(port, int) or not 0 < port <= 65535:
            raise MorvexError(f"port must be 1 ... 65535, got {port!r}")
        self.token = token or secrets.token_urlsafe(24)
        self.cookie = f"{COOKIE_PREFIX}{port}"
        self.port = port
        self._secret = self.token.encode()
        self._clock = clock
        self._codes: dict[str, float] = {}  # code -> deadline
        self._lock = threading.Lock()
        if host in LOCAL_HOSTS:
            names = ["127.0.0.1", "localhost", "[::1]"]
            self.hosts: set[str] | None = {f"{name}:{port}" for name in names}
            if port == 80:
                self.hosts.update(names)
        else:
            self.hosts = None  # listening beyond this computer: its names are not known here

    def matches(self, value: str | bytes) -> bool:
        """Whether `value` is the token; any malformed value (non-ASCII, ...) is not."""
        given = value if isinstance(value, bytes) else value.encode("utf-8", "surrogatepass")
        return hmac.compare_digest(given, self._secret)

    def code(self) -> str:
        """A fresh one-time code: it opens the page once, within CODE_LIFETIME seconds."""
        code = secrets.token_urlsafe(16)
        with self._lock:
            self._codes[code] = self._clock() + CODE_LIFETIME
        return code

    def redeem(self, code: bytes) -> bool:
        """Whether `code` is a live one-time code; it is spent either way."""
        try:
            text = code.decode("ascii")
        except UnicodeDecodeError:
            return False
        with self._lock:
            deadline = self._codes.pop(text, None)
        return deadline is not None and self._clock() <= deadline

    def addressed_here(self, headers: dict[bytes, bytes]) -> bool:
        """Whether Host names this server and Origin, when sent, is this server's own page,
        and no other site's page made the request (its fetch metadata says so)."""
        host = headers.get(b"host", b"").decode("latin-1").lower()
        if self.hosts is not None and host not in self.hosts:
            return False
        origin = headers.get(b"origin")
        if origin is not None and origin.decode("latin-1").lower() != f"http://{host}":
            return False
        site = headers.get(b"sec-fetch-site", b"same-origin")
        if site in (b"same-origin", b"none"):
            return True
        # Another site (another port counts as the same site) may link here, never embed,
        # fetch or script this server.
        return (headers.get(b"sec-fetch-mode") == b"navigate"
                and headers.get(b"sec-fetch-dest") == b"document")


class TokenGate:
    """ASGI middleware: HTTP and websocket requests without the token, or not from this
    server's own page, get 403; a secret in the query is exchanged for the cookie."""

    def __init__(self, app: Any, access: Access) -> None:
        self.app = app
        self.access = access

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        try:
            admitted, query, secret_given, new_cookie = self._admit(scope)
        except Exception:  # a malformed request is simply not admitted
            admitted = False
        if not admitted:
            await self._refuse(scope, send)
            return
        scope = dict(scope, query_string=query)
        headers = [(b"set-cookie", self._cookie())] if new_cookie else []
        if scope["type"] == "http" and secret_given and scope.get("method") in ("GET", "HEAD"):
            # Off the address bar and out of history: the same address without the secret.
            target = quote("/" + str(scope.get("path", "/")).lstrip("/"),
                           safe="/:@!$&'()*+,;=-._~")
            location = target + ("?" + query.decode("latin-1") if query else "")
            await send({"type": "http.response.start", "status": 303, "headers": [
                (b"location", location.encode("latin-1")), (b"cache-control", b"no-store"),
                (b"referrer-policy", b"no-referrer"), *headers]})
            await send({"type": "http.response.body", "body": b""})
            return
        if scope["type"] == "websocket":
            await self.app(scope, receive, send)
            return

        async def send_guarded(message: dict[str, Any]) -> None:
            if message["type"] == "http.response.start":
                kept = [(name, value) for name, value in message.get("headers", [])
                        if not name.lower().startswith(b"access-control-")]
                message = dict(message, headers=kept + headers + [
                    (b"x-frame-options", b"DENY"),
                    (b"content-security-policy", b"frame-ancestors 'none'"),
                    (b"referrer-policy", b"no-referrer")])
            await send(message)

        await self.app(scope, receive, send_guarded)

    def _admit(self, scope: dict[str, Any]) -> tuple[bool, bytes, bool, bool]:
        """(admitted, the query without secrets, a secret was in the query, set the cookie)."""
        headers: dict[bytes, bytes] = {}
        cookies: list[bytes] = []
        for name, value in scope.get("headers", []):
            if name == b"cookie":
                cookies.append(value)
            else:
                headers[name] = value
        if not self.access.addressed_here(headers):
            return False, b"", False, False
        kept: list[bytes] = []
        in_query = by_code = secret_given = False
        for piece in scope.get("query_string", b"").split(b"&"):
            name, _, value = piece.partition(b"=")
            name = unquote_to_bytes(name.replace(b"+", b" "))
            if name not in _SECRET_NAMES:
                if piece:
                    kept.append(piece)
                continue
            secret_given = True
            value = unquote_to_bytes(value.replace(b"+", b" "))
            if name == b"token":
                in_query = in_query or self.access.matches(value)
            elif scope["type"] == "http":
                by_code = by_code or self.access.redeem(value)
        in_cookie = any(self.access.matches(value) for value in self._cookie_values(cookies))
        admitted = in_query or by_code or in_cookie
        return admitted, b"&".join(kept), secret_given, admitted and not in_cookie

    def _cookie_values(self, headers: list[bytes]) -> list[bytes]:
        # By hand: other servers on this computer set cookies too, and one that a strict
        # parser rejects must not hide ours.
        wanted = self.access.cookie.encode()
        values = []
        for header in headers:
            for pair in header.split(b";"):
                name, _, value = pair.partition(b"=")
                if name.strip() == wanted:
                    values.append(value.strip())
        return values

    def _cookie(self) -> bytes:
        return f"{self.access.cookie}={self.access.token}; Path=/; HttpOnly; SameSite=Strict" \
            .encode()

    @staticmethod
    async def _refuse(scope: dict[str, Any], send: Any) -> None:
        if scope["type"] == "websocket":
            # Closing before accepting makes the server answer the handshake with 403.
            await send({"type": "websocket.close", "code": 1008})
            return
        await send({"type": "http.response.start", "status": 403,
                    "headers": [(b"content-type", b"text/plain; charset=utf-8")]})
        await send({"type": "http.response.body", "body": _REFUSED})


def redact(text: str, token: str) -> str:
    """`text` with the token and any ``token=``/``code=`` value hidden."""
    return _SECRET_IN_TEXT.sub(r"\1(hidden)", text.replace(token, "(hidden)"))


def _never_log(token: str) -> None:
    # At the record's creation, so every logger (the web framework's 404 line, the server's
    # errors, tracebacks) is covered whatever handlers it gets later.
    make = logging.getLogRecordFactory()

    def hidden(*args: Any, **kwargs: Any) -> logging.LogRecord:
        record = make(*args, **kwargs)
        try:
            message = record.getMessage()
        except Exception:  # a broken log call stays the logging module's to report
            return record
        if token in message or _SECRET_IN_TEXT.search(message):
            record.msg, record.args = redact(message, token), None
        if record.exc_info:
            record.exc_text = redact(logging.Formatter().formatException(record.exc_info), token)
        return record

    logging.setLogRecordFactory(hidden)


def free_port(host: str) -> int:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return int(probe.getsockname()[1])


def _announce(address: str, access: Access, open_browser: bool) -> None:
    """Print the link once the server accepts connections, then open the browser on a
    one-time code: the token itself would sit on the browser's command line."""
    from nicegui.server import Server

    while not getattr(getattr(Server, "instance", None), "started", False):
        time.sleep(0.02)
    print(f"morvex app: {address}/?token={access.token}", flush=True)
    if open_browser:
        import webbrowser

        webbrowser.open(f"{address}/?code={access.code()}")


def serve(root: str, host: str = "127.0.0.1", port: int = 8765,
          open_browser: bool = True) -> None:
    """Serve the application on host:port (0 = a free port) until interrupted.

    Raises:
        MorvexError: when the root is not a folder.
    """
    from .paths import Root

    confined = Root(root)
    if not isinstance(port, int) or not 0 <= port <= 65535:
        raise MorvexError(f"--port must be 0 ... 65535, got {port!r}")
    if host not in LOCAL_HOSTS:
        print(f"morvex app: warning: listening on {host}, not only this computer; anyone who "
              "has the link can read and write files under the root", file=sys.stderr)
    try:
        port = port or free_port(host)
    except OSError as error:
        raise MorvexError(f"cannot listen on {host}: {error.strerror}") from None
    access = Access(host, port)
    _never_log(access.token)

    # NiceGUI decides it runs under a test from this variable and would pick its own port.
    os.environ.pop("PYTEST_CURRENT_TEST", None)
    from nicegui import app, ui

    from .page import register

    register(confined)
    app.add_middleware(TokenGate, access=access)
    shown = f"[{host}]" if ":" in host else host
    threading.Thread(target=_announce, args=(f"http://{shown}:{port}", access, open_browser),
                     daemon=True, name="morvex-announce").start()
    ui.run(host=host, port=port, reload=False, show=False, title="Morvex",
           show_welcome_message=False, uvicorn_logging_level="warning",
           reconnect_timeout=10.0, favicon="🔬", message_history_length=_MESSAGE_HISTORY)
