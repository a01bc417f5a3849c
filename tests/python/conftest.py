import asyncio
import itertools
import os
import sys

import pytest

import galtro_core
from redis_server import RedisServer, available


@pytest.fixture(autouse=True)
def _event_loop_before_3_10():
    """Before 3.10, asyncio.Lock() (which redis-py's asyncio pool makes when a client is
    built) asks for the current event loop, and after an asyncio.run() in the process
    there is none: every test starts with one, as a program that never ran
    asyncio.run() would have."""
    if sys.version_info >= (3, 10):
        yield
        return
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    yield
    asyncio.set_event_loop(None)
    loop.close()


@pytest.fixture
def state():
    """A fresh, empty coordination state."""
    return galtro_core.CoordinationState()


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    """One redis-server for the whole run, on a Unix socket in a temporary folder.
    Tests that kill or restart a server start their own (redis_server.RedisServer)."""
    pytest.importorskip("redis", reason="redis-py is not installed (galtro_core[redis])")
    if not available():
        pytest.skip("redis-server is not installed (Debian package redis-server)")
    server = RedisServer(tmp_path_factory.mktemp("redis")).start()
    yield server
    server.stop()


# Tiers (declared in pyproject.toml): a test that asks for a store's fixture belongs to
# that store's tier without saying so.
FIXTURE_MARKS = {"redis_server": "redis", "redis_state": "redis", "sqlite_state": "sqlite"}


def pytest_collection_modifyitems(items):
    for item in items:
        for name in sorted({FIXTURE_MARKS[f] for f in item.fixturenames if f in FIXTURE_MARKS}):
            item.add_marker(name)


_namespaces = itertools.count()


@pytest.fixture
def namespace(request):
    """A namespace of its own for each test, so that tests share the server, not state."""
    return f"{request.node.name}-{os.getpid()}-{next(_namespaces)}"


@pytest.fixture
def redis_state(redis_server, namespace):
    """A RedisCoordinationState on the shared server, in a fresh namespace."""
    import galtro

    state = galtro.RedisCoordinationState.from_url(redis_server.url, namespace)
    yield state
    state.client.close()


@pytest.fixture
def sqlite_state(tmp_path, namespace):
    """A SqliteCoordinationState on a new file, in a fresh namespace."""
    import galtro

    return galtro.SqliteCoordinationState(tmp_path / "state.sqlite3", namespace)


@pytest.fixture(params=[pytest.param("sqlite", marks=pytest.mark.sqlite),
                        pytest.param("redis", marks=pytest.mark.redis)])
def shared_store(request, tmp_path, namespace):
    """A fresh store that processes share, of each kind in turn: (its URL, the state on
    it in this test's namespace)."""
    if request.param == "sqlite":
        from galtro._store import open_state

        url = f"sqlite://{tmp_path}/state.sqlite3"
        return url, open_state(url, namespace)
    return request.getfixturevalue("redis_server").url, request.getfixturevalue("redis_state")


@pytest.fixture(params=["CoordinationState",
                        pytest.param("SqliteCoordinationState", marks=pytest.mark.sqlite),
                        pytest.param("RedisCoordinationState", marks=pytest.mark.redis)])
def either_state(request):
    """A fresh state of each class in turn: the in-process one, the SQLite one and the
    Redis one."""
    return state_of_class(request, request.param)


def state_of_class(request, name):
    """A fresh state of the synchronous class ``name``, for the test of ``request``."""
    if name == "CoordinationState":
        return galtro_core.CoordinationState()
    if name == "SqliteCoordinationState":
        return request.getfixturevalue("sqlite_state")
    return request.getfixturevalue("redis_state")
