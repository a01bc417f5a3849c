# pyright: strict
"""The coordination state in one SQLite file, shared by every process of one machine.

Every writing method is one ``BEGIN IMMEDIATE`` transaction: it takes the file's write
lock before it reads, so a decision and its writes are atomic across processes. Reads
(``inbox``, ``status``) are one statement each and see one committed moment. The file
runs in write-ahead-log mode, with ``synchronous=NORMAL`` (``FULL`` with
``durable=True``).

Each call reads the host's real-time clock once, in whole seconds, and uses that second
for every time stamp it writes; the processes of one machine share that clock.

Ids, keys, paths and contents are stored as their UTF-8 bytes (``BLOB``), so NUL, the
empty text and any character come back exactly. Every row carries its namespace, so
namespaces in one file never see each other. The layout is ``SCHEMA``; the file is
marked as ours by ``PRAGMA application_id`` and its layout version by
``PRAGMA user_version``.
"""

from __future__ import annotations

import os
import sqlite3
import threading
import time
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from galtro._binding import bind, check_store_options, show_signatures
from galtro._protocol import LEASE_SECONDS, Message
from galtro._store import sqlite_path

if TYPE_CHECKING:
    from ._reader import SqliteReader

__all__ = ["SqliteCoordinationState", "StateFileError", "SCHEMA", "SCHEMA_VERSION",
           "APPLICATION_ID", "LEASE_SECONDS"]


APPLICATION_ID = 0x67616C74  # "galt", in the file's header
SCHEMA_VERSION = 1

# history.kind: the event kinds, by their number in the file.
KINDS: Tuple[str, ...] = ("claimed", "released", "message_sent", "broadcast")
_CLAIMED, _RELEASED, _MESSAGE_SENT, _BROADCAST = range(4)

# The layout, one statement each, with its version and mark.
SCHEMA: Tuple[str, ...] = (
    # Claims: one row per resource key; live before renewed_at + LEASE_SECONDS.
    """CREATE TABLE claims (
        namespace BLOB NOT NULL,
        resource_key BLOB NOT NULL,
        holder BLOB NOT NULL,
        claimed_at INTEGER NOT NULL,
        renewed_at INTEGER NOT NULL,
        PRIMARY KEY (namespace, resource_key)
    ) WITHOUT ROWID""",
    # Statuses, "idle" or "busy". Its agents are the recipients of a broadcast: those
    # of seq above their `since`, the last seq of the history when the agent became
    # known, then the last seq it took out of its inbox.
    """CREATE TABLE statuses (
        namespace BLOB NOT NULL,
        agent BLOB NOT NULL,
        status TEXT NOT NULL,
        since INTEGER NOT NULL,
        PRIMARY KEY (namespace, agent)
    ) WITHOUT ROWID""",
    # Direct messages, pending in their owner's inbox. Every message carries the seq
    # of the history event that sent it, so an inbox (its direct messages and the
    # broadcasts it has not taken out) reads in seq order, oldest first.
    """CREATE TABLE messages (
        namespace BLOB NOT NULL,
        owner BLOB NOT NULL,
        seq INTEGER NOT NULL,
        sender BLOB NOT NULL,
        content BLOB NOT NULL,
        stamp INTEGER NOT NULL,
        PRIMARY KEY (namespace, owner, seq)
    ) WITHOUT ROWID""",
    # Broadcasts, stored once for all their recipients; removed when every known
    # agent has taken them out.
    """CREATE TABLE broadcasts (
        namespace BLOB NOT NULL,
        seq INTEGER NOT NULL,
        sender BLOB NOT NULL,
        content BLOB NOT NULL,
        stamp INTEGER NOT NULL,
        PRIMARY KEY (namespace, seq)
    ) WITHOUT ROWID""",
    # History: seq counts the events of one namespace from 1 without gaps (retention
    # removes the oldest only), so a reader that follows it can count what it missed.
    # a, b and c are the event's texts in the order of EVENT_FIELDS (c is NULL for
    # the kinds with two).
    """CREATE TABLE history (
        namespace BLOB NOT NULL,
        seq INTEGER NOT NULL,
        kind INTEGER NOT NULL,
        time INTEGER NOT NULL,
        a BLOB NOT NULL,
        b BLOB NOT NULL,
        c BLOB,
        PRIMARY KEY (namespace, seq)
    ) WITHOUT ROWID""",
    f"PRAGMA application_id = {APPLICATION_ID}",
    f"PRAGMA user_version = {SCHEMA_VERSION}",
)

