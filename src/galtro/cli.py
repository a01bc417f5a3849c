# pyright: strict
"""The ``galtro`` command: the coordination state on a Redis server, from a shell.

    galtro [--url URL] [--namespace NS] [--json] COMMAND ...

Exit status: 0 on success; 1 when a claim operation is refused (its message, exactly,
on standard error); 2 on a usage error or when the server cannot be used (one line on
standard error).
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import sys
import time
from typing import Any, Callable, Dict, List, NoReturn, Optional, Sequence, TextIO, cast

from galtro import _inspect, _operations, _store
from galtro._lease import connection_errors
from galtro._paths import file_key
from galtro._protocol import CoordinationStateLike, Message

__all__ = ["main"]

DEFAULT_URL = _store.default_url()
DEFAULT_NAMESPACE = _store.DEFAULT_NAMESPACE

EPILOG = """\
exit status:
  0  success
  1  a claim operation was refused; its message is on standard error
  2  usage error, or the server could not be reached or used

environment:
  GALTRO_URL        the server, when --url is not given (default %s)
  GALTRO_NAMESPACE  the namespace, when --namespace is not given (default %s)

hooks of a coding agent, before and after an edit:
  galtro claim-file --root "$REPO" "$AGENT" "$FILE" || exit 1
  galtro release --root "$REPO" "$AGENT" "file:$FILE"
""" % (DEFAULT_URL, DEFAULT_NAMESPACE)


class UsageError(Exception):
    """A mistake in the command line; exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {self.prog} --help)")


# --- Plain-text output ------------------------------------------------------------


def _clock(seconds: int) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seconds))


def _duration(seconds: float) -> str:
    whole = int(seconds)
    minutes, rest = divmod(whole, 60)
    return f"{minutes}m{rest:02d}s" if minutes else f"{rest}s"


