"""The coordination state in one SQLite file, shared by every process of one machine."""

import os
from typing import Literal, Optional, Union, final

__all__ = ["SqliteCoordinationState", "StateFileError"]

class StateFileError(Exception):
    """The file cannot hold the coordination state: it is not a SQLite database, it is
    one of another program or of a newer galtro, or it cannot be created or written.
    The message names the file. Nothing in the file was changed."""

# A message is (sender, addressee, content, Unix seconds), as in galtro_core.
@final
class SqliteCoordinationState:
    """The coordination state of ``galtro_core.CoordinationState``, kept in one SQLite
    file: the same methods, results, refusals (``RuntimeError``) and ``TypeError``s.

    A write lock that cannot be had within ``timeout`` seconds raises ``TimeoutError``;
    the call then changed nothing.
    """

    def __init__(
        self,
        path: Union[str, os.PathLike[str]],
        namespace: str = "default",
        *,
        timeout: float = 10.0,
        history_maxlen: Optional[int] = None,
        durable: bool = False,
    ) -> None: ...
    @classmethod
    def from_url(
        cls,
        url: str,
        namespace: str = "default",
        *,
        timeout: float = 10.0,
        history_maxlen: Optional[int] = None,
        durable: bool = False,
    ) -> "SqliteCoordinationState":
        """A state on the file of ``url``: ``sqlite:///absolute/path`` or
        ``sqlite:relative/path``."""
    @property
    def path(self) -> str: ...
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
