# pyright: strict
"""The page served with Starlette and uvicorn (imported only here)."""

from __future__ import annotations

import ipaddress
import logging
import socket
import threading
from typing import Callable, List, Optional

import uvicorn
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.requests import Request
from starlette.responses import HTMLResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from galtro import _inspect
from galtro.dashboard._render import STATIC, render_live, render_page
from galtro.dashboard import DEFAULT_WINDOW
from galtro.dashboard._views import LONGEST_WINDOW, Monitor

__all__ = ["create_app", "is_loopback", "bind", "Server"]

# The page runs no inline script and loads nothing from elsewhere; inline style
# attributes carry the computed widths and colours.
_HEADERS = {
    "Cache-Control": "no-store",
    "Content-Security-Policy": "default-src 'self'; style-src 'self' 'unsafe-inline'; "
                               "img-src 'self' data:; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
}
_logger = logging.getLogger("galtro.dashboard")
_LOOPBACK_NAMES = ["localhost", "127.0.0.1", "::1", "[::1]"]
_SHORTEST_WINDOW = 60


def is_loopback(host: str) -> bool:
    """Whether ``host`` names this machine only: "localhost" or a loopback address."""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def _window(request: Request, default: int) -> int:
    text = request.query_params.get("window")
    if text is None:
        return default
    try:
        seconds = int(text)
    except ValueError:
        seconds = -1
    if not _SHORTEST_WINDOW <= seconds <= LONGEST_WINDOW:
        raise ValueError(f"window must be whole seconds from {_SHORTEST_WINDOW} "
                         f"to {LONGEST_WINDOW}")
    return seconds


def create_app(state: _inspect.State, *, store: Optional[str] = None,
               window: int = DEFAULT_WINDOW, allow_remote: bool = False) -> Starlette:
    """The dashboard of ``state`` as an ASGI application. ``store`` is the line that
    names the store on the page; ``window`` the timeline's default, in seconds. Unless
    ``allow_remote``, requests must name a loopback host (so that another site cannot
    reach it through a name of its own that points here)."""
    if not _SHORTEST_WINDOW <= window <= LONGEST_WINDOW:
        raise ValueError(f"window must be from {_SHORTEST_WINDOW} to {LONGEST_WINDOW} seconds")
    monitor = Monitor(state)
    title = store if store is not None else f"{type(state).__name__} in this process"

    failing: List[str] = []  # the last failure's text, logged once until a read works

    def respond(request: Request, render: Callable[[int], str]) -> Response:
        try:
            chosen = _window(request, window)
        except ValueError as error:
            return Response(str(error) + "\n", 400, headers=_HEADERS, media_type="text/plain")
        try:
            page = render(chosen)
        except Exception as error:  # the store is down, say: the page says so and retries
            text = f"cannot read the state: {error}"
            if failing != [text]:
                _logger.warning("%s", text)
                failing[:] = [text]
            return Response(text + "\n", 503, headers=_HEADERS, media_type="text/plain")
        failing.clear()
        return HTMLResponse(page, headers=_HEADERS)

    def page(request: Request) -> Response:
        return respond(request, lambda chosen: render_page(monitor.read(chosen), title, chosen))

    def live(request: Request) -> Response:
        return respond(request, lambda chosen: render_live(monitor.read(chosen)))

    middleware: List[Middleware] = []
    if not allow_remote:
        middleware.append(Middleware(TrustedHostMiddleware, allowed_hosts=_LOOPBACK_NAMES))
    return Starlette(
        routes=[
            Route("/", page),
            Route("/live", live),
            Mount("/static", StaticFiles(directory=str(STATIC)), name="static"),
        ],
        middleware=middleware,
    )


def bind(host: str, port: int, allow_remote: bool) -> socket.socket:
    """A listening socket on ``host`` and ``port`` (0: any free port). Raises
    ``ValueError`` for a host that is not loopback unless ``allow_remote``, and
    ``OSError`` when the address cannot be used."""
    if not allow_remote and not is_loopback(host):
        raise ValueError(f"{host} is not a loopback address: the dashboard would be open to "
                         "other machines; allow that explicitly (--allow-remote)")
    if not 0 <= port <= 65535:
        raise ValueError("port must be from 0 to 65535")
    address = socket.getaddrinfo(host.strip("[]"), port, type=socket.SOCK_STREAM)[0]
    listener = socket.socket(address[0], socket.SOCK_STREAM)
    try:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(address[4])
        listener.listen(128)
    except BaseException:
        listener.close()
        raise
    return listener


class Server:
    """uvicorn serving ``app`` on a socket of ``bind``."""

    def __init__(self, app: Starlette, listener: socket.socket) -> None:
        self._listener = listener
        self._server = uvicorn.Server(uvicorn.Config(app, log_level="warning",
                                                     access_log=False, lifespan="off"))
        self._thread: Optional[threading.Thread] = None
        host, port = listener.getsockname()[:2]
        host = f"[{host}]" if ":" in host else host
        self.url = f"http://{host}:{port}/"

    def run(self) -> None:
        """Serves until interrupted (Ctrl-C) or ``stop``."""
        try:
            self._server.run(sockets=[self._listener])
        finally:
            self._listener.close()

    def start(self) -> None:
        """Serves in a thread of its own; returns once the server is up."""
        self._thread = threading.Thread(target=self.run, name="galtro-dashboard", daemon=True)
        self._thread.start()
        while not self._server.started and self._thread.is_alive():
            self._thread.join(0.01)
        if not self._server.started:
            raise RuntimeError("the dashboard server did not start")

    def stop(self) -> None:
        """Stops serving and waits for the server's thread."""
        self._server.should_exit = True
        if self._thread is not None:
            self._thread.join()