_SELECT_CLAIM = ("SELECT holder, claimed_at, renewed_at FROM claims"
                 " WHERE namespace = ? AND resource_key = ?")
_PUT_CLAIM = ("INSERT OR REPLACE INTO claims (namespace, resource_key, holder, claimed_at,"
              " renewed_at) VALUES (?, ?, ?, ?, ?)")
_DELETE_CLAIM = "DELETE FROM claims WHERE namespace = ? AND resource_key = ?"
# The last seq of the history of namespace ?1 (0 before the first event): retention
# always keeps the newest event. A message carries the next one, that of its event.
_LAST_SEQ = "coalesce((SELECT max(seq) FROM history WHERE namespace = ?1), 0)"
_SET_STATUS = ("INSERT INTO statuses (namespace, agent, status, since)"
               f" VALUES (?1, ?2, ?3, {_LAST_SEQ})"
               " ON CONFLICT (namespace, agent) DO UPDATE SET status = excluded.status")
_ENSURE_STATUS = ("INSERT OR IGNORE INTO statuses (namespace, agent, status, since)"
                  f" VALUES (?1, ?2, 'idle', {_LAST_SEQ})")
_SELECT_STATUS = "SELECT status FROM statuses WHERE namespace = ? AND agent = ?"
_APPEND_EVENT = ("INSERT INTO history (namespace, seq, kind, time, a, b, c)"
                 f" VALUES (?1, {_LAST_SEQ} + 1, ?2, ?3, ?4, ?5, ?6)")
_TRIM_HISTORY = ("DELETE FROM history WHERE namespace = ?1 AND seq <="
                 " (SELECT max(seq) FROM history WHERE namespace = ?1) - ?2")
_PUT_MESSAGE = ("INSERT INTO messages (namespace, owner, seq, sender, content, stamp)"
                f" VALUES (?1, ?2, {_LAST_SEQ} + 1, ?3, ?4, ?5)")
_PUT_BROADCAST = ("INSERT INTO broadcasts (namespace, seq, sender, content, stamp)"
                  f" VALUES (?1, {_LAST_SEQ} + 1, ?2, ?3, ?4)")
# An inbox: (seq, sender, content, stamp) of namespace ?1 and owner ?2, oldest first.
_SELECT_INBOX = ("SELECT seq, sender, content, stamp FROM messages"
                 " WHERE namespace = ?1 AND owner = ?2"
                 " UNION ALL SELECT seq, sender, content, stamp FROM broadcasts"
                 " WHERE namespace = ?1 AND seq >"
                 " (SELECT since FROM statuses WHERE namespace = ?1 AND agent = ?2)"
                 " ORDER BY seq")
# Taking out the front of an inbox, up to seq ?3; then the broadcasts every agent took.
_DELETE_UP_TO = "DELETE FROM messages WHERE namespace = ?1 AND owner = ?2 AND seq <= ?3"
_ADVANCE = ("UPDATE statuses SET since = ?3"
            " WHERE namespace = ?1 AND agent = ?2 AND since < ?3")
_FORGET_BROADCASTS = ("DELETE FROM broadcasts WHERE namespace = ?1 AND seq <="
                      " (SELECT min(since) FROM statuses WHERE namespace = ?1)")