def _table(out: TextIO, header: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    for row in [header, *rows]:  # the header first
        cells = [cell.ljust(width) for cell, width in zip(row, widths)]
        out.write("  ".join(cells).rstrip() + "\n")


def _message_dict(message: Message) -> Dict[str, Any]:
    from_agent, to_agent, content, timestamp = message
    return {"from_agent": from_agent, "to_agent": to_agent, "content": content,
            "timestamp": timestamp}


def _message_line(message: Message) -> str:
    from_agent, to_agent, content, timestamp = message
    return f"{_clock(timestamp)}  {from_agent} -> {to_agent}: {content}"


def _event_dict(event: _inspect.Event) -> Dict[str, Any]:
    return dataclasses.asdict(event)


def _event_line(event: _inspect.Event) -> str:
    fields = " ".join(f"{name}={value!r}" for name, value in event.fields.items())
    return f"{_clock(event.time)}  {event.kind}  {fields}"


# --- Commands ---------------------------------------------------------------------


class _Command:
    """One run: the parsed arguments, the state (made on first use) and the output."""

    def __init__(self, args: argparse.Namespace, connect: Callable[[], CoordinationStateLike],
                 out: TextIO) -> None:
        self.args = args
        self._connect = connect
        self._state: Optional[CoordinationStateLike] = None
        self.out = out

    @property
    def state(self) -> CoordinationStateLike:
        if self._state is None:
            self._state = self._connect()
        return self._state

    @property
    def json(self) -> bool:
        return bool(self.args.json)

    def emit(self, data: Any, text: str) -> None:
        if self.json:
            self.out.write(json.dumps(data, ensure_ascii=False) + "\n")
        elif text:
            self.out.write(text + "\n")

    def claim(self, kind: str, name: str) -> None:
        agent = self.args.agent
        _operations.claim(self.state, agent, kind, name)
        key = f"{kind}:{name}"
        self.emit({"resource_key": key, "holder": agent}, key)

    def _file(self, path: str) -> str:
        """``path`` named by ``file_key`` under ``--root``, if given."""
        if self.args.root is None:
            return path
        try:
            return file_key(self.args.root, path)
        except ValueError as error:
            raise UsageError(str(error)) from None

    def _key(self) -> str:
        key: str = self.args.key
        if key.startswith("file:"):
            return "file:" + self._file(key[len("file:") :])
        return key

    def claim_file(self) -> None:
        self.claim("file", self._file(self.args.path))

    def claim_task(self) -> None:
        self.claim("task", self.args.task)

    def renew(self) -> None:
        key = self._key()
        _operations.renew(self.state, self.args.agent, key)
        self.emit({"resource_key": key, "holder": self.args.agent}, key)

    def release(self) -> None:
        key = self._key()
        _operations.release(self.state, self.args.agent, key)
        self.emit({"resource_key": key, "released": True}, key)

    def send(self) -> None:
        message = self.state.send_message(self.args.sender, self.args.recipient,
                                          self.args.content)
        self.emit(_message_dict(message), _message_line(message))

    def broadcast(self) -> None:
        message = self.state.broadcast(self.args.sender, self.args.content)
        self.emit(_message_dict(message), _message_line(message))

    def inbox(self) -> None:
        self._messages(self.state.inbox(self.args.agent))

    def drain(self) -> None:
        self._messages(self.state.drain_inbox(self.args.agent))

    def _messages(self, messages: List[Message]) -> None:
        self.emit([_message_dict(m) for m in messages],
                  "\n".join(_message_line(m) for m in messages))

    def status(self) -> None:
        status = self.state.status(self.args.agent)
        self.emit({"agent_id": self.args.agent, "status": status}, status)

    def claims(self) -> None:
        claims = _inspect.claims(self._readable())
        now = time.time()
        rows = [
            [c.resource_key, c.holder,
             "expired" if c.expired else _duration(max(0.0, c.expires_at - now)),
             _clock(c.renewed_at)]
            for c in claims
        ]
        if self.json:
            self.emit([dataclasses.asdict(c) for c in claims], "")
        else:
            _table(self.out, ["KEY", "HOLDER", "LEFT", "RENEWED"], rows)

    def agents(self) -> None:
        readable = self._readable()
        agents = _inspect.agents(readable)
        sizes = _inspect.inbox_sizes(readable)
        if self.json:
            self.emit([{"agent_id": a.agent_id, "status": a.status,
                        "inbox": sizes.get(a.agent_id, 0)} for a in agents], "")
        else:
            _table(self.out, ["AGENT", "STATUS", "INBOX"],
                   [[a.agent_id, a.status, str(sizes.get(a.agent_id, 0))] for a in agents])

    def history(self) -> None:
        events = _inspect.history(self._readable(), self.args.since, self.args.count)
        self.emit([_event_dict(e) for e in events], "\n".join(_event_line(e) for e in events))

    def watch(self) -> None:
        try:
            self._follow()
        except KeyboardInterrupt:  # the way to stop it
            pass

    def _follow(self) -> None:
        # Events of the second last shown come again with the next read; the ones already
        # shown are at its front, in order, and are skipped.
        readable = self._readable()
        since = self.args.since if self.args.since is not None else time.time()
        last_time: Optional[int] = None
        shown_at_last = 0
        while True:
            events = _inspect.history(readable, last_time if last_time is not None else since)
            if last_time is not None:
                skip = 0
                while skip < min(shown_at_last, len(events)) and events[skip].time == last_time:
                    skip += 1
                events = events[skip:]
            for event in events:
                if self.json:
                    self.out.write(json.dumps(_event_dict(event), ensure_ascii=False) + "\n")
                else:
                    self.out.write(_event_line(event) + "\n")
                if event.time == last_time:
                    shown_at_last += 1
                else:
                    last_time, shown_at_last = event.time, 1
            self.out.flush()
            time.sleep(self.args.interval)

    def _readable(self) -> _inspect.State:
        return cast(_inspect.State, self.state)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="galtro",
        description="Claims, messages and statuses of cooperating agents, on a Redis server.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--url", default=os.environ.get("GALTRO_URL") or DEFAULT_URL,
                        help="the server (default: $GALTRO_URL, else %(default)s)")
    parser.add_argument("--namespace", default=os.environ.get("GALTRO_NAMESPACE")
                        or DEFAULT_NAMESPACE,
                        help="the namespace (default: $GALTRO_NAMESPACE, else %(default)s)")
    parser.add_argument("--json", action="store_true", help="machine-readable output")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, run: Callable[[_Command], None], help: str,
                **positionals: str) -> argparse.ArgumentParser:
        """A subcommand, with its positional arguments given as name=METAVAR, in order."""
        sub = commands.add_parser(name, help=help, description=help)
        sub.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                         help="machine-readable output")
        sub.set_defaults(run=run)
        for dest, metavar in positionals.items():
            sub.add_argument(dest, metavar=metavar)
        return sub

    sub = command("claim-file", _Command.claim_file, "claim a file for an agent",
                  agent="AGENT", path="PATH")
    sub.add_argument("--root", help="repository root: PATH is named relative to it")
    command("claim-task", _Command.claim_task, "claim a task for an agent",
            agent="AGENT", task="TASK")
    for name, run, verb in (("renew", _Command.renew, "renew"),
                            ("release", _Command.release, "release")):
        sub = command(name, run, f"{verb} an agent's claim (KEY is file:PATH or task:ID)",
                      agent="AGENT", key="KEY")
        sub.add_argument("--root", help="repository root: the PATH of file:PATH is named "
                         "relative to it")
    command("send", _Command.send, "send a message to one agent",
            sender="FROM", recipient="TO", content="CONTENT")
    command("broadcast", _Command.broadcast, "send a message to every known agent",
            sender="FROM", content="CONTENT")
    for name, run, help in (("inbox", _Command.inbox, "list an agent's pending messages"),
                            ("drain", _Command.drain, "take out an agent's pending messages"),
                            ("status", _Command.status, "show an agent's status")):
        command(name, run, help, agent="AGENT")
    command("claims", _Command.claims, "list the claims with the time left on each lease")
    command("agents", _Command.agents, "list the agents with their status and inbox size")
    sub = command("history", _Command.history, "list the history, oldest first")
    sub.add_argument("--since", type=float, help="from this Unix second on")
    sub.add_argument("--count", type=int, help="at most this many events")
    sub = command("watch", _Command.watch, "follow new history events until interrupted")
    sub.add_argument("--since", type=float, help="from this Unix second on (default: now)")
    sub.add_argument("--interval", type=float, default=1.0,
                     help="seconds between reads (default %(default)s)")
    from galtro.dashboard import _commands as dashboard  # galtro dashboard, galtro report

    dashboard.add_commands(commands)
    return parser


