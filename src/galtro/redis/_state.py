# pyright: strict
"""The coordination state on a Redis server: the same nine methods, across processes.

``RedisCoordinationState`` (redis-py's ``redis.Redis``) and
``AsyncRedisCoordinationState`` (``redis.asyncio.Redis``) share the planning of each
call (binding, keys, arguments, the commands to send) and the decoding of each reply;
they differ only in how a command is sent, awaited or not. Key layout and scripts:
``galtro.redis._scripts``.
"""

from __future__ import annotations

import os
from typing import (TYPE_CHECKING, Any, Awaitable, Callable, Generator, Generic, Mapping, Optional, Protocol,
                    Sequence, Tuple, TypeVar, cast)

import redis
import redis.asyncio
import redis.asyncio.retry
import redis.retry
from redis.backoff import NoBackoff

from galtro._binding import bind, check_store_options, show_signatures
from galtro._protocol import Message

from . import _scripts as scripts

if TYPE_CHECKING:
    from ._reader import RedisReader

T = TypeVar("T")
C = TypeVar("C")

# Replies come back as bytes whatever the client's decode_responses and encoding:
# the texts are decoded here, as UTF-8.
_RAW: Mapping[str, Any] = {"NEVER_DECODE": True}

# One command to send: its words, and the options for the client's execute_command.
_Command = Tuple[Tuple[Any, ...], Mapping[str, Any]]
_NO_OPTIONS: Mapping[str, Any] = {}


class SyncClient(Protocol):
    """What the state needs of its client: ``redis.Redis``, ``valkey.Valkey``..."""

    def execute_command(self, *args: Any, **options: Any) -> Any: ...


class AsyncClient(Protocol):
    """What the asyncio state needs of its client: ``redis.asyncio.Redis``..."""

    def execute_command(self, *args: Any, **options: Any) -> Awaitable[Any]: ...


class UnsupportedServerError(Exception):
    """The Redis server is older than the scripts need (5.0, for streams)."""


def _decode(raw: bytes) -> str:
    return raw.decode("utf-8")


def _message(record: bytes, owner: str) -> Message:
    """(sender, owner, content, timestamp) from an inbox record."""
    stamp, length, rest = record.split(b":", 2)
    cut = int(length)
    return (_decode(rest[:cut]), owner, _decode(rest[cut:]), int(stamp))


def _message_record(message: Message) -> bytes:
    """The inbox record of a message as ``inbox`` returned it: ``_message`` reversed."""
    sender = str.encode(message[0], "utf-8")
    return b"%d:%d:%s%s" % (message[3], len(sender), sender, str.encode(message[2], "utf-8"))


def _check_holder(reply: Sequence[bytes], agent: bytes, verb: str, absent: str) -> None:
    """Raises the refusal of a renewal or a release: ``absent`` where there is no claim,
    naming the holder where the claim is another agent's."""
    if reply[0] == b"absent":
        raise RuntimeError(absent)
    if reply[0] == b"other":
        raise RuntimeError(f"{_decode(agent)} cannot {verb} a claim held by {_decode(reply[1])}")


class _Call(Generic[T]):
    """One script run: what to send, and how its reply becomes the method's result.
    ``acknowledge`` is a key to delete once the reply has arrived (a drain's request
    record, which holds the drained messages)."""

    __slots__ = ("script", "keys", "args", "finish", "acknowledge")

    def __init__(self, script: scripts.Script, keys: Sequence[bytes], args: Sequence[bytes],
                 finish: Callable[[Any], T], acknowledge: Optional[bytes] = None) -> None:
        self.script = script
        self.keys = keys
        self.args = args
        self.finish = finish
        self.acknowledge = acknowledge