def _numbered(*values: object) -> Dict[str, object]:
    """The values of a statement with numbered parameters (``?1``, ``?2``...), by number:
    the sqlite3 module binds those by name, and takes a sequence for them only with a
    deprecation warning (an error from Python 3.14 on)."""
    return {str(number): value for number, value in enumerate(values, 1)}

# The log is copied into the file (a checkpoint, which syncs both) once it holds this
# many pages (of 4 KiB), rather than SQLite's 1000: a call writes about three pages,
# and the syncs of a checkpoint cost more than the copying.
_CHECKPOINT_PAGES = 4000

# SQLite's result codes for a lock that could not be had.
_BUSY_CODES = (5, 6)  # SQLITE_BUSY, SQLITE_LOCKED

# Connections of a parent process, seen in a forked child. They are never used there
# and never closed there (closing one could end the parent's locks or checkpoint the
# log under it); they are kept so that they are not collected.
_inherited: List[sqlite3.Connection] = []


class StateFileError(Exception):
    """The file cannot hold the coordination state: it is not a SQLite database, it is
    one of another program or of a newer galtro, or it cannot be created or written.
    The message names the file. Nothing in the file was changed."""


def _is_busy(error: sqlite3.OperationalError) -> bool:
    code = getattr(error, "sqlite_errorcode", None)
    if isinstance(code, int):
        return code & 0xFF in _BUSY_CODES
    text = str(error)
    return "locked" in text or "busy" in text


def _decode(raw: bytes) -> str:
    return raw.decode("utf-8")


def _messages(owner: bytes, rows: List[Any]) -> List[Message]:
    """Inbox rows (seq, sender, content, stamp) as the methods return them."""
    owner_text = _decode(owner)
    return [(_decode(sender), owner_text, _decode(content), stamp)
            for _, sender, content, stamp in rows]


def _check_options(namespace: object, timeout: object, history_maxlen: object) -> None:
    check_store_options(namespace, history_maxlen)
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError("timeout must be a number of seconds")
    if not timeout >= 0:
        raise ValueError("timeout must not be negative")


def _create_file(path: str) -> None:
    """Creates ``path``, empty and readable and writable by its owner only, and its
    folder (owner only) if that is missing. An existing file is left as it is."""
    if os.path.exists(path):
        return
    folder = os.path.dirname(path)
    try:
        if folder and not os.path.isdir(folder):
            os.makedirs(folder, mode=0o700, exist_ok=True)
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        return
    except OSError as error:
        raise StateFileError(f"cannot create the state file {path}: {error.strerror}") from None
    os.close(descriptor)


