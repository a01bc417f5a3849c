# pyright: strict
"""The ``galtro`` command: the coordination state of a store, from a shell.

    galtro [--url URL] [--namespace NS] [--json] COMMAND ...

Exit status: 0 on success; 1 when a claim operation is refused (its message, exactly,
on standard error); 2 on a usage error, when the store cannot be used, or when the
output cannot be written (one line on standard error). ``galtro run`` returns the
status of the command it ran.

Every argument is checked while the command line is parsed, before the store is opened
or anything is printed. Output is UTF-8 whatever the locale.

A subcommand is a function of a ``Context`` registered with ``@subcommand``; it returns
its exit status, or None for 0. The store is opened on first use of ``context.state``::

    @subcommand("where", "show the store in use")
    def _where(context: Context) -> None:
        context.emit({"url": context.url}, _store.describe(context.url, context.namespace))
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import io
import json
import math
import os
import signal
import sys
import threading
import time
from typing import (TYPE_CHECKING, Any, Callable, Dict, Generator, List, NoReturn, Optional,
                    Sequence, TextIO, Tuple, cast)

from galtro import _delivery, _inspect, _operations, _store
from galtro._failures import connection_errors, store_failures
from galtro._lease import Lease, hold
from galtro._paths import file_key
from galtro._protocol import CoordinationStateLike, Message
from galtro._refusals import ClaimConflict, LeaseLost, Refusal
from galtro._text import duration as _duration

if TYPE_CHECKING:
    import subprocess

__all__ = ["main", "subcommand", "Context", "UsageError", "OutputError", "build_parser"]


def _epilog() -> str:
    """The end of ``--help``, made when help is shown: finding the default store reads
    the file system."""
    return """\
exit status:
  0  success
  1  a claim operation was refused; its message is on standard error
  2  usage error, the store could not be used, or the output could not be written
  galtro run returns the status of its command

environment:
  GALTRO_URL        the store, when --url is not given (default %s)
  GALTRO_NAMESPACE  the namespace, when --namespace is not given (default %s)

coding agents (Claude Code, Gemini CLI, Codex CLI):
  galtro init claude    writes the agent's hooks, which run: galtro hook --tool claude
  galtro evict AGENT    clears the claims of an agent that died

in use here: %s
""" % (_store.default_url(), _store.DEFAULT_NAMESPACE,
       _store.describe(_store.resolve_url(), _store.resolve_namespace()))


# The latest Unix second a time argument may name: the last of year 9999, which dates
# can still show.
_LAST_SECOND = 253402300799
# The longest pause between two reads of `watch`.
_LONGEST_INTERVAL = 86400.0


class UsageError(Exception):
    """A mistake in the command line; exit status 2."""


class OutputError(Exception):
    """Standard output could not be written; exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {self.prog} --help)")

    def format_help(self) -> str:
        if self.prog == "galtro":
            self.epilog = _epilog()
        return super().format_help()


# --- Argument types: each checks its value while the command line is parsed -----------


def _text(value: str) -> str:
    """An id, path or message: any text the store can keep (UTF-8)."""
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"{value!r} is not valid UTF-8") from None
    return value


def _number(text: str, low: float, high: float, what: str, low_included: bool = True) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    above_low = value >= low if low_included else value > low
    if not (above_low and value <= high):  # NaN fails both
        raise argparse.ArgumentTypeError(f"{what}, not {text!r}")
    return value


def _unix_time(text: str) -> float:
    return _number(text, 0, _LAST_SECOND, f"a Unix time from 0 to {_LAST_SECOND} is expected")


def _interval(text: str) -> float:
    return _number(text, 0, _LONGEST_INTERVAL,
                   f"seconds above 0 and at most {_LONGEST_INTERVAL:g} are expected",
                   low_included=False)


def _wait(text: str) -> float:
    return _number(text, 0, _LONGEST_INTERVAL,
                   f"seconds from 0 to {_LONGEST_INTERVAL:g} are expected")


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= _inspect.MOST_EVENTS:
        raise argparse.ArgumentTypeError(
            f"a whole number from 0 to {_inspect.MOST_EVENTS} is expected, not {text!r}")
    return value


