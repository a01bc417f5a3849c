# pyright: strict
"""A live page over a coordination state, and a report of its history.

    from galtro.dashboard import serve, start, build_report

    serve(state)                      # http://127.0.0.1:8000/ until Ctrl-C
    running = start(state, port=0)    # in a thread; running.url, running.stop()
    html = build_report(state)        # one self-contained HTML file

The page shows the claims with the lease left on each, the agents, the latest messages
and a timeline of the history, and reads them again every second. The report has the
same timeline and a summary per agent, with no script and nothing to fetch. Both read
the state through the views of ``galtro`` (``claims``, ``agents``, ``inbox_sizes``,
``history``) and never change, renew or create anything; an in-process
``galtro_core.CoordinationState`` is read in the same process.

The page needs Starlette and uvicorn, the report Jinja2: ``pip install
"galtro_core[dashboard]"``. They are imported when first used.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Optional, Union

from galtro import _inspect

if TYPE_CHECKING:
    from starlette.applications import Starlette

    from galtro.dashboard._server import Server

__all__ = ["DEFAULT_PORT", "DEFAULT_WINDOW", "create_app", "serve", "start", "build_report", "write_report"]

#: The port that ``serve`` and ``galtro dashboard`` listen on unless told otherwise.
DEFAULT_PORT = 8000
#: The timeline's window when none is chosen, in seconds: the last hour.
DEFAULT_WINDOW = 3600


def create_app(state: _inspect.State, *, store: Optional[str] = None,
               window: int = DEFAULT_WINDOW, allow_remote: bool = False) -> Starlette:
    """The page of ``state`` as a Starlette application, to mount or serve yourself.
    Unless ``allow_remote``, it answers only requests made to a loopback host name."""
    from galtro.dashboard._server import create_app as create

    return create(state, store=store, window=window, allow_remote=allow_remote)


def _make_server(state: _inspect.State, host: str, port: int, allow_remote: bool,
            store: Optional[str], window: int) -> Server:
    from galtro.dashboard._server import Server, bind

    listener = bind(host, port, allow_remote)
    try:
        app = create_app(state, store=store, window=window, allow_remote=allow_remote)
        return Server(app, listener)
    except BaseException:
        listener.close()
        raise


def serve(state: _inspect.State, host: str = "127.0.0.1", port: int = DEFAULT_PORT, *,
          allow_remote: bool = False, open_browser: bool = False,
          store: Optional[str] = None, window: int = DEFAULT_WINDOW) -> None:
    """Serves the page of ``state`` on ``host`` and ``port`` until interrupted (Ctrl-C).
    ``port`` 0 takes any free port. The address is printed to standard output, and
    opened in a web browser with ``open_browser``. Raises ``ValueError`` for a host that
    is not loopback unless ``allow_remote``, and ``OSError`` when the address is in use."""
    server = _make_server(state, host, port, allow_remote, store, window)
    print(f"galtro dashboard at {server.url} (Ctrl-C stops it)", flush=True)
    if open_browser:
        import webbrowser

        webbrowser.open(server.url)
    server.run()


def start(state: _inspect.State, host: str = "127.0.0.1", port: int = 0, *,
          allow_remote: bool = False, store: Optional[str] = None,
          window: int = DEFAULT_WINDOW) -> Server:
    """Serves the page of ``state`` in a background thread, as ``serve`` does, and
    returns once it is up: the result's ``url`` is the page, its ``stop()`` ends it."""
    server = _make_server(state, host, port, allow_remote, store, window)
    server.start()
    return server


def build_report(state: _inspect.State, since: Optional[float] = None,
                 until: Optional[float] = None, *, store: Optional[str] = None) -> str:
    """The report of ``state`` from Unix second ``since`` to ``until`` (by default its
    whole history, to now) as one self-contained HTML document: the timeline and, per
    agent, claims, time held, takeovers made and suffered, and messages sent and
    received. Raises ``ValueError`` when ``until`` is before ``since``."""
    from galtro.dashboard._render import render_report
    from galtro.dashboard._views import report

    title = store if store is not None else f"{type(state).__name__} in this process"
    return render_report(report(state, since, until), title)


def write_report(state: _inspect.State, path: Union[str, "os.PathLike[str]"],
                 since: Optional[float] = None, until: Optional[float] = None, *,
                 store: Optional[str] = None) -> None:
    """Writes ``build_report`` to the file ``path`` (UTF-8), replacing it."""
    html = build_report(state, since, until, store=store)
    with open(path, "w", encoding="utf-8") as out:
        out.write(html)