class _Store:
    """One file's connections: one per thread, made again in a forked child."""

    def __init__(self, path: str, timeout: float, durable: bool) -> None:
        self.path = path
        self.timeout = timeout
        self.durable = durable
        self._local = threading.local()

    @property
    def last_inbox(self) -> Optional[Tuple[bytes, List[Message], List[int]]]:
        """This thread's last ``inbox`` read: owner, messages and their seq."""
        return getattr(self._local, "last_inbox", None)

    @last_inbox.setter
    def last_inbox(self, value: Tuple[bytes, List[Message], List[int]]) -> None:
        self._local.last_inbox = value

    def connection(self) -> sqlite3.Connection:
        local = self._local
        connection: Optional[sqlite3.Connection] = getattr(local, "connection", None)
        if connection is not None and local.pid == os.getpid():
            return connection
        if connection is not None:
            _inherited.append(connection)
        connection = self._open()
        local.connection, local.pid = connection, os.getpid()
        return connection

    def _open(self) -> sqlite3.Connection:
        _create_file(self.path)
        try:
            connection = sqlite3.connect(self.path, timeout=self.timeout, isolation_level=None,
                                         check_same_thread=False)
        except sqlite3.Error as error:
            raise StateFileError(f"cannot open the state file {self.path}: {error}") from None
        try:
            self._prepare(connection)
        except BaseException:
            connection.close()
            raise
        return connection

    def _prepare(self, connection: sqlite3.Connection) -> None:
        """Checks the file before anything writes to it, then switches it to the
        write-ahead log and creates the schema in a new file."""
        path = self.path
        try:
            # The first statement reads: a file that is not ours fails here, unchanged.
            version = connection.execute("PRAGMA user_version").fetchone()[0]
            application = connection.execute("PRAGMA application_id").fetchone()[0]
            new = application == 0 and version == 0 and connection.execute(
                "SELECT count(*) FROM sqlite_master").fetchone()[0] == 0
        except sqlite3.OperationalError as error:
            if _is_busy(error):
                raise self.timed_out() from None
            raise StateFileError(f"cannot use the state file {path}: {error}") from None
        except sqlite3.DatabaseError as error:
            raise StateFileError(
                f"{path} is not a galtro state file: {error}; name another file") from None
        if not new:
            if application != APPLICATION_ID:
                raise StateFileError(f"{path} is a SQLite database of another program, not a "
                                     "galtro state file; name another file")
            if version > SCHEMA_VERSION:
                raise StateFileError(f"{path} was written by a newer galtro (layout version "
                                     f"{version}, this one knows {SCHEMA_VERSION}); upgrade "
                                     "galtro to use it")
            if version < SCHEMA_VERSION:
                raise StateFileError(f"{path} has an unknown layout version {version}")
        try:
            connection.execute("PRAGMA journal_mode = WAL")
            connection.execute("PRAGMA synchronous = " + ("FULL" if self.durable else "NORMAL"))
            connection.execute(f"PRAGMA wal_autocheckpoint = {_CHECKPOINT_PAGES}")
            if new:
                with _Transaction(self, connection):
                    # Another process may have made it since the check.
                    if connection.execute("PRAGMA application_id").fetchone()[0] == 0:
                        for statement in SCHEMA:
                            connection.execute(statement)
        except sqlite3.OperationalError as error:
            if _is_busy(error):
                raise self.timed_out() from None
            raise StateFileError(f"cannot write the state file {path}: {error}") from None

    def timed_out(self) -> TimeoutError:
        return TimeoutError(f"the state file {self.path} stayed locked by another process "
                            f"for {self.timeout:g} s; nothing was changed")


class _Transaction:
    """``BEGIN IMMEDIATE`` ... ``COMMIT``, rolled back on any exception; a lock that
    cannot be had within the store's timeout is ``TimeoutError``."""

    __slots__ = ("_store", "_connection")

    def __init__(self, store: _Store, connection: sqlite3.Connection) -> None:
        self._store = store
        self._connection = connection

    def __enter__(self) -> sqlite3.Connection:
        try:
            self._connection.execute("BEGIN IMMEDIATE")
        except sqlite3.OperationalError as error:
            if _is_busy(error):
                raise self._store.timed_out() from None
            raise
        return self._connection

    def __exit__(self, kind: Optional[type], error: Optional[BaseException],
                 traceback: Any) -> None:
        connection = self._connection
        if kind is None:
            try:
                connection.execute("COMMIT")
                return
            except sqlite3.Error as failure:
                error = failure
        if connection.in_transaction:
            connection.execute("ROLLBACK")
        if isinstance(error, sqlite3.OperationalError) and _is_busy(error):
            raise self._store.timed_out() from None
        if isinstance(error, sqlite3.Error):  # a read-only file, a full disk...
            raise StateFileError(
                f"cannot write the state file {self._store.path}: {error}") from error