class _Layout:
    """The keys of one namespace, and the plan of each method's call."""

    def __init__(self, class_name: str, namespace: str, history_maxlen: Optional[int]) -> None:
        check_store_options(namespace, history_maxlen)
        self.class_name = class_name
        self.namespace = namespace
        self.history_maxlen = history_maxlen
        self.prefix, self.claims, self.statuses, self.history, self.inbox_prefix = \
            scripts.namespace_keys(namespace)
        self.maxlen = b"%d" % (history_maxlen or 0)

    def request_key(self) -> bytes:
        """A new request id's record key: 128 random bits, unique across processes."""
        return self.prefix + b"request:" + os.urandom(16).hex().encode("ascii")

    def bind(self, method: str, args: Sequence[object], kwargs: Mapping[str, object]) \
            -> list[bytes]:
        return bind(self.class_name, method, args, kwargs)

    # --- claims ---

    def claim(self, kind: str, args: Sequence[object], kwargs: Mapping[str, object]) \
            -> _Call[str]:
        agent, name = self.bind("claim_" + kind, args, kwargs)
        on = "on task" if kind == "task" else "on"

        def finish(reply: Sequence[bytes]) -> str:
            if reply[0] != b"ok":
                raise RuntimeError(
                    f"{_decode(reply[1])} already holds claim {on} {_decode(name)}")
            return _decode(agent)

        keys = (self.claims, self.statuses, self.history, self.request_key())
        resource_key = kind.encode() + b":" + name
        return _Call(scripts.CLAIM, keys, (resource_key, agent, self.maxlen), finish)

    def renew_claim(self, args: Sequence[object], kwargs: Mapping[str, object]) -> _Call[str]:
        agent, key = self.bind("renew_claim", args, kwargs)

        def finish(reply: Sequence[bytes]) -> str:
            _check_holder(reply, agent, "renew", f"no claim on {_decode(key)} to renew")
            return _decode(agent)

        return _Call(scripts.RENEW, (self.claims, self.request_key()), (key, agent), finish)

    def release(self, args: Sequence[object], kwargs: Mapping[str, object]) -> _Call[None]:
        agent, key = self.bind("release", args, kwargs)

        def finish(reply: Sequence[bytes]) -> None:
            _check_holder(reply, agent, "release", f"no claim found for {_decode(agent)}")

        keys = (self.claims, self.statuses, self.history, self.request_key())
        return _Call(scripts.RELEASE, keys, (key, agent, self.maxlen), finish)

    # --- messages ---

    def send_message(self, args: Sequence[object], kwargs: Mapping[str, object]) \
            -> _Call[Message]:
        sender, addressee, content = self.bind("send_message", args, kwargs)

        def finish(reply: Sequence[bytes]) -> Message:
            return (_decode(sender), _decode(addressee), _decode(content), int(reply[1]))

        keys = (self.inbox_prefix + addressee, self.statuses, self.history, self.request_key())
        return _Call(scripts.SEND, keys, (sender, addressee, content, self.maxlen), finish)

    def broadcast(self, args: Sequence[object], kwargs: Mapping[str, object]) \
            -> _Call[Message]:
        sender, content = self.bind("broadcast", args, kwargs)

        def finish(reply: Sequence[bytes]) -> Message:
            return (_decode(sender), "*", _decode(content), int(reply[1]))

        keys = (self.statuses, self.history, self.request_key())
        return _Call(scripts.BROADCAST, keys,
                     (self.inbox_prefix, sender, content, self.maxlen), finish)

    def inbox(self, args: Sequence[object], kwargs: Mapping[str, object]) \
            -> _Call[list[Message]]:
        (agent,) = self.bind("inbox", args, kwargs)
        owner = _decode(agent)

        def finish(reply: Sequence[bytes]) -> list[Message]:
            return [_message(record, owner) for record in reply]

        return _Call(scripts.INBOX, (self.inbox_prefix + agent,), (), finish)

    def drain_inbox(self, args: Sequence[object], kwargs: Mapping[str, object]) \
            -> _Call[list[Message]]:
        (agent,) = self.bind("drain_inbox", args, kwargs)
        owner = _decode(agent)

        def finish(reply: Sequence[bytes]) -> list[Message]:
            return [_message(record, owner) for record in reply[1:]]

        request = self.request_key()
        return _Call(scripts.DRAIN, (self.inbox_prefix + agent, request), (), finish,
                     acknowledge=request)

    def remove_delivered(self, agent_id: str, messages: Sequence[Message]) -> _Call[None]:
        (agent,) = self.bind("inbox", (agent_id,), {})
        records = [_message_record(message) for message in messages]
        return _Call(scripts.REMOVE_DELIVERED, (self.inbox_prefix + agent,), records,
                     lambda reply: None)

    # --- status ---

    def status(self, args: Sequence[object], kwargs: Mapping[str, object]) -> _Call[str]:
        (agent,) = self.bind("status", args, kwargs)
        return _Call(scripts.STATUS, (self.statuses,), (agent,), _decode)


