"""status(agent_id): the status names, by position and by keyword."""

import pytest


@pytest.mark.parametrize("call", [
    lambda s, agent: s.status(agent),
    lambda s, agent: s.status(agent_id=agent),
    lambda s, agent: s.status(*(agent,), **{}),
], ids=["positional", "keyword", "unpacked"])
def test_status_by_position_and_keyword(state, call):
    assert call(state, "a") == "idle"
    state.claim_task("a", "t")
    assert call(state, "a") == "busy"
    state.release("a", "task:t")
    assert call(state, "a") == "idle"


@pytest.mark.parametrize("agent", ["never-seen", "", "\u00e4\x00"])
def test_unknown_agents_are_idle(state, agent):
    assert state.status(agent) == "idle"


def test_status_results_are_shared_interned_strs(state):
    first, second = state.status("a"), state.status("b")
    assert type(first) is str and first is second
    state.claim_file("c", "p")
    assert state.status("c") == "busy" and state.status("c") is state.status("c")