def _connect(url: str, namespace: str) -> CoordinationStateLike:
    try:
        return _store.open_state(url, namespace)
    except _store.StoreError as error:
        raise UsageError(str(error)) from None


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line ``argv`` (default ``sys.argv[1:]``); returns the exit status."""
    parser = build_parser()
    url = ""
    try:
        args = parser.parse_args(argv)
        url = args.url
        if args.command in ("history", "watch") and args.since is not None and args.since < 0:
            raise UsageError("--since must not be negative")
        if args.command == "history" and args.count is not None and args.count < 0:
            raise UsageError("--count must not be negative")
        command = _Command(args, lambda: _connect(args.url, args.namespace), sys.stdout)
        args.run(command)
        sys.stdout.flush()
        return 0
    except UsageError as error:
        sys.stderr.write(f"galtro: {error}\n")
        return 2
    except RuntimeError as refusal:
        sys.stderr.write(f"{refusal}\n")
        return 1
    except KeyboardInterrupt:
        return 130
    except ValueError as error:
        sys.stderr.write(f"galtro: {error}\n")
        return 2
    except Exception as error:
        if isinstance(error, connection_errors()) or _is_redis_error(error):
            sys.stderr.write(f"galtro: cannot use {url}: {error}\n")
            return 2
        raise


def _is_redis_error(error: BaseException) -> bool:
    """Whether ``error`` comes from the server or the client: a Redis error, or a server
    too old for the scripts."""
    try:
        import redis.exceptions

        from galtro.redis_state import UnsupportedServerError
    except ImportError:
        return False
    return isinstance(error, (redis.exceptions.RedisError, UnsupportedServerError))
