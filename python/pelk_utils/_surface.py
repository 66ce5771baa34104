"""The package's face to Python: signatures, help and argument errors.

The extension's functions and methods are wrapped once, at first use, so
that help() shows one plain signature, IDEs see parameter names and
defaults (inspect.signature), and a call with arguments of the wrong kind
raises a short TypeError that names the parameter, what it expects and the
type it got, instead of pybind11's message listing the value of every
argument (a whole clip, on a bad keyword). The call itself goes straight
through: the wrapper only acts when the extension refuses the arguments.
"""

import ast
import difflib
import functools
import inspect
import os
import re

_REFUSED = ("incompatible function arguments", "incompatible constructor arguments")
# The extension's TypeError for a value it could not convert deep inside a call.
_WRONG_KIND = "a value of the wrong kind could not be converted"
# Marks an expectation that the value's type meets but its value does not.
_VALUE = "\0value:"


class _Text:
    """An object whose repr is the given text (defaults and return notes in help())."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class _Default(_Text):
    """A default that has no Python value to show (an extension object):
    the call leaves such an argument out, so the extension's own default applies."""


def _default_value(text):
    """Returns the value a pybind11 default text stands for (3, 'pen.json', None,
    [0.5, 1.5]), or a _Default stand-in when the text is not a literal."""
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
        return _Default(text)


def _without_stand_ins(names, args, kwargs):
    """Returns (args, kwargs) with every _Default left out: positional arguments
    after the first stand-in are passed by name."""
    cut = next((i for i, a in enumerate(args) if isinstance(a, _Default)), None)
    if cut is not None:
        kwargs = {**{n: a for n, a in zip(names[cut:], args[cut:])}, **kwargs}
        args = args[:cut]
    return args, {k: v for k, v in kwargs.items() if not isinstance(v, _Default)}


def _split_top_level(text, separator=","):
    """Splits `text` at `separator` outside brackets and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for i, c in enumerate(text):
        if quote:
            if c == quote:
                quote = None
        elif c in "'\"":
            quote = c
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == separator and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return [p.strip() for p in parts if p.strip()]


def _parse_pybind_signature(line):
    """Returns [(name, annotation, default text or None)] of a pybind11 signature line."""
    match = re.match(r"^[\w.]+\((.*)\)(?: -> .*)?$", line.strip())
    if not match:
        return None
    params = []
    for part in _split_top_level(match.group(1)):
        name_type, _, default = part.partition(" = ")
        name, _, annotation = name_type.partition(": ")
        params.append((name.strip(), annotation.strip(), default.strip() or None))
    return params


def _own_doc(doc):
    """Splits the extension's doc into (pybind11 signature line, our return note, our description)."""
    lines = (doc or "").split("\n")
    pybind_line = lines[0] if lines else ""
    rest = "\n".join(lines[1:]).strip("\n")
    returns = None
    # Our docstrings start with "name(args)" and, on it or the next line, "-> what it returns".
    own = re.match(r"^[\w.]+\(.*?\)\s*(?:\n\s*)?(?:->\s*(.*?))?\n\n", rest + "\n\n", re.S)
    if own:
        returns = own.group(1)
        rest = rest[own.end():] if own.end() <= len(rest) else ""
    return pybind_line, (returns.strip() if returns else None), rest.strip()


# ---- checks of one value against a pybind11 annotation ---------------------------

def _is_path(value):
    return isinstance(value, (str, bytes, os.PathLike))


def _accepts(annotation, value):
    """Returns None when `value` fits `annotation`, else a short text of what it expects."""
    a = annotation
    if a in ("", "object") or a.startswith("Callable"):
        return None
    if a.startswith("Optional[") and a.endswith("]"):
        return None if value is None else _accepts(a[9:-1], value)
    if a == "str | bytes | os.PathLike":
        if not _is_path(value):
            return "a path (str, bytes or os.PathLike)"
        raw = os.fspath(value)
        return _VALUE + "a path without NUL characters" if ("\0" in raw if isinstance(raw, str) else b"\0" in raw) \
            else None
    if a == "str":
        return None if isinstance(value, str) else "str"
    if a == "bool":
        return None if isinstance(value, bool) or type(value).__name__ == "bool_" else "bool"
    if a == "int":
        return None if (hasattr(value, "__index__") and not isinstance(value, float)) else "int"
    if a == "float":
        return None if (isinstance(value, (int, float)) or hasattr(value, "__float__")) and not isinstance(
            value, (str, bytes)) else "a number"
    if a.startswith(("List[", "Tuple[")):
        inner = a[a.index("[") + 1:-1]
        kind = "list" if a.startswith("List") else "tuple"
        if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__") or isinstance(value, dict):
            return f"a {kind} of {inner}"
        items = list(value)
        types = _split_top_level(inner)
        if a.startswith("List"):
            item_type = re.sub(r"\[\d+\]$", "", inner)
            bad = next((i for i in items if _accepts(item_type, i)), None)
            return None if bad is None else f"a {kind} of {inner}"
        if len(items) != len(types) or any(_accepts(t, i) for t, i in zip(types, items)):
            return f"a tuple ({inner})"
        return None
    return None  # a bound class or something the extension checks itself


