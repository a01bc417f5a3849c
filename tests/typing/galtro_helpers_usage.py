"""Typed use of galtro's helpers with the in-process class, checked with mypy --strict
and pyright (strict) against the installed package, and run."""

import asyncio
import sys
from typing import Any, Dict, List, Optional

import galtro
from galtro import AgentInfo, ClaimConflict, ClaimInfo, Event, LeaseLost, NoClaim, NotHolder
from galtro_core import CoordinationState

if sys.version_info >= (3, 11):
    from typing import assert_type
else:
    from typing_extensions import assert_type


def use(state: CoordinationState) -> Optional[str]:
    agent = galtro.Agent(state, "alice")
    assert_type(agent.claim_file(galtro.file_key("/repo", "./a.py")), str)
    assert_type(agent.held(), List[str])
    with galtro.hold(state, "bob", task="t", wait=0.5, renew_every=10.0) as lease:
        assert_type(lease, galtro.Lease)
        assert_type(lease.lost, bool)
        lease.check()
    assert_type(galtro.claims(state), List[ClaimInfo])
    assert_type(galtro.agents(state), List[AgentInfo])
    assert_type(galtro.inbox_sizes(state), Dict[str, int])
    assert_type(galtro.history(state, since=0, count=10), List[Event])
    assert_type(galtro.snapshot(state), Dict[str, Any])
    try:
        galtro.Agent(state, "carol").claim_file("a.py")
    except ClaimConflict as conflict:
        return assert_type(conflict.holder, str)
    except (NotHolder, NoClaim, LeaseLost):
        return None
    assert_type(agent.release_all(), List[str])
    return None


async def use_async(state: CoordinationState) -> bool:
    async with galtro.ahold(state, "alice", file="b.py") as lease:
        assert_type(lease, galtro.AsyncLease)
        return lease.lost


if __name__ == "__main__":
    state = CoordinationState()
    assert use(state) == "alice"
    assert asyncio.run(use_async(state)) is False