def _is_missing_script(error: Exception) -> bool:
    # By name, so that a compatible client's own exception classes count too.
    return type(error).__name__ == "NoScriptError"


def _check_version(info: object) -> Optional[Tuple[int, int]]:
    """The server's (major, minor) version from INFO's reply, None where it does not
    say; raises UnsupportedServerError for a server older than 5.0."""
    version: object = None
    if isinstance(info, dict):
        fields = cast("dict[object, object]", info)
        version = fields.get("redis_version", fields.get(b"redis_version"))
    if isinstance(version, bytes):
        version = version.decode("ascii", "replace")
    if version is None:
        return None  # a server that does not say is given the benefit of the doubt
    parts = str(version).split(".")
    try:
        major_minor = (int(parts[0]), int(parts[1]) if len(parts) > 1 else 0)
    except ValueError:
        return None
    if major_minor < scripts.MINIMUM_SERVER_VERSION:
        raise UnsupportedServerError(
            f"the Redis server is version {version}; the coordination state needs 5.0 or "
            "later (streams)")
    return major_minor


class _StateBase(Generic[C]):
    """What the two classes share: the client, the namespace's layout, and the commands
    of each call (``_commands``); each class sends them in its own way (``_run``).

    ``self`` is positional-only in every method, so that a keyword named ``self`` is an
    unexpected keyword, as it is for the native class."""

    __slots__ = ("_client", "_layout", "_flagged")

    def __init__(self, client: C, namespace: str = "default", *,
                 history_maxlen: Optional[int] = None) -> None:
        self._client = client
        self._layout = _Layout(type(self).__name__, namespace, history_maxlen)
        # Whether the server takes the scripts' flags (7.0 on); None until the first
        # call has read its version. A server that does not tell runs the plain forms.
        self._flagged: Optional[bool] = None

    @property
    def client(self) -> Any:
        return self._client

    @property
    def namespace(self) -> str:
        return self._layout.namespace

    @property
    def history_maxlen(self) -> Optional[int]:
        return self._layout.history_maxlen

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._client!r}, namespace={self.namespace!r})"

    def _commands(self, call: _Call[T]) -> Generator[_Command, Any, T]:
        """The commands of one call, in order: each is yielded to be sent, and its reply
        comes back from the yield, or its error is raised there. Returns the result."""
        if self._flagged is None:
            try:
                info = yield ("INFO", "server"), _NO_OPTIONS
            except redis.ResponseError:  # INFO not allowed: the scripts will tell
                info = None
            version = _check_version(info)
            self._flagged = version is not None and version >= (7, 0)
        keys = call.keys
        sha, text = call.script.form(self._flagged)
        try:
            reply = yield ("EVALSHA", sha, len(keys), *keys, *call.args), _RAW
        except Exception as error:
            if not _is_missing_script(error):
                raise
            # Not run; EVAL runs it once and caches it for the next EVALSHA.
            reply = yield ("EVAL", text, len(keys), *keys, *call.args), _RAW
        result = call.finish(reply)
        if call.acknowledge is not None:
            try:
                yield ("DEL", call.acknowledge), _NO_OPTIONS
            except Exception:  # the record lapses on its own (REQUEST_TTL_MS)
                pass
        return result