# --- Output ------------------------------------------------------------------------


class _Output:
    """Standard output, UTF-8 whatever the locale, whose failures are ``OutputError``."""

    def __init__(self, stream: Optional[TextIO]) -> None:
        if isinstance(stream, io.TextIOWrapper):
            try:
                cast(io.TextIOWrapper, stream).reconfigure(encoding="utf-8", errors="strict")
            except (OSError, ValueError):  # already broken: the first write says so
                pass
        self._stream: Optional[TextIO] = stream  # None if the process started without it

    def write(self, text: str) -> None:
        with self._failures() as stream:
            stream.write(text)

    def flush(self) -> None:
        with self._failures() as stream:
            stream.flush()

    @contextlib.contextmanager
    def _failures(self) -> Generator[TextIO, None, None]:
        if self._stream is None:
            raise OutputError("cannot write to standard output: it is closed")
        try:
            yield self._stream
        except (OSError, ValueError) as error:  # a closed pipe, a full disk, an encoding
            raise OutputError(f"cannot write to standard output: {error}") from None


def _silence_stdout() -> None:
    """After standard output failed: send what is still buffered to the null device, so
    that the interpreter's flush at exit does not fail again and print a traceback."""
    try:
        descriptor = sys.stdout.fileno()
        null = os.open(os.devnull, os.O_WRONLY)
    except (OSError, ValueError, AttributeError):
        return
    os.dup2(null, descriptor)
    os.close(null)


def _clock(seconds: int) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seconds))


def _table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip()
                     for row in [header, *rows])


def _message_dict(message: Message) -> Dict[str, Any]:
    from_agent, to_agent, content, timestamp = message
    return {"from_agent": from_agent, "to_agent": to_agent, "content": content,
            "timestamp": timestamp}


def _message_line(message: Message) -> str:
    from_agent, to_agent, content, timestamp = message
    return f"{_clock(timestamp)}  {from_agent} -> {to_agent}: {content}"


def _event_line(event: _inspect.Event) -> str:
    fields = " ".join(f"{name}={value!r}" for name, value in event.fields.items())
    return f"{_clock(event.time)}  {event.kind}  {fields}"


# --- The context of one run ------------------------------------------------------------


class Context:
    """One run of a subcommand: its parsed arguments (``args``), the store (``state``,
    opened on first use), and standard output (``out``, whose failures are
    ``OutputError``)."""

    def __init__(self, args: argparse.Namespace, out: _Output,
                 state: Optional[CoordinationStateLike] = None) -> None:
        self.args = args
        self.out = out
        self._state = state

    @property
    def url(self) -> str:
        return _store.resolve_url(self.args.url)

    @property
    def namespace(self) -> str:
        return _store.resolve_namespace(self.args.namespace)

    @property
    def state(self) -> CoordinationStateLike:
        if self._state is None:
            try:
                self._state = _store.open_state(self.url, self.namespace)
            except _store.StoreError as error:
                raise UsageError(str(error)) from None
        return self._state

    @property
    def readable(self) -> _inspect.State:
        """The store, for the views of ``galtro._inspect``."""
        return cast(_inspect.State, self.state)

    @property
    def json(self) -> bool:
        return bool(self.args.json)

    def emit(self, data: Any, text: str) -> None:
        """Writes ``data`` as one line of JSON with ``--json``, else ``text`` (if any)."""
        if self.json:
            self.out.write(json.dumps(data, ensure_ascii=False) + "\n")
        elif text:
            self.out.write(text + "\n")

    def messages(self, messages: Sequence[Message]) -> None:
        self.emit([_message_dict(m) for m in messages],
                  "\n".join(_message_line(m) for m in messages))

    def file(self, path: str) -> str:
        """``path`` named by ``file_key`` under ``--root``, if given."""
        root: Optional[str] = getattr(self.args, "root", None)
        if root is None:
            return path
        try:
            return file_key(root, path)
        except ValueError as error:
            raise UsageError(str(error)) from None


