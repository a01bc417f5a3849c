"""The coordination state on a Redis server, shared by every process and machine that
reaches it."""

from typing import Any, Awaitable, Literal, Optional, Protocol, Sequence, final

__all__ = ["AsyncClient", "AsyncRedisCoordinationState", "RedisCoordinationState", "SyncClient",
           "UnsupportedServerError"]

class SyncClient(Protocol):
    """What the state needs of its client: ``redis.Redis``, ``valkey.Valkey``..."""

    def execute_command(self, *args: Any, **options: Any) -> Any: ...

class AsyncClient(Protocol):
    """What the asyncio state needs of its client: ``redis.asyncio.Redis``..."""

    def execute_command(self, *args: Any, **options: Any) -> Awaitable[Any]: ...

class UnsupportedServerError(Exception):
    """The Redis server is older than the scripts need (5.0, for streams)."""

# A message is (sender, addressee, content, Unix seconds), as in galtro_core.
@final
class RedisCoordinationState:
    """The coordination state of ``galtro_core.CoordinationState``, kept on a Redis
    server: the same methods, results, refusals (``RuntimeError``) and ``TypeError``s.

    A lost connection or a timeout raises the client's ``ConnectionError`` or
    ``TimeoutError``; the call then changed everything or nothing.
    """

    def __init__(
        self,
        client: SyncClient,
        namespace: str = "default",
        *,
        history_maxlen: Optional[int] = None,
    ) -> None: ...
    @classmethod
    def from_url(
        cls, url: str, namespace: str = "default", *, history_maxlen: Optional[int] = None
    ) -> "RedisCoordinationState":
        """A state on a new client for ``url``, made with retries off."""
    @property
    def client(self) -> Any: ...
    @property
    def namespace(self) -> str: ...
    @property
    def history_maxlen(self) -> Optional[int]: ...
    def claim_file(self, agent_id: str, path: str) -> str: ...
    def claim_task(self, agent_id: str, task_id: str) -> str: ...
    def release(self, agent_id: str, resource_key: str) -> None: ...
    def renew_claim(self, agent_id: str, resource_key: str) -> str: ...
    def send_message(
        self, from_agent: str, to_agent: str, content: str
    ) -> tuple[str, str, str, int]: ...
    def broadcast(self, from_agent: str, content: str) -> tuple[str, str, str, int]: ...
    def inbox(self, agent_id: str) -> list[tuple[str, str, str, int]]: ...
    def drain_inbox(self, agent_id: str) -> list[tuple[str, str, str, int]]: ...
    def status(self, agent_id: str) -> Literal["idle", "busy", "completed", "error"]: ...
    def _remove_delivered(
        self, agent_id: str, messages: Sequence[tuple[str, str, str, int]]
    ) -> None: ...

@final
class AsyncRedisCoordinationState:
    """``RedisCoordinationState`` on ``redis.asyncio.Redis``: the same methods as
    coroutines."""

    def __init__(
        self,
        client: AsyncClient,
        namespace: str = "default",
        *,
        history_maxlen: Optional[int] = None,
    ) -> None: ...
    @classmethod
    def from_url(
        cls, url: str, namespace: str = "default", *, history_maxlen: Optional[int] = None
    ) -> "AsyncRedisCoordinationState":
        """A state on a new asyncio client for ``url``, made with retries off."""
    @property
    def client(self) -> Any: ...
    @property
    def namespace(self) -> str: ...
    @property
    def history_maxlen(self) -> Optional[int]: ...
    async def claim_file(self, agent_id: str, path: str) -> str: ...
    async def claim_task(self, agent_id: str, task_id: str) -> str: ...
    async def release(self, agent_id: str, resource_key: str) -> None: ...
    async def renew_claim(self, agent_id: str, resource_key: str) -> str: ...
    async def send_message(
        self, from_agent: str, to_agent: str, content: str
    ) -> tuple[str, str, str, int]: ...
    async def broadcast(self, from_agent: str, content: str) -> tuple[str, str, str, int]: ...
    async def inbox(self, agent_id: str) -> list[tuple[str, str, str, int]]: ...
    async def drain_inbox(self, agent_id: str) -> list[tuple[str, str, str, int]]: ...
    async def status(
        self, agent_id: str
    ) -> Literal["idle", "busy", "completed", "error"]: ...
    async def _remove_delivered(
        self, agent_id: str, messages: Sequence[tuple[str, str, str, int]]
    ) -> None: ...