def _type_name(value):
    return type(value).__name__


def _explain(qualname, params, args, kwargs):
    """Returns the exception class and the one-line reason why the extension refused the call."""
    names = [p[0] for p in params]
    unknown = [k for k in kwargs if k not in names]
    if unknown:
        close = difflib.get_close_matches(unknown[0], names, n=1)
        hint = f" (did you mean {close[0]!r}?)" if close else ""
        return TypeError, f"{qualname}() got an unexpected keyword argument {unknown[0]!r}{hint}"
    if len(args) > len(names):
        return TypeError, f"{qualname}() takes at most {len(names)} arguments ({len(args)} given)"
    bound = dict(zip(names, args))
    for name in kwargs:
        if name in bound:
            return TypeError, f"{qualname}() got multiple values for argument {name!r}"
    bound.update(kwargs)
    for name, annotation, default in params:
        if name not in bound:
            if default is None:
                return TypeError, f"{qualname}() missing required argument {name!r}"
            continue
        expected = _accepts(annotation, bound[name])
        if expected and expected.startswith(_VALUE):
            return ValueError, f"{qualname}(): {name} must be {expected[len(_VALUE):]}"
        if expected:
            return TypeError, f"{qualname}(): {name} must be {expected}, got {_type_name(bound[name])}"
    given = ", ".join(_type_name(a) for a in args)
    given += (", " if args and kwargs else "") + ", ".join(f"{k}={_type_name(v)}" for k, v in kwargs.items())
    return TypeError, f"{qualname}(): arguments of the wrong kind ({given})"


def _signature(params, returns, method):
    parameters = []
    if method:
        parameters.append(inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD))
    for name, _, default in params:
        parameters.append(inspect.Parameter(
            name, inspect.Parameter.POSITIONAL_OR_KEYWORD,
            default=inspect.Parameter.empty if default is None else _default_value(default)))
    return inspect.Signature(parameters, return_annotation=_Text(returns) if returns else inspect.Signature.empty)


def wrap(function, qualname, method=False):
    """Returns `function` (a pybind11 function or method) with a plain signature
    and short TypeErrors; returns it unchanged when it has overloads."""
    pybind_line, returns, description = _own_doc(function.__doc__)
    params = _parse_pybind_signature(pybind_line)
    if params is None or any(p[0].startswith("*") for p in params):  # overloaded, or not pybind11's
        return function
    if method and params and params[0][0] == "self":
        params = params[1:]

    names = ["self"] + [p[0] for p in params] if method else [p[0] for p in params]

    @functools.wraps(function)
    def call(*args, **kwargs):
        if any(isinstance(a, _Default) for a in args) or any(isinstance(v, _Default) for v in kwargs.values()):
            args, kwargs = _without_stand_ins(names, args, kwargs)
        try:
            return function(*args, **kwargs)
        except TypeError as error:
            if str(error) == _WRONG_KIND:
                kind, reason = _explain(qualname, params, args[1:] if method else args, kwargs)
                if reason.endswith(")") and "arguments of the wrong kind" in reason:
                    reason = reason.replace("arguments of the wrong kind", "an argument (or what a model returned) "
                                            "is of the wrong kind", 1)
                raise kind(reason) from None
            if not str(error).startswith(tuple(f"{function.__name__}(): {r}" for r in _REFUSED)):
                raise
            kind, reason = _explain(qualname, params, args[1:] if method else args, kwargs)
            raise kind(reason) from None

    call.__doc__ = description
    call.__signature__ = _signature(params, returns, method)
    call.__wrapped__ = function
    return call


def wrap_class(cls, qualname):
    """Wraps the constructor and public methods of a pybind11 class in place."""
    for name, member in list(vars(cls).items()):
        if name.startswith("_") and name != "__init__":
            continue
        if isinstance(member, staticmethod):
            setattr(cls, name, staticmethod(wrap(member.__func__, f"{qualname}.{name}")))
        elif callable(member) and type(member).__name__ in ("instancemethod", "builtin_function_or_method"):
            shown = qualname if name == "__init__" else f"{qualname}.{name}"
            setattr(cls, name, wrap(member, shown, method=True))
    return cls