Handler = Callable[[Context], Optional[int]]


@dataclasses.dataclass(frozen=True)
class _Subcommand:
    name: str
    help: str
    run: Handler
    positionals: Tuple[Tuple[str, str], ...]
    options: Optional[Callable[[argparse.ArgumentParser], None]]
    usage: Optional[str]


_SUBCOMMANDS: List[_Subcommand] = []


def subcommand(name: str, help: str, *,
               options: Optional[Callable[[argparse.ArgumentParser], None]] = None,
               usage: Optional[str] = None, **positionals: str) -> Callable[[Handler], Handler]:
    """Registers the decorated function as subcommand ``name``. ``positionals`` are its
    positional arguments, ``dest="METAVAR"`` in order, each checked to be text a store
    can keep; ``options(parser)`` adds its options. ``--url``, ``--namespace`` and
    ``--json`` are accepted after it as well as before."""

    def register(run: Handler) -> Handler:
        _SUBCOMMANDS.append(_Subcommand(name, help, run, tuple(positionals.items()),
                                        options, usage))
        return run

    return register


def _claim_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--wait", type=_wait, default=0.0, metavar="SECONDS",
                        help="while another agent holds it, retry for up to SECONDS")
    parser.add_argument("--or-renew", action="store_true",
                        help="if the agent holds it already, renew it")


def _root_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--root", type=_text, metavar="DIR",
                        help="repository root: file paths are named relative to it")


# --- Claims ---------------------------------------------------------------------------


def _lease(context: Context, kind: str, name: str, renew: bool) -> Lease:
    """The lease of ``kind:name`` for the agent, waiting ``--wait`` seconds to claim it."""
    return hold(context.state, context.args.agent, wait=context.args.wait, renew=renew,
                file=name if kind == "file" else None, task=name if kind == "task" else None)


def _claim(context: Context, kind: str, name: str) -> None:
    """Claims ``kind:name`` for the agent, waiting ``--wait`` seconds while another
    holds it, renewing it with ``--or-renew`` if the agent holds it already."""
    agent = context.args.agent
    key = f"{kind}:{name}"
    try:
        # The claim outlives this process: the lease's wait is used, its block is never left.
        _lease(context, kind, name, renew=False).__enter__()
        renewed = False
    except ClaimConflict as conflict:
        if not (context.args.or_renew and conflict.holder == agent):
            raise
        _operations.renew(context.state, agent, key)
        renewed = True
    context.emit({"resource_key": key, "holder": agent, "renewed": renewed}, key)


def _claim_file_options(parser: argparse.ArgumentParser) -> None:
    _root_option(parser)
    _claim_options(parser)


@subcommand("claim-file", "claim a file for an agent", options=_claim_file_options,
            agent="AGENT", path="PATH")
def _claim_file(context: Context) -> None:
    _claim(context, "file", context.file(context.args.path))


@subcommand("claim-task", "claim a task for an agent", options=_claim_options,
            agent="AGENT", task="TASK")
def _claim_task(context: Context) -> None:
    _claim(context, "task", context.args.task)


def _key_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("key", type=_text, nargs="?", metavar="KEY",
                        help="the resource key: file:PATH or task:ID")
    parser.add_argument("--file", type=_text, metavar="PATH", help="the claim of this file")
    parser.add_argument("--task", type=_text, metavar="ID", help="the claim of this task")
    _root_option(parser)


def _resource_key(context: Context) -> str:
    """The one resource named by KEY, --file or --task."""
    args = context.args
    given = [value for value in (args.key, args.file, args.task) if value is not None]
    if len(given) != 1:
        raise UsageError("name the claim once: KEY, --file PATH or --task ID")
    if args.file is not None:
        return "file:" + context.file(args.file)
    if args.task is not None:
        return f"task:{args.task}"
    key: str = args.key
    if key.startswith("file:"):
        return "file:" + context.file(key[len("file:"):])
    return key


