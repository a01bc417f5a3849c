# pyright: strict
"""``galtro dashboard`` and ``galtro report``: their arguments and what they run. Only
the standard library is imported here; the web stack when the page is served."""

from __future__ import annotations

import argparse
import calendar
import json
import math
from typing import Any, Callable, Protocol

from galtro import _inspect, _store

__all__ = ["add_commands"]

_EXTRA = "pip install 'galtro_core[dashboard]'"


class _Run(Protocol):
    """What the ``galtro`` command hands a subcommand: its arguments and its state."""

    args: argparse.Namespace

    @property
    def state(self) -> Any: ...


def _usage_error(message: str) -> Exception:
    from galtro.cli import UsageError

    return UsageError(message)


def _missing(error: ImportError) -> Exception:
    name = (error.name or "").split(".")[0]
    if name in ("starlette", "uvicorn", "jinja2", "anyio", "h11", "markupsafe"):
        return _usage_error(f"{name} is not installed; install it with: {_EXTRA}")
    return error


def moment(text: str) -> float:
    """A Unix second, or a date and time in ISO 8601 (UTC unless it names a zone)."""
    try:
        seconds = float(text)
    except ValueError:
        import datetime

        try:
            parsed = datetime.datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"{text!r} is neither a Unix second nor an ISO 8601 date and time") from None
        if parsed.tzinfo is None:
            return float(calendar.timegm(parsed.timetuple()))
        return parsed.timestamp()
    if not math.isfinite(seconds) or seconds < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a Unix second")
    return seconds


def _store_line(run: _Run) -> str:
    args = run.args
    return _store.describe(_store.resolve_url(args.url), _store.resolve_namespace(args.namespace))


def _dashboard(run: _Run) -> None:
    from galtro import dashboard

    args = run.args
    state: _inspect.State = run.state
    try:
        dashboard.serve(state, args.host, args.port, allow_remote=args.allow_remote,
                        open_browser=args.open, store=_store_line(run))
    except ImportError as error:
        raise _missing(error) from None
    except (ValueError, OSError) as error:
        raise _usage_error(f"cannot serve on {args.host} port {args.port}: {error}") from None
    except KeyboardInterrupt:
        pass


def _report(run: _Run) -> None:
    from galtro import dashboard

    args = run.args
    if args.since is not None and args.until is not None and args.until < args.since:
        raise _usage_error("--until is before --since")
    state: _inspect.State = run.state
    try:
        dashboard.write_report(state, args.html, args.since, args.until, store=_store_line(run))
    except ImportError as error:
        raise _missing(error) from None
    except OSError as error:
        raise _usage_error(f"cannot write {args.html}: {error.strerror or error}") from None
    if args.json:
        print(json.dumps({"html": args.html}, ensure_ascii=False))
    else:
        print(f"report written to {args.html}")


def _parser(commands: Any, name: str, run: Callable[[_Run], None],
            help: str) -> argparse.ArgumentParser:
    """Subcommand ``name`` of the ``galtro`` parser's ``commands``, with ``--url``,
    ``--namespace`` and ``--json`` after its name too (given there, they replace those
    given before it)."""
    sub: argparse.ArgumentParser = commands.add_parser(name, help=help, description=help)
    sub.set_defaults(run=run)
    for flag, what in (("--url", "the store"), ("--namespace", "the namespace")):
        sub.add_argument(flag, default=argparse.SUPPRESS,
                         help=f"{what}, as the option before the command")
    sub.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                     help="machine-readable output")
    return sub


def add_commands(commands: Any) -> None:
    """Adds ``dashboard`` and ``report`` to ``commands``, the subparsers of the ``galtro``
    parser. Each runs with an object that has the parsed ``args`` and the ``state``."""
    from galtro.dashboard import DEFAULT_PORT

    sub = _parser(commands, "dashboard", _dashboard, "serve a live page of the claims, "
                  "agents, messages and history (needs galtro_core[dashboard])")
    sub.add_argument("--host", default="127.0.0.1",
                     help="address to listen on (default %(default)s)")
    sub.add_argument("--port", type=int, default=DEFAULT_PORT,
                     help="port to listen on, 0 for any free one (default %(default)s)")
    sub.add_argument("--open", action="store_true", help="open the page in a web browser")
    sub.add_argument("--allow-remote", action="store_true",
                     help="allow a --host that other machines can reach")
    sub = _parser(commands, "report", _report, "write the history's timeline and a summary "
                  "per agent as one HTML file (needs galtro_core[dashboard])")
    sub.add_argument("--html", required=True, metavar="FILE", help="the file to write")
    sub.add_argument("--since", type=moment, help="from this moment: a Unix second or an "
                     "ISO 8601 date and time, UTC unless it names a zone (default: the "
                     "first event)")
    sub.add_argument("--until", type=moment, help="to this moment (default: now)")