class SqliteCoordinationState:
    """The coordination state kept in one SQLite file, shared by every process of one
    machine that opens it: claims with 300-second leases, inboxes, statuses and a
    history, with the methods, results and errors of ``galtro_core.CoordinationState``.

    ``path`` is the file; a missing file is created (readable and writable by its owner
    only, as is a missing folder). All instances on one file with the same
    ``namespace`` share one state. ``timeout`` is how many seconds a call waits for
    another process's write to finish before it raises ``TimeoutError`` (naming the
    file, having changed nothing). ``durable=True`` makes each write survive an
    operating system crash or power loss (``synchronous=FULL``); by default it survives
    the death of any process (``synchronous=NORMAL``). ``history_maxlen`` keeps the
    newest events of the namespace only; by default the history grows without bound.

    Construction opens and checks the file: ``StateFileError`` if it cannot hold the
    state. One instance may be used from many threads, and in a forked child.
    The file must be on a local disk: SQLite's locks do not work on network file
    systems.
    """

    __slots__ = ("_store", "_namespace", "_history_maxlen", "_class_name", "__weakref__")

    def __init__(self, path: "str | os.PathLike[str]", namespace: str = "default", *,
                 timeout: float = 10.0, history_maxlen: Optional[int] = None,
                 durable: bool = False) -> None:
        _check_options(namespace, timeout, history_maxlen)
        self._store = _Store(os.path.abspath(os.fspath(path)), float(timeout), bool(durable))
        self._namespace = str.encode(namespace, "utf-8")
        self._history_maxlen = history_maxlen
        self._class_name = type(self).__name__
        self._store.connection()

    @classmethod
    def from_url(cls, url: str, namespace: str = "default", *, timeout: float = 10.0,
                 history_maxlen: Optional[int] = None,
                 durable: bool = False) -> SqliteCoordinationState:
        """A state on the file of ``url``: ``sqlite:///absolute/path`` or
        ``sqlite:relative/path``."""
        return cls(sqlite_path(url), namespace, timeout=timeout, history_maxlen=history_maxlen,
                   durable=durable)

    @property
    def path(self) -> str:
        """The file, as an absolute path."""
        return self._store.path

    @property
    def namespace(self) -> str:
        return _decode(self._namespace)

    @property
    def history_maxlen(self) -> Optional[int]:
        return self._history_maxlen

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.path!r}, namespace={self.namespace!r})"

    # --- plumbing ---

    def _bind(self, method: str, args: Sequence[object],
              kwargs: Mapping[str, object]) -> List[bytes]:
        return bind(self._class_name, method, args, kwargs)

    def _write(self) -> _Transaction:
        return _Transaction(self._store, self._store.connection())

    def _append(self, connection: sqlite3.Connection, kind: int, now: int, a: bytes, b: bytes,
                c: Optional[bytes] = None) -> None:
        namespace = self._namespace
        connection.execute(_APPEND_EVENT, _numbered(namespace, kind, now, a, b, c))
        if self._history_maxlen is not None:
            connection.execute(_TRIM_HISTORY, _numbered(namespace, self._history_maxlen))

    def _read(self, sql: str, parameters: "Sequence[object] | Mapping[str, object]") -> List[Any]:
        """The rows of one read statement; busy is ``TimeoutError``."""
        try:
            return self._store.connection().execute(sql, parameters).fetchall()
        except sqlite3.OperationalError as error:
            if _is_busy(error):
                raise self._store.timed_out() from None
            raise

    # --- claims ---

    def _claim(self, kind: str, args: Sequence[object], kwargs: Mapping[str, object]) -> str:
        agent, name = self._bind("claim_" + kind, args, kwargs)
        key = kind.encode("ascii") + b":" + name
        namespace = self._namespace
        now = int(time.time())
        with self._write() as connection:
            row = connection.execute(_SELECT_CLAIM, (namespace, key)).fetchone()
            if row is not None:
                holder, claimed_at, renewed_at = row
                if max(0, now - max(claimed_at, renewed_at)) < LEASE_SECONDS:
                    on = "on task" if kind == "task" else "on"
                    raise RuntimeError(
                        f"{_decode(holder)} already holds claim {on} {_decode(name)}")
            connection.execute(_PUT_CLAIM, (namespace, key, agent, now, now))
            connection.execute(_SET_STATUS, _numbered(namespace, agent, "busy"))
            self._append(connection, _CLAIMED, now, agent, key)
            if row is not None:
                self._append(connection, _RELEASED, now, row[0], key)
        return _decode(agent)

    def claim_file(self, /, *args: Any, **kwargs: Any) -> str:
        """Claim the file ``path`` (key ``"file:" + path``); returns ``agent_id``.

        Raises ``RuntimeError("{holder} already holds claim on {path}")`` while a lease
        is live, the caller's own included; a lapsed claim is taken over."""
        return self._claim("file", args, kwargs)

    def claim_task(self, /, *args: Any, **kwargs: Any) -> str:
        """Claim the task ``task_id`` (key ``"task:" + task_id``); as ``claim_file``."""
        return self._claim("task", args, kwargs)

    def _change_held(self, method: str, args: Sequence[object], kwargs: Mapping[str, object],
                     change: Callable[[sqlite3.Connection, bytes, bytes, int], None]) -> str:
        """Renewal or release: ``change(connection, agent, key, now)`` runs in the
        transaction once the caller is found to hold the claim, else the refusal."""
        agent, key = self._bind(method, args, kwargs)
        now = int(time.time())
        with self._write() as connection:
            row = connection.execute(_SELECT_CLAIM, (self._namespace, key)).fetchone()
            if row is None:
                raise RuntimeError(f"no claim on {_decode(key)} to renew" if method == "renew_claim"
                                   else f"no claim found for {_decode(agent)}")
            if row[0] != agent:
                verb = "renew" if method == "renew_claim" else "release"
                raise RuntimeError(
                    f"{_decode(agent)} cannot {verb} a claim held by {_decode(row[0])}")
            change(connection, agent, key, now)
        return _decode(agent)

    def _renew(self, connection: sqlite3.Connection, agent: bytes, key: bytes, now: int) -> None:
        connection.execute(_PUT_CLAIM, (self._namespace, key, agent, now, now))

    def _release(self, connection: sqlite3.Connection, agent: bytes, key: bytes,
                 now: int) -> None:
        connection.execute(_DELETE_CLAIM, (self._namespace, key))
        connection.execute(_SET_STATUS, _numbered(self._namespace, agent, "idle"))
        self._append(connection, _RELEASED, now, agent, key)

    def renew_claim(self, /, *args: Any, **kwargs: Any) -> str:
        """Start a fresh 300-second lease on the holder's claim; returns ``agent_id``."""
        return self._change_held("renew_claim", args, kwargs, self._renew)

    def release(self, /, *args: Any, **kwargs: Any) -> None:
        """Release the holder's claim under ``resource_key``; the holder becomes idle."""
        self._change_held("release", args, kwargs, self._release)

    # --- messages ---

    def send_message(self, /, *args: Any, **kwargs: Any) -> Message:
        """Append a message to the inbox of ``to_agent``; returns
        ``(from_agent, to_agent, content, timestamp)``."""
        sender, addressee, content = self._bind("send_message", args, kwargs)
        namespace = self._namespace
        now = int(time.time())
        with self._write() as connection:
            connection.execute(_PUT_MESSAGE, _numbered(namespace, addressee, sender, content, now))
            connection.execute(_ENSURE_STATUS, _numbered(namespace, addressee))
            self._append(connection, _MESSAGE_SENT, now, sender, addressee, content)
        return (_decode(sender), _decode(addressee), _decode(content), now)

    def broadcast(self, /, *args: Any, **kwargs: Any) -> Message:
        """Deliver a message to every agent with a status, the sender included; returns
        ``(from_agent, "*", content, timestamp)``."""
        sender, content = self._bind("broadcast", args, kwargs)
        namespace = self._namespace
        now = int(time.time())
        with self._write() as connection:
            connection.execute(_ENSURE_STATUS, _numbered(namespace, sender))
            connection.execute(_PUT_BROADCAST, _numbered(namespace, sender, content, now))
            self._append(connection, _BROADCAST, now, sender, content)
        return (_decode(sender), "*", _decode(content), now)

    def inbox(self, /, *args: Any, **kwargs: Any) -> List[Message]:
        """Pending messages for ``agent_id``, oldest first, without removing them."""
        (agent,) = self._bind("inbox", args, kwargs)
        rows = self._read(_SELECT_INBOX, _numbered(self._namespace, agent))
        messages = _messages(agent, rows)
        # Kept for _remove_delivered, which then removes exactly these, by their seq.
        self._store.last_inbox = (agent, messages, [row[0] for row in rows])
        return messages

    def drain_inbox(self, /, *args: Any, **kwargs: Any) -> List[Message]:
        """Remove and return the pending messages for ``agent_id``, oldest first."""
        (agent,) = self._bind("drain_inbox", args, kwargs)
        namespace = self._namespace
        with self._write() as connection:
            rows = connection.execute(_SELECT_INBOX, _numbered(namespace, agent)).fetchall()
            if rows:
                self._take_out(connection, agent, rows[-1][0])
        return _messages(agent, rows)

    def _take_out(self, connection: sqlite3.Connection, agent: bytes, last: int) -> None:
        """Removes the front of the inbox of ``agent``, up to seq ``last``: its direct
        messages, and the broadcasts that every agent has now taken out."""
        parameters = _numbered(self._namespace, agent, last)
        connection.execute(_DELETE_UP_TO, parameters)
        if connection.execute(_ADVANCE, parameters).rowcount:
            connection.execute(_FORGET_BROADCASTS, _numbered(self._namespace,))

    # --- status ---

    def status(self, /, *args: Any, **kwargs: Any) -> str:
        """The agent's status; ``"idle"`` for an agent never seen."""
        (agent,) = self._bind("status", args, kwargs)
        rows = self._read(_SELECT_STATUS, (self._namespace, agent))
        return str(rows[0][0]) if rows else "idle"

    # --- for the helpers ---

    def _remove_delivered(self, agent_id: str, messages: Sequence[Message]) -> None:
        """Removes ``messages``, the oldest pending messages of ``agent_id`` as ``inbox``
        returned them, in one transaction. Those that another reader removed meanwhile
        are not removed again. Messages from this thread's last ``inbox`` call are
        known by their seq, and exactly those are removed; of others, the longest tail
        of ``messages`` that still stands at the front of the inbox."""
        agent = str.encode(agent_id, "utf-8")
        last = self._store.last_inbox
        if last is not None and last[0] == agent and last[1][:len(messages)] == list(messages):
            # They were the front of the inbox: everything up to the last of them.
            with self._write() as connection:
                self._take_out(connection, agent, last[2][len(messages) - 1])
            return
        wanted = [(str.encode(sender, "utf-8"), str.encode(content, "utf-8"), stamp)
                  for sender, _, content, stamp in messages]
        namespace = self._namespace
        with self._write() as connection:
            front = connection.execute(_SELECT_INBOX + " LIMIT ?3",
                                       _numbered(namespace, agent, len(wanted))).fetchall()
            standing = [(sender, content, stamp) for _, sender, content, stamp in front]
            for start in range(len(wanted)):
                tail = wanted[start:]
                if standing[:len(tail)] == tail:
                    self._take_out(connection, agent, front[len(tail) - 1][0])
                    return

    def _reader(self) -> "SqliteReader":
        """The read-only views of this state (``galtro._inspect``)."""
        from ._reader import SqliteReader

        return SqliteReader(self)

    #: Its calls block on the file: ``ahold`` runs them off the event loop.
    _blocking = True


show_signatures(SqliteCoordinationState)