@subcommand("renew", "renew an agent's claim", options=_key_options, agent="AGENT")
def _renew(context: Context) -> None:
    key = _resource_key(context)
    _operations.renew(context.state, context.args.agent, key)
    context.emit({"resource_key": key, "holder": context.args.agent}, key)


@subcommand("release", "release an agent's claim", options=_key_options, agent="AGENT")
def _release(context: Context) -> None:
    key = _resource_key(context)
    _operations.release(context.state, context.args.agent, key)
    context.emit({"resource_key": key, "released": True}, key)


@subcommand("evict", "release every claim of an agent (one that died) and make it idle",
            agent="AGENT")
def _evict(context: Context) -> None:
    agent = context.args.agent
    released = _operations.evict(context.state, agent)
    context.emit({"agent_id": agent, "released": released, "status": "idle"},
                 "\n".join(released))


def _run_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--file", type=_text, action="append", default=[], metavar="PATH",
                        help="hold a claim on this file (repeatable)")
    parser.add_argument("--task", type=_text, action="append", default=[], metavar="ID",
                        help="hold a claim on this task (repeatable)")
    parser.add_argument("--wait", type=_wait, default=0.0, metavar="SECONDS",
                        help="while another agent holds one, retry for up to SECONDS")
    _root_option(parser)


class _Stopped(BaseException):
    """A signal to stop ``run`` before its command started: the claims are released."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


class _PassedSignals:
    """The signals of ``run``. Until its command is being started, SIGTERM, SIGHUP and
    SIGINT stop it (``_Stopped``), so that the claims are released. From then on
    SIGTERM and SIGHUP are passed on to the command, and SIGINT, which a terminal sends
    to the command as well, is left to it; ``run`` waits for the command to end."""

    _SIGNALS = (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)

    def __init__(self) -> None:
        self._child: Optional[subprocess.Popen[bytes]] = None
        self._starting = False
        self._stopped = False
        self._pending: List[int] = []
        self._previous: Dict[signal.Signals, Any] = {}

    def __enter__(self) -> _PassedSignals:
        if threading.current_thread() is threading.main_thread():
            for number in self._SIGNALS:
                self._previous[number] = signal.signal(number, self._handle)
        return self

    def __exit__(self, *exc_info: object) -> None:
        for number, handler in self._previous.items():
            signal.signal(number, handler)

    def _handle(self, number: int, frame: object) -> None:
        if self._child is not None:
            if number != signal.SIGINT:
                self._child.send_signal(number)
        elif self._starting or self._stopped:
            self._pending.append(number)
        else:
            self._stopped = True  # once: the releases that follow are not cut short
            raise _Stopped(number)

    def start(self, program: List[str], environment: Dict[str, str]) -> subprocess.Popen[bytes]:
        """Starts ``program``: a ``subprocess.Popen``, which is then sent the signals
        that came while it was being started. ``OSError`` if it cannot be started."""
        import subprocess  # only here: not on the path of the other commands

        self._starting = True
        child = self._child = subprocess.Popen(program, env=environment)
        for number in self._pending:
            if number != signal.SIGINT:
                child.send_signal(number)
        return child


@subcommand("run", "hold claims while a command runs: renewed, then released at its end",
            options=_run_options, agent="AGENT",
            usage="galtro run AGENT (--file PATH | --task ID)... [--wait SECONDS] "
                  "[--root DIR] -- COMMAND [ARG...]")
def _run(context: Context) -> int:
    args = context.args
    program: List[str] = getattr(args, "program", [])
    if not program:
        raise UsageError("run needs a command after --")
    resources = sorted([("file", context.file(path)) for path in args.file]
                       + [("task", task) for task in args.task])
    if not resources:
        raise UsageError("run needs at least one --file or --task")
    status = 0
    try:
        with _PassedSignals() as signals:
            claiming: Optional[Tuple[str, str]] = None
            try:
                with contextlib.ExitStack() as leases:
                    # In one order of keys, so that two runs waiting for each other's
                    # claims cannot each hold one.
                    for kind, name in resources:
                        claiming = (kind, name)
                        leases.enter_context(_lease(context, kind, name, renew=True))
                        claiming = None
                    status = _run_program(program, args.agent, signals)
            except _Stopped:
                # Stopped inside a claim: it may have been stored before the lease that
                # would release it was entered.
                if claiming is not None:
                    _release_if_held(context, f"{claiming[0]}:{claiming[1]}")
                raise
    except _Stopped as stopped:
        return 128 + stopped.number
    except LeaseLost as lost:
        sys.stderr.write(f"galtro: {lost}\n")
        return status or 1
    return status


def _release_if_held(context: Context, key: str) -> None:
    """Releases ``key`` if the agent holds it; a refusal or a store out of reach is left
    to the lease's end."""
    try:
        _operations.release(context.state, context.args.agent, key)
    except Refusal:
        pass
    except Exception as error:
        if not isinstance(error, connection_errors()):
            raise


