"""The web server: a token on every request, 127.0.0.1 by default, one line to open it.

The token is made fresh at each start and printed in the link. The first request carries it
in the query (``?token=``); the answer sets it as a same-site cookie so the page's own
requests (scripts, images, the websocket) carry it too. Any HTTP request or websocket without
it is refused with 403 before it reaches the application.
"""

from __future__ import annotations

import contextlib
import hmac
import os
import secrets
import socket
import sys
from http.cookies import SimpleCookie
from typing import Any
from urllib.parse import parse_qs

COOKIE = "morvex_token"
LOCAL_HOSTS = ("127.0.0.1", "localhost", "::1")
_REFUSED = (b"403 Forbidden: open the link that `morvex app` printed (it carries the access "
            b"token)\n")


class TokenGate:
    """ASGI middleware: HTTP and websocket requests without the token get 403."""

    def __init__(self, app: Any, token: str) -> None:
        self.app = app
        self.token = token

    def _given(self, scope: dict[str, Any]) -> tuple[bool, bool]:
        query = parse_qs(scope.get("query_string", b"").decode("latin-1"))
        in_query = any(hmac.compare_digest(value, self.token) for value in query.get("token", []))
        cookie = SimpleCookie()
        for name, value in scope.get("headers", []):
            if name == b"cookie":
                # A malformed cookie header is simply no token.
                with contextlib.suppress(Exception):
                    cookie.load(value.decode("latin-1"))
        in_cookie = COOKIE in cookie and hmac.compare_digest(cookie[COOKIE].value, self.token)
        return in_query, in_cookie

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        in_query, in_cookie = self._given(scope)
        if not (in_query or in_cookie):
            if scope["type"] == "websocket":
                # Closing before accepting makes the server answer the handshake with 403.
                await send({"type": "websocket.close", "code": 1008})
            else:
                await send({"type": "http.response.start", "status": 403,
                            "headers": [(b"content-type", b"text/plain; charset=utf-8")]})
                await send({"type": "http.response.body", "body": _REFUSED})
            return
        if scope["type"] == "http" and in_query and not in_cookie:
            value = f"{COOKIE}={self.token}; Path=/; HttpOnly; SameSite=Strict".encode()

            async def send_with_cookie(message: dict[str, Any]) -> None:
                if message["type"] == "http.response.start":
                    message = dict(message)
                    message["headers"] = list(message.get("headers", [])) + [
                        (b"set-cookie", value)]
                await send(message)

            await self.app(scope, receive, send_with_cookie)
            return
        await self.app(scope, receive, send)


def free_port(host: str) -> int:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return int(probe.getsockname()[1])


def serve(root: str, host: str = "127.0.0.1", port: int = 8765,
          open_browser: bool = True) -> None:
    """Serve the application on host:port (0 = a free port) until interrupted.

    Raises:
        MorvexError: when the root is not a folder.
    """
    from .._errors import MorvexError
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
    token = secrets.token_urlsafe(24)

    # NiceGUI decides it runs under a test from this variable and would pick its own port.
    os.environ.pop("PYTEST_CURRENT_TEST", None)
    from nicegui import app, ui

    from .views import register

    register(confined)
    app.add_middleware(TokenGate, token=token)
    shown = f"[{host}]" if ":" in host else host
    print(f"morvex app: http://{shown}:{port}/?token={token}", flush=True)
    ui.run(host=host, port=port, reload=False, show=f"/?token={token}" if open_browser else False,
           title="Morvex", show_welcome_message=False, uvicorn_logging_level="warning",
           reconnect_timeout=10.0, favicon="🔬")
