"""galtro: the coordination state of cooperating agents, in one process or across many.

``galtro_core.CoordinationState`` keeps the state inside one Python process. This
package adds the same state on a Redis server, shared by every process and machine
that reaches it, and the helpers built on either class: typed refusals, ``hold`` and
``ahold`` (a claim kept alive while a block runs), ``Agent``, ``file_key``, the
inspection functions and the ``galtro`` command.
"""

from __future__ import annotations

import logging

from galtro._agent import Agent
from galtro._inspect import (
    AgentInfo,
    ClaimInfo,
    Event,
    agents,
    claims,
    history,
    inbox_sizes,
    snapshot,
)
from galtro._lease import LEASE_SECONDS, AsyncLease, Lease, ahold, hold
from galtro._paths import file_key
from galtro._protocol import AsyncCoordinationStateLike, CoordinationStateLike, Message
from galtro._refusals import ClaimConflict, LeaseLost, NoClaim, NotHolder, Refusal

# A library logs to its own logger and leaves the output to the application.
logging.getLogger("galtro").addHandler(logging.NullHandler())

__all__: list[str] = [
    "Agent",
    "AgentInfo",
    "AsyncCoordinationStateLike",
    "AsyncLease",
    "ClaimConflict",
    "ClaimInfo",
    "CoordinationStateLike",
    "Event",
    "LEASE_SECONDS",
    "Lease",
    "LeaseLost",
    "Message",
    "NoClaim",
    "NotHolder",
    "Refusal",
    "agents",
    "ahold",
    "claims",
    "file_key",
    "history",
    "hold",
    "inbox_sizes",
    "snapshot",
]
