"""Typed use of the Redis state classes of galtro, checked with mypy --strict and pyright
(strict) against the installed package; not run (it needs a server)."""

import sys
from typing import List, Literal, Optional, Tuple

import redis
import redis.asyncio

from galtro import AsyncRedisCoordinationState, RedisCoordinationState, UnsupportedServerError

if sys.version_info >= (3, 11):
    from typing import assert_type
else:
    from typing_extensions import assert_type

Message = Tuple[str, str, str, int]
Status = Literal["idle", "busy", "completed", "error"]


def use(client: "redis.Redis") -> Optional[Status]:
    state = RedisCoordinationState(client, "team", history_maxlen=100_000)
    assert_type(RedisCoordinationState.from_url("unix:///run/redis.sock"), RedisCoordinationState)
    assert_type(state.claim_file("alice", path="src/lib.rs"), str)
    assert_type(state.claim_task(agent_id="bob", task_id="review"), str)
    assert_type(state.renew_claim("alice", "file:src/lib.rs"), str)
    assert_type(state.release("alice", "file:src/lib.rs"), None)
    assert_type(state.send_message("alice", "bob", "done"), Message)
    assert_type(state.broadcast("alice", "hello"), Message)
    assert_type(state.inbox("bob"), List[Message])
    assert_type(state.drain_inbox("bob"), List[Message])
    assert_type(state.namespace, str)
    try:
        return assert_type(state.status("alice"), Status)
    except UnsupportedServerError:
        return None


async def use_async(client: "redis.asyncio.Redis") -> Status:
    state = AsyncRedisCoordinationState(client)
    assert_type(await state.claim_file("alice", "a.py"), str)
    assert_type(await state.release("alice", "file:a.py"), None)
    assert_type(await state.send_message("alice", "bob", "done"), Message)
    assert_type(await state.drain_inbox("bob"), List[Message])
    return assert_type(await state.status("alice"), Status)