def _run_program(program: List[str], agent: str, signals: _PassedSignals) -> int:
    """Runs ``program`` with ``GALTRO_AGENT`` set to ``agent``; its exit status (128 + N
    if signal N ended it; 127 if it was not found, 126 if it could not be run)."""
    try:
        child = signals.start(program, {**os.environ, "GALTRO_AGENT": agent})
    except OSError as error:
        sys.stderr.write(f"galtro: cannot run {program[0]!r}: {error.strerror}\n")
        return 127 if isinstance(error, FileNotFoundError) else 126
    returncode: int = child.wait()
    return 128 - returncode if returncode < 0 else returncode


# --- Messages and statuses ----------------------------------------------------------------


@subcommand("send", "send a message to one agent", sender="FROM", recipient="TO",
            content="CONTENT")
def _send(context: Context) -> None:
    args = context.args
    message = context.state.send_message(args.sender, args.recipient, args.content)
    context.emit(_message_dict(message), _message_line(message))


@subcommand("broadcast", "send a message to every known agent", sender="FROM",
            content="CONTENT")
def _broadcast(context: Context) -> None:
    message = context.state.broadcast(context.args.sender, context.args.content)
    context.emit(_message_dict(message), _message_line(message))


@subcommand("inbox", "list an agent's pending messages", agent="AGENT")
def _inbox(context: Context) -> None:
    context.messages(context.state.inbox(context.args.agent))


@subcommand("drain", "take out an agent's pending messages: they leave the inbox once "
            "written", agent="AGENT")
def _drain(context: Context) -> None:
    def write(messages: List[Message]) -> None:
        context.messages(messages)
        context.out.flush()

    if not _delivery.take_messages(context.state, context.args.agent, write):
        context.messages([])


@subcommand("status", "show an agent's status", agent="AGENT")
def _status(context: Context) -> None:
    status = context.state.status(context.args.agent)
    context.emit({"agent_id": context.args.agent, "status": status}, status)


@subcommand("where", "show which store and namespace are in use")
def _where(context: Context) -> None:
    url, namespace = context.url, context.namespace
    context.emit({"url": url, "namespace": namespace}, _store.describe(url, namespace))


# --- Views ------------------------------------------------------------------------------


@subcommand("claims", "list the claims with the time left on each lease")
def _claims(context: Context) -> None:
    claims = _inspect.claims(context.readable)
    now = time.time()
    rows = [[c.resource_key, c.holder,
             "expired" if c.expired else _duration(max(0.0, c.expires_at - now)),
             _clock(c.renewed_at)] for c in claims]
    context.emit([dataclasses.asdict(c) for c in claims],
                 _table(["KEY", "HOLDER", "LEFT", "RENEWED"], rows))


