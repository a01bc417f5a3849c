"""galtro: the coordination state of cooperating agents, in one process or across many.

``galtro_core.CoordinationState`` keeps the state inside one Python process. This
package adds the same state on a Redis server, shared by every process and machine
that reaches it, and the helpers built on either class.
"""

from __future__ import annotations

__all__: list[str] = []