class RedisCoordinationState(_StateBase[SyncClient]):
    """The coordination state kept on a Redis server, shared by every process and
    machine that reaches it: claims with 300-second leases, inboxes, statuses and a
    history, with the methods, results and errors of ``galtro_core.CoordinationState``.

    ``client`` is a ``redis.Redis`` (or a compatible client); its ``decode_responses``
    and ``encoding`` settings do not matter. All instances on one server with the same
    ``namespace`` share one state. ``history_maxlen`` bounds the history stream
    (approximately, trimmed as it is appended); by default it grows without bound.

    Construction makes no connection. A lost connection or a timeout raises the client's
    ``ConnectionError`` or ``TimeoutError`` and the call changed everything or nothing.
    Raises ``UnsupportedServerError`` at the first call on a server older than 5.0.
    """

    __slots__ = ()

    @classmethod
    def from_url(cls, url: str, namespace: str = "default", *,
                 history_maxlen: Optional[int] = None) -> RedisCoordinationState:
        """A state on a new client for ``url`` (``redis://``, ``rediss://`` or
        ``unix://``), made with retries off."""
        client = redis.Redis.from_url(  # pyright: ignore[reportUnknownMemberType]
            url, retry=redis.retry.Retry(NoBackoff(), 0))
        return cls(client, namespace, history_maxlen=history_maxlen)

    def _run(self, call: _Call[T]) -> T:
        commands = self._commands(call)
        try:
            command = next(commands)
            while True:
                try:
                    reply = self._client.execute_command(*command[0], **command[1])
                except Exception as error:
                    command = commands.throw(error)
                else:
                    command = commands.send(reply)
        except StopIteration as done:
            return cast(T, done.value)

    def claim_file(self, /, *args: Any, **kwargs: Any) -> str:
        """Claim the file ``path`` (key ``"file:" + path``); returns ``agent_id``.

        Raises ``RuntimeError("{holder} already holds claim on {path}")`` while a lease
        is live, the caller's own included; a lapsed claim is taken over."""
        return self._run(self._layout.claim("file", args, kwargs))

    def claim_task(self, /, *args: Any, **kwargs: Any) -> str:
        """Claim the task ``task_id`` (key ``"task:" + task_id``); as ``claim_file``."""
        return self._run(self._layout.claim("task", args, kwargs))

    def renew_claim(self, /, *args: Any, **kwargs: Any) -> str:
        """Start a fresh 300-second lease on the holder's claim; returns ``agent_id``."""
        return self._run(self._layout.renew_claim(args, kwargs))

    def release(self, /, *args: Any, **kwargs: Any) -> None:
        """Release the holder's claim under ``resource_key``; the holder becomes idle."""
        return self._run(self._layout.release(args, kwargs))

    def send_message(self, /, *args: Any, **kwargs: Any) -> Message:
        """Append a message to the inbox of ``to_agent``; returns
        ``(from_agent, to_agent, content, timestamp)``."""
        return self._run(self._layout.send_message(args, kwargs))

    def broadcast(self, /, *args: Any, **kwargs: Any) -> Message:
        """Deliver a message to every agent with a status, the sender included; returns
        ``(from_agent, "*", content, timestamp)``."""
        return self._run(self._layout.broadcast(args, kwargs))

    def inbox(self, /, *args: Any, **kwargs: Any) -> list[Message]:
        """Pending messages for ``agent_id``, oldest first, without removing them."""
        return self._run(self._layout.inbox(args, kwargs))

    def drain_inbox(self, /, *args: Any, **kwargs: Any) -> list[Message]:
        """Remove and return the pending messages for ``agent_id``, oldest first."""
        return self._run(self._layout.drain_inbox(args, kwargs))

    def status(self, /, *args: Any, **kwargs: Any) -> str:
        """The agent's status; ``"idle"`` for an agent never seen."""
        return self._run(self._layout.status(args, kwargs))

    def _remove_delivered(self, agent_id: str, messages: Sequence[Message]) -> None:
        """Removes ``messages``, as ``inbox(agent_id)`` returned them, from the front of
        that inbox: the longest tail of them that still stands there, so that none is
        delivered twice and nothing that arrived after them is removed."""
        if messages:
            self._run(self._layout.remove_delivered(agent_id, messages))

    def _evaluate(self, script: scripts.Script, keys: Sequence[bytes],
                  args: Sequence[bytes]) -> Any:
        """The raw reply of ``script``, run as the methods run theirs (EVALSHA)."""
        return self._run(_Call(script, keys, args, lambda reply: reply))

    def _reader(self) -> RedisReader:
        """The read-only views of this state (``galtro._inspect``)."""
        from ._reader import RedisReader

        return RedisReader(self)