@subcommand("agents", "list the agents: status, unread messages, last activity")
def _agents(context: Context) -> None:
    readable = context.readable
    agents = _inspect.agents(readable)
    sizes = _inspect.inbox_sizes(readable)
    active = _inspect.last_activity(readable)
    now = time.time()
    rows = [[a.agent_id, a.status, str(sizes.get(a.agent_id, 0)),
             _duration(max(0.0, now - active[a.agent_id])) + " ago"
             if a.agent_id in active else "-"] for a in agents]
    context.emit([{"agent_id": a.agent_id, "status": a.status,
                   "inbox": sizes.get(a.agent_id, 0), "last_active": active.get(a.agent_id)}
                  for a in agents],
                 _table(["AGENT", "STATUS", "INBOX", "LAST ACTIVE"], rows))


def _history_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--since", type=_unix_time, help="from this Unix second on")
    parser.add_argument("--count", type=_count, help="at most this many events")


@subcommand("history", "list the history, oldest first", options=_history_options)
def _history(context: Context) -> None:
    events = _inspect.history(context.readable, context.args.since, context.args.count)
    context.emit([dataclasses.asdict(e) for e in events],
                 "\n".join(_event_line(e) for e in events))


def _watch_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--since", type=_unix_time,
                        help="from this Unix second on (default: now, on the store's clock)")
    parser.add_argument("--interval", type=_interval, default=1.0,
                        help="seconds between reads (default %(default)s)")


@subcommand("watch", "follow the history until interrupted: every event once, in order",
            options=_watch_options)
def _watch(context: Context) -> None:
    readable = context.readable
    cursor = _inspect.history_start(readable, context.args.since)
    try:
        while True:
            page = _inspect.history_after(readable, cursor)
            if page.missed:
                sys.stderr.write(f"galtro: {page.missed} events were removed by retention "
                                 "before they could be read\n")
            for event in page.events:
                context.emit(dataclasses.asdict(event), _event_line(event))
            context.out.flush()
            cursor = page.cursor
            time.sleep(context.args.interval)
    except KeyboardInterrupt:  # the way to stop it
        pass


# --- Front ends ---------------------------------------------------------------------------


def _mcp_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--agent", type=_text,
                        help="act as this agent (default: $GALTRO_AGENT); without either, "
                        "every tool that acts takes agent_id")
    _root_option(parser)
    parser.add_argument("--http", action="store_true", help="serve Streamable HTTP")
    parser.add_argument("--host", default="127.0.0.1", help="with --http (default %(default)s)")
    parser.add_argument("--port", type=int, default=8765,
                        help="with --http (default %(default)s)")
    parser.add_argument("--allow-remote", action="store_true",
                        help="allow a --host that is not loopback; put an authenticating "
                        "proxy in front of it")
    parser.add_argument("--allowed-host", action="append", default=[], metavar="NAME[:PORT]",
                        help="a further Host (and Origin) name the server answers, e.g. the "
                        "proxy's; repeatable")


@subcommand("mcp", "serve the state as MCP tools, over standard input and output or, with "
            "--http, at http://HOST:PORT/mcp", options=_mcp_options)
def _mcp_serve(context: Context) -> None:
    try:
        from galtro import _mcp
    except ImportError as error:
        if (error.name or "").split(".")[0] not in ("mcp", "pydantic", "anyio"):
            raise
        raise UsageError("the MCP server needs the mcp package (Python 3.10 or later); "
                         "install it with: pip install 'galtro_core[mcp]'") from None
    _mcp.run(context.args, context.state)


# --- The parser and main ---------------------------------------------------------------


def _store_options(parser: argparse.ArgumentParser, default: Any) -> None:
    parser.add_argument("--url", type=_text, default=default,
                        help="the store: sqlite:PATH, redis://... or unix://... (default: "
                        "$GALTRO_URL, else the default store)")
    parser.add_argument("--namespace", type=_text, default=default,
                        help="the namespace (default: $GALTRO_NAMESPACE, else "
                        f"{_store.DEFAULT_NAMESPACE})")
    parser.add_argument("--json", action="store_true", default=default or False,
                        help="machine-readable output")


