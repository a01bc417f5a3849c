"""The surface of the state classes, shared by every harness that drives it: the model
test, the fuzzer (tests/fuzz) and the reference-count check (tests/reliability).

The nine methods with their parameters, pools of texts that collide on purpose, the odd
argument values and keyword names that exercise each binding error, and the helpers that
arrange a call and compare its outcome.
"""

from galtro._binding import PARAMETERS

# The nine methods and their parameters: the package's own table. The model test and
# the binding test call the native class with it, by keyword too, so a wrong name or
# order in it fails there.
METHODS = PARAMETERS
ALL_PARAMS = sorted({p for params in METHODS.values() for p in params})

# Texts: empty, non-ASCII, NUL inside, outside the BMP, and "*" (what a broadcast
# reports as its addressee). Names include a path that differs from another only by
# "./", and one that looks like a resource key.
AGENTS = ["", "a", "b", "\u00c4", "\u4ee3\u7406", "x\x00y", "\U0001f916", "*"]
NAMES = ["", "p", "src/lib.rs", "./src/lib.rs", "\u0444\u0430\u0439\u043b", "n\x00ul",
         "\U0001f980", "file:p"]
CONTENTS = ["", "\x00", "hi", "\u6f22\u5b57", "\U0001f916\x00\U0001f680"]


# --- odd argument values and keyword names ---------------------------------------------

class StrSub(str):
    """A str subclass: accepted as text."""


class UnprintableStr(str):
    """A str whose __str__ raises: fine as an argument, unprintable as a keyword name."""

    def __str__(self):
        raise ValueError("no str")


class Outer:
    class Inner:
        """Named by its qualified name, Outer.Inner, in a conversion error."""


class QualnameRaises(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise ValueError("unreadable")
        return super().__getattribute__(name)


class QualnameNotStr(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


class StrRaises:
    def __str__(self):
        raise RuntimeError("no str either")


ODD_TYPES = [QualnameRaises("Odd", (), {}), QualnameNotStr("Odder", (), {})]
# Values that are not text, each a conversion error naming its type.
NOT_STR = [1, b"bytes", None, 1.5, object(), ODD_TYPES[0](), 10**40, ["a"], Outer.Inner()]
# Texts that are not valid UTF-8: UnicodeEncodeError, unwrapped.
SURROGATES = ["\ud800", "ok\udfffok", StrSub("\udc80")]
# Keyword names that name no parameter: plain, empty, non-ASCII, unencodable, and the
# name of the methods' own first parameter.
ODD_KEYWORDS = ["agent", "key", "", "\u00e4gent", "\udc80x", "self"]


# --- arranging a call and comparing outcomes --------------------------------------------

STYLES = ["positional", "keyword", "mixed"]


def arrange(method, values, style):
    """(args, kwargs) passing ``values`` all by position, all by keyword (in reverse
    order), or the first by position and the rest by keyword."""
    params = METHODS[method]
    if style == "positional":
        return tuple(values), {}
    if style == "keyword":
        return (), dict(reversed(list(zip(params, values))))
    return tuple(values[:1]), dict(zip(params[1:], values[1:]))


def outcome(fn, args, kwargs):
    """What a call did: ("returned", result) or ("raised", type, args)."""
    try:
        return ("returned", fn(*args, **kwargs))
    except Exception as error:
        return ("raised", type(error), error.args)


def shape(value):
    """The types of a result, item by item: a str subclass or a list for a tuple shows."""
    if isinstance(value, (list, tuple)):
        return (type(value), [shape(item) for item in value])
    return type(value)