class AsyncRedisCoordinationState(_StateBase[AsyncClient]):
    """``RedisCoordinationState`` on redis-py's asyncio client (``redis.asyncio.Redis``):
    the same nine methods, as coroutines, with the same results and errors."""

    __slots__ = ()

    @classmethod
    def from_url(cls, url: str, namespace: str = "default", *,
                 history_maxlen: Optional[int] = None) -> AsyncRedisCoordinationState:
        """A state on a new asyncio client for ``url``, made with retries off."""
        client = redis.asyncio.Redis.from_url(  # pyright: ignore[reportUnknownMemberType]
            url, retry=redis.asyncio.retry.Retry(NoBackoff(), 0))
        return cls(client, namespace, history_maxlen=history_maxlen)

    async def _run(self, call: _Call[T]) -> T:
        commands = self._commands(call)
        try:
            command = next(commands)
            while True:
                try:
                    reply = await self._client.execute_command(*command[0], **command[1])
                except Exception as error:
                    command = commands.throw(error)
                else:
                    command = commands.send(reply)
        except StopIteration as done:
            return cast(T, done.value)

    async def claim_file(self, /, *args: Any, **kwargs: Any) -> str:
        """As ``RedisCoordinationState.claim_file``, awaited."""
        return await self._run(self._layout.claim("file", args, kwargs))

    async def claim_task(self, /, *args: Any, **kwargs: Any) -> str:
        """As ``RedisCoordinationState.claim_task``, awaited."""
        return await self._run(self._layout.claim("task", args, kwargs))

    async def renew_claim(self, /, *args: Any, **kwargs: Any) -> str:
        """As ``RedisCoordinationState.renew_claim``, awaited."""
        return await self._run(self._layout.renew_claim(args, kwargs))

    async def release(self, /, *args: Any, **kwargs: Any) -> None:
        """As ``RedisCoordinationState.release``, awaited."""
        return await self._run(self._layout.release(args, kwargs))

    async def send_message(self, /, *args: Any, **kwargs: Any) -> Message:
        """As ``RedisCoordinationState.send_message``, awaited."""
        return await self._run(self._layout.send_message(args, kwargs))

    async def broadcast(self, /, *args: Any, **kwargs: Any) -> Message:
        """As ``RedisCoordinationState.broadcast``, awaited."""
        return await self._run(self._layout.broadcast(args, kwargs))

    async def inbox(self, /, *args: Any, **kwargs: Any) -> list[Message]:
        """As ``RedisCoordinationState.inbox``, awaited."""
        return await self._run(self._layout.inbox(args, kwargs))

    async def drain_inbox(self, /, *args: Any, **kwargs: Any) -> list[Message]:
        """As ``RedisCoordinationState.drain_inbox``, awaited."""
        return await self._run(self._layout.drain_inbox(args, kwargs))

    async def status(self, /, *args: Any, **kwargs: Any) -> str:
        """As ``RedisCoordinationState.status``, awaited."""
        return await self._run(self._layout.status(args, kwargs))

    async def _remove_delivered(self, agent_id: str, messages: Sequence[Message]) -> None:
        """As ``RedisCoordinationState._remove_delivered``, awaited."""
        if messages:
            await self._run(self._layout.remove_delivered(agent_id, messages))


show_signatures(RedisCoordinationState, AsyncRedisCoordinationState)