def build_parser() -> argparse.ArgumentParser:
    """The parser of every registered subcommand."""
    parser = _Parser(
        prog="galtro",
        description="Claims, messages and statuses of cooperating agents, in a shared store.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _store_options(parser, None)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in _SUBCOMMANDS:
        sub = commands.add_parser(command.name, help=command.help, description=command.help,
                                  usage=command.usage)
        # After the subcommand, these override the ones before it only when given.
        _store_options(sub, argparse.SUPPRESS)
        sub.set_defaults(run=command.run)
        for dest, metavar in command.positionals:
            sub.add_argument(dest, metavar=metavar, type=_text)
        if command.options is not None:
            command.options(sub)
    from galtro import _init  # the coding agents' hooks: galtro hook, galtro init

    _init.add_commands(commands)
    from galtro.dashboard import _commands as dashboard  # galtro dashboard, galtro report

    dashboard.add_commands(commands)
    return parser


def _parse(parser: argparse.ArgumentParser, argv: List[str]) -> argparse.Namespace:
    """The arguments of ``argv``. For ``run``, what follows the first ``--`` is the command
    to run, ``args.program``."""
    if "--" in argv:
        split = argv.index("--")
        try:
            args = parser.parse_args(argv[:split])
        except UsageError:
            args = None
        if args is not None and args.run is _run:
            args.program = argv[split + 1:]
            return args
    return parser.parse_args(argv)


def _unreachable(url: str, error: BaseException) -> str:
    """One line for a store that cannot be reached: what failed and what to try."""
    if url.startswith(_store.REDIS_SCHEMES):
        from urllib.parse import urlsplit

        parts = urlsplit(url)
        try:
            where = (f"--port 0 --unixsocket {parts.path}" if parts.scheme == "unix"
                     else f"--port {parts.port or 6379}")
        except ValueError:  # no port number: redis-py said so already
            where = ""
        hint = f"is the server running? start it with: redis-server {where}".rstrip()
    else:
        hint = "check that the store's file can be created and written"
    return (f"cannot reach {url}: {str(error).rstrip('.')}; {hint}; or choose another "
            f"store with --url or GALTRO_URL (without them: {_store.default_url()})")


def _refusal(error: RuntimeError, as_json: bool) -> str:
    if not as_json:
        return str(error)
    return json.dumps({"error": "refused", "message": str(error),
                       "holder": getattr(error, "holder", None),
                       "resource_key": getattr(error, "resource_key", None)},
                      ensure_ascii=False)


def main(argv: Optional[Sequence[str]] = None, *,
         state: Optional[CoordinationStateLike] = None) -> int:
    """Runs the command line ``argv`` (default ``sys.argv[1:]``) and returns its exit
    status. With ``state``, the command works on that state instead of opening the store
    that ``--url`` names (a program's own in-process state, for example)."""
    out = _Output(sys.stdout)
    args: Optional[argparse.Namespace] = None
    try:
        args = _parse(build_parser(), list(sys.argv[1:] if argv is None else argv))
        status = args.run(Context(args, out, state))
        out.flush()
        return status or 0
    except UsageError as error:
        sys.stderr.write(f"galtro: {error}\n")
        return 2
    except OutputError as error:
        sys.stderr.write(f"galtro: {error}\n")
        _silence_stdout()
        return 2
    except RuntimeError as refusal:
        sys.stderr.write(_refusal(refusal, bool(args and args.json)) + "\n")
        return 1
    except KeyboardInterrupt:
        return 130
    except Exception as error:
        assert args is not None  # parsing raises only UsageError
        url = _store.resolve_url(args.url)
        if isinstance(error, connection_errors()):
            sys.stderr.write(f"galtro: {_unreachable(url, error)}\n")
            return 2
        if isinstance(error, store_failures()):
            sys.stderr.write(f"galtro: cannot use {url}: {error}\n")
            return 2
        if isinstance(error, ValueError):
            sys.stderr.write(f"galtro: {error}\n")
            return 2
        raise
