"""The module and the class as the interpreter sees them: attributes, documentation,
initialisation and the life of instances."""

import ctypes
import gc
import json
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import galtro_core
from galtro_core import CoordinationState

DASH = "\u2014"

# (name, text signature without the name, documentation body or None when empty)
METHODS = [
    ("claim_file", "($self, agent_id, path)",
     "Claims a file for `agent_id`. Raises `RuntimeError` if another agent\n"
     "already holds it. Returns the claiming agent's id back on success " + DASH + "\n"
     "a no-op value, useful mainly to confirm the call didn't raise."),
    ("claim_task", "($self, agent_id, task_id)", None),
    ("release", "($self, agent_id, resource_key)",
     'Releases a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`.\n'
     "Only the holder may release it."),
    ("renew_claim", "($self, agent_id, resource_key)",
     'Renews a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`,\n'
     "extending its lease so a long-running task isn't lost to the TTL.\n"
     "Only the holder may renew."),
    ("send_message", "($self, from_agent, to_agent, content)", None),
    ("broadcast", "($self, from_agent, content)", None),
    ("inbox", "($self, agent_id)",
     "Pending messages for `agent_id`, oldest first. Does not clear them " + DASH + "\n"
     "use `drain_inbox` for that."),
    ("drain_inbox", "($self, agent_id)", None),
    ("status", "($self, agent_id)", 'One of `"idle"`, `"busy"`, `"completed"`, `"error"`.'),
]


def run_child(code, stderr=False, **env):
    """Runs `code` in a fresh interpreter that imports the same module; returns stdout,
    or (stdout, stderr)."""
    child_env = dict(os.environ, **env)
    module_dir = os.path.dirname(galtro_core.__file__)
    child_env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, child_env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return (done.stdout, done.stderr) if stderr else done.stdout


def test_module_attributes():
    assert galtro_core.__all__ == ["CoordinationState"]
    assert galtro_core.__doc__ == ""
    assert [name for name in dir(galtro_core) if not name.startswith("_")] == ["CoordinationState"]
    assert not hasattr(galtro_core, "PanicException")


def test_class_names_and_flags():
    assert CoordinationState.__module__ == "builtins"
    assert CoordinationState.__qualname__ == "CoordinationState"
    assert CoordinationState.__name__ == "CoordinationState"
    assert CoordinationState.__bases__ == (object,)
    assert CoordinationState.__doc__ == ""
    expected_signature = "()" if sys.version_info >= (3, 10) else None
    assert CoordinationState.__text_signature__ == expected_signature
    assert [name for name, *_ in METHODS] == [
        name for name in CoordinationState.__dict__ if not name.startswith("__")]


@pytest.mark.parametrize("name, signature, body", METHODS, ids=[m[0] for m in METHODS])
def test_method_documentation(name, signature, body):
    method = getattr(CoordinationState, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == body


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        class Derived(CoordinationState):
            pass


def test_instances_have_no_dict_and_no_weak_references(state):
    with pytest.raises(TypeError):
        weakref.ref(state)
    with pytest.raises(AttributeError):
        state.extra = 1
    assert not hasattr(state, "__dict__")


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "CoordinationState.__new__() takes 0 positional arguments but 1 was given"),
    ((1, 2), {}, "CoordinationState.__new__() takes 0 positional arguments but 2 were given"),
    ((), {"x": 1}, "CoordinationState.__new__() got an unexpected keyword argument 'x'"),
])
def test_constructor_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CoordinationState(*args, **kwargs)
    assert info.value.args == (message,)


def test_instances_share_nothing():
    first, second = CoordinationState(), CoordinationState()
    first.send_message("A", "B", "one")
    first.broadcast("A", "two")
    first.claim_file("A", "p")
    assert second.inbox("B") == [] and second.inbox("A") == []
    assert second.status("A") == "idle" and second.status("B") == "idle"
    assert second.claim_file("Z", "p") == "Z"
    second.broadcast("S", "x")
    assert [m[0] for m in second.inbox("S")] == ["S"]
    assert [m[2] for m in first.inbox("B")] == ["one", "two"]
    assert [m[2] for m in first.inbox("A")] == ["two"]


def test_instance_made_without_the_constructor_is_refused_by_methods_and_views():
    # In a child: replacing __new__ changes the class for the rest of the process.
    out = run_child("""
        import json
        import galtro
        from galtro_core import CoordinationState
        CoordinationState.__new__ = lambda cls: object.__new__(cls)
        bare = CoordinationState()
        errors = []
        for call in [lambda: bare.status("a"), lambda: bare.claim_file("a", "p"),
                     lambda: bare.claim_task("a", "t"), lambda: bare.renew_claim("a", "file:p"),
                     lambda: bare.release("a", "file:p"), lambda: bare.send_message("a", "b", "c"),
                     lambda: bare.broadcast("a", "c"), lambda: bare.inbox("a"),
                     lambda: bare.drain_inbox("a"), lambda: galtro.claims(bare),
                     lambda: galtro.agents(bare), lambda: galtro.inbox_sizes(bare),
                     lambda: galtro.history(bare), lambda: galtro.snapshot(bare)]:
            try:
                call()
                errors.append(None)
            except TypeError as error:
                errors.append(str(error))
        del bare
        print(json.dumps(errors))
    """)
    assert json.loads(out) == ["uninitialized CoordinationState object"] * 14


def test_instances_release_their_type_reference():
    gc.collect()
    before = sys.getrefcount(CoordinationState)
    for _ in range(1000):
        CoordinationState().status("a")
    assert sys.getrefcount(CoordinationState) == before


def test_second_initialisation_returns_the_same_module():
    # Calls the init function itself as well, which the import system may skip.
    out = run_child("""
        import ctypes, importlib, sys
        import galtro_core as first
        cls = first.CoordinationState
        del sys.modules["galtro_core"]
        second = importlib.import_module("galtro_core")
        init = ctypes.PyDLL(first.__file__).PyInit_galtro_core
        init.restype = ctypes.py_object
        third = init()
        print(second is first, third is first, second.CoordinationState is cls, first.__all__)
    """)
    assert out.split() == ["True", "True", "True", "['CoordinationState']"]


def test_import_in_a_subinterpreter_fails():
    out = run_child("""
        import galtro_core
        code = '''
        try:
            import galtro_core
        except ImportError as error:
            print("IMPORT-ERROR:", error)
        else:
            print("IMPORTED")
        '''
        import textwrap
        code = textwrap.dedent(code)
        try:
            import _interpreters
        except ImportError:
            _interpreters = None
        if _interpreters is not None:
            _interpreters.exec(_interpreters.create(_interpreters.new_config("legacy")), code)
        else:
            try:
                import _xxsubinterpreters as subinterpreters
            except ImportError:
                print("UNAVAILABLE")
                raise SystemExit
            try:
                interpreter = subinterpreters.create(isolated=False)
            except TypeError:
                interpreter = subinterpreters.create()
            subinterpreters.run_string(interpreter, code)
    """)
    if out.strip() == "UNAVAILABLE":
        pytest.skip("no subinterpreter support in this interpreter")
    assert "IMPORT-ERROR:" in out
    assert "modules do not yet support subinterpreters" in out
