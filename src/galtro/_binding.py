# pyright: strict
"""Argument binding of the state classes, with the native class's error texts.

Python's own binding of a ``def`` names the function only and words its errors its own
way. The classes of this package bind their arguments here instead, so that a call gives
exactly the ``TypeError`` texts of ``galtro_core.CoordinationState``, with the calling
class's name where the text names the class:

* "{class}.{method}() takes {p} positional arguments but {n} {was|were} given"
* "{class}.{method}() got multiple values for argument '{name}'"
* "{class}.{method}() got an unexpected keyword argument '{key}'"
* "{class}.{method}() missing {k} required positional {argument|arguments}: 'a', 'b', and 'c'"
* "argument '{name}': '{type}' object cannot be converted to 'PyString'"

A ``str`` that is not valid UTF-8 (a lone surrogate) raises the interpreter's
``UnicodeEncodeError`` unchanged. Every argument comes back as its UTF-8 bytes.
"""

from __future__ import annotations

import sys
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple

#: The nine methods of every state and their parameters, in order: the package's one
#: table of them. The protocols (``galtro._protocol``) and the stubs spell them out for
#: the type checkers; the tests check both against this table and the native class.
PARAMETERS: Mapping[str, Tuple[str, ...]] = {
    "claim_file": ("agent_id", "path"),
    "claim_task": ("agent_id", "task_id"),
    "release": ("agent_id", "resource_key"),
    "renew_claim": ("agent_id", "resource_key"),
    "send_message": ("from_agent", "to_agent", "content"),
    "broadcast": ("from_agent", "content"),
    "inbox": ("agent_id",),
    "drain_inbox": ("agent_id",),
    "status": ("agent_id",),
}

_EMPTY: Any = object()
_unraisable_args_type: Optional[type] = None


def bind(class_name: str, method: str, args: Sequence[object],
         kwargs: Mapping[str, object]) -> list[bytes]:
    """The UTF-8 bytes of each parameter of ``method``, in parameter order.

    Raises ``TypeError`` with the native texts, or ``UnicodeEncodeError``.
    """
    params = PARAMETERS[method]
    if not kwargs and len(args) == len(params) and all(type(a) is str for a in args):
        return [str.encode(a, "utf-8") for a in args]  # type: ignore[arg-type]
    display = f"{class_name}.{method}()"
    n, p = len(args), len(params)
    if n > p:
        raise TypeError(
            f"{display} takes {p} positional arguments but {n} {'was' if n == 1 else 'were'} "
            "given")
    slots: list[object] = list(args) + [_EMPTY] * (p - n)
    for key, value in kwargs.items():
        index = _parameter_index(params, key)
        if index is None:
            raise TypeError(f"{display} got an unexpected keyword argument '{_display(key)}'")
        if slots[index] is not _EMPTY:
            raise TypeError(f"{display} got multiple values for argument '{params[index]}'")
        slots[index] = value
    missing = [param for param, slot in zip(params, slots) if slot is _EMPTY]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        raise TypeError(
            f"{display} missing {len(missing)} required positional {noun}: "
            f"{_names_list(missing)}")
    return [_to_utf8(param, value) for param, value in zip(params, slots)]


def check_store_options(namespace: object, history_maxlen: object) -> None:
    """The checks of a store class's ``namespace`` and ``history_maxlen``."""
    if not isinstance(namespace, str):
        raise TypeError(f"namespace must be a str, not {type(namespace).__name__}")
    if not namespace:
        raise ValueError("the namespace must not be empty")
    str.encode(namespace, "utf-8")  # a lone surrogate raises UnicodeEncodeError here
    if history_maxlen is not None:
        if isinstance(history_maxlen, bool) or not isinstance(history_maxlen, int):
            raise TypeError("history_maxlen must be an int or None")
        if history_maxlen < 1:
            raise ValueError("history_maxlen must be at least 1")


def show_signatures(*classes: type) -> None:
    """Gives each state method of ``classes`` the signature it binds, for help() and
    inspect.signature."""
    # inspect.signature follows __wrapped__ to a function of that signature. The
    # inspect module itself is not imported: it is slow to import, and a short-lived
    # process (a coding agent's hook) that opens a store never asks for a signature.
    stubs: Dict[str, Any] = {}
    for method, params in PARAMETERS.items():
        exec(f"def {method}(self, /, {', '.join(params)}): pass", stubs)
    for cls in classes:
        for method in PARAMETERS:
            getattr(cls, method).__wrapped__ = stubs[method]


def _parameter_index(params: Tuple[str, ...], key: object) -> Optional[int]:
    """The parameter a keyword names, compared as UTF-8 bytes; a key that cannot be
    encoded names none."""
    if not isinstance(key, str):
        return None
    try:
        raw = str.encode(key, "utf-8")
    except UnicodeEncodeError:
        return None
    for index, param in enumerate(params):
        if raw == param.encode("utf-8"):
            return index
    return None


def _names_list(names: list[str]) -> str:
    """'a' / 'a' and 'b' / 'a', 'b', and 'c'."""
    parts: list[str] = []
    for index, name in enumerate(names):
        if index:
            if len(names) > 2:
                parts.append(",")
            parts.append(" and " if index == len(names) - 1 else " ")
        parts.append(f"'{name}'")
    return "".join(parts)


def _to_utf8(param: str, value: object) -> bytes:
    if isinstance(value, str):
        # str.encode skips a subclass's overrides, as the native conversion does.
        return str.encode(value, "utf-8")
    qualname: object
    try:
        qualname = type(value).__qualname__
    except Exception:
        qualname = None
    if not isinstance(qualname, str):
        qualname = "<failed to extract type name>"
    raise TypeError(
        f"argument '{param}': '{qualname}' object cannot be converted to 'PyString'")


def _display(obj: object) -> str:
    """An object as shown inside an error text: its str, with anything that is not
    valid UTF-8 replaced. An object whose str fails is reported as unraisable."""
    try:
        text = str(obj)
    except Exception as error:
        _write_unraisable(error, obj)
        name: object
        try:
            name = type(obj).__name__
        except Exception:
            name = None
        return f"<unprintable {name} object>" if isinstance(name, str) \
            else "<unprintable object>"
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def _write_unraisable(error: BaseException, obj: object) -> None:
    """Hand ``error`` to ``sys.unraisablehook`` as the interpreter does for an error
    it cannot raise, with ``obj`` as the object."""
    global _unraisable_args_type
    if _unraisable_args_type is None:
        _unraisable_args_type = _find_unraisable_args_type()
    hook_args = _unraisable_args_type(
        (type(error), error, error.__traceback__, None, obj))
    sys.unraisablehook(hook_args)


def _find_unraisable_args_type() -> type:
    """The interpreter's ``UnraisableHookArgs`` type, which the default hook requires
    and which is not importable: taken from one report of a failing finalizer."""
    seen: list[type] = []

    class Probe:
        def __del__(self) -> None:
            raise ValueError("probe")

    previous = sys.unraisablehook
    sys.unraisablehook = lambda hook_args: seen.append(type(hook_args))
    try:
        Probe()
    finally:
        sys.unraisablehook = previous
    return seen[0]
