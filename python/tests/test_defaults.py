"""Every default of the Python surface equals the C++ default it stands for
and the one its docstring states, so a default changed in one place only
(a binding, a header or a docstring) fails here."""

import inspect
import os
import re

import pytest

import pelk_utils as pu

ROOT = os.path.join(os.path.dirname(__file__), "..", "..", "pelk_utils")


def _headers():
    text = []
    for folder, _, files in os.walk(ROOT):
        for name in files:
            if name.endswith(".hpp") and "internal" not in folder:
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    text.append(f.read())
    return "\n".join(text)


HEADERS = _headers()


def _balanced(text, start):
    """Returns text[start:end] up to the bracket that closes the one at `start`."""
    depth = 0
    for i in range(start, len(text)):
        depth += text[i] in "([{<" and text[i] != "<"
        depth -= text[i] in ")]}"
        if text[i] in "([{":
            pass
        if depth == 0:
            return text[start + 1:i]
    return text[start + 1:]


def _split(params):
    parts, depth, start, quote = [], 0, 0, False
    for i, c in enumerate(params):
        if c == '"':
            quote = not quote
        elif not quote and c in "([{<":
            depth += 1
        elif not quote and c in ")]}>":
            depth -= 1
        elif not quote and c == "," and depth == 0:
            parts.append(params[start:i])
            start = i + 1
    parts.append(params[start:])
    return [p.strip() for p in parts if p.strip()]


def _resolve(value):
    """Follows a named constant (kDefaultFramesDir) to its literal."""
    if not re.match(r"^[A-Za-z_]\w*$", value) or value in ("true", "false", "nullptr"):
        return value
    match = re.search(r"\b" + re.escape(value) + r"\s*=\s*([^;]+);", HEADERS)
    return match.group(1).strip() if match else value


def cxx_defaults(qualname):
    """Returns {parameter: default text} of the C++ declaration of `qualname`."""
    cls, _, name = qualname.rpartition(".")
    found = {}
    if name == "__init__":  # an aggregate: its fields' initialisers
        body = re.search(r"(?:struct|class) " + cls + r"\b[^;{]*\{", HEADERS)
        if body:
            text = _balanced(HEADERS, body.end() - 1)
            for field, value in re.findall(r"\b(\w+)\s*=\s*([^;]+);", text):
                found[field] = value.strip()
            ctor = re.search(r"explicit " + cls + r"\(", text) or re.search(r"\b" + cls + r"\(", text)
            if ctor:
                found.update(_params(text, ctor.end() - 1))
        return found
    for match in re.finditer(r"[\w>&*]\s+" + re.escape(name) + r"\(", HEADERS):
        found.update(_params(HEADERS, match.end() - 1))
    return found


def _params(text, start):
    found = {}
    for param in _split(_balanced(text, start)):
        if "=" in param:
            left, _, value = param.partition("=")
            found[left.split()[-1].lstrip("&*")] = value.strip()
    return found


def doc_defaults(function):
    """Returns {parameter: default text} of the docstring's own signature line."""
    doc = (getattr(function, "__wrapped__", function).__doc__ or "").split("\n")
    lines = [l for l in doc[1:] if l.strip()]
    own = lines[0] if lines else ""
    match = re.match(r"^[\w.]+\(", own.strip())
    if not match:
        return {}
    found = {}
    for param in _split(_balanced(own.strip(), match.end() - 1)):
        if "=" in param:
            name, _, value = param.partition("=")
            value = value.strip()
            # "x=None (a new empty dict)": the value is the first top-level word.
            if value[:1] in "([":
                value = value[:len(_balanced(value, 0)) + 2]
            elif value[:1] in "'\"":
                value = value[:value.index(value[0], 1) + 1]
            else:
                value = value.split(" ")[0]
            found[name.strip()] = value
    return found


def _same(python, cxx):
    """Whether a Python default text and a C++ default text mean the same value."""
    cxx = _resolve(cxx)
    python = python.strip()
    cxx = cxx.strip()
    raw = re.match(r'^R"\((.*)\)"$', cxx, re.S)
    if raw:
        return python == repr(raw.group(1))
    words = {"true": "True", "false": "False", "std::nullopt": "None", "nullptr": "None"}
    if cxx in words:
        return python == words[cxx]
    if cxx.startswith('"') and cxx.endswith('"'):
        return python in (repr(cxx[1:-1]), cxx)
    if cxx in ("{}", "std::nullopt"):
        return python in ("None", "[]", "{}", "()")
    if cxx.startswith("{") and cxx.endswith("}"):
        items = [x.strip() for x in cxx[1:-1].split(",")]
        return python.replace("(", "[").replace(")", "]") == "[" + ", ".join(items) + "]"
    cxx = re.sub(r"^(Number|std::int64_t|double|int)\((.*)\)$", r"\2", cxx)
    try:
        return float(python) == float(cxx.rstrip("f"))
    except ValueError:
        return python == cxx


def public_callables():
    for name in sorted(dir(pu)):
        value = getattr(pu, name)
        if name.startswith("_") or not callable(value):
            continue
        if inspect.isclass(value):
            for member in ("__init__",) + tuple(m for m in vars(value) if not m.startswith("_")):
                function = getattr(value, member, None)
                if callable(function) and hasattr(function, "__signature__"):
                    yield f"{name}.{member}", function
        elif hasattr(value, "__signature__"):
            yield name, value


# Python defaults that stand for a C++ default in another shape, said in
# the docstring (a fresh dict per call where C++ takes an empty map).
SHAPED = {("VideoProcessor.__init__", "camera_crop_coords"), ("VideoProcessor.__init__", "resize_dim"),
          ("VideoProcessor.__init__", "output_dir_base"), ("retrieve_annotation", "object_ids")}

CASES = [(q, f) for q, f in public_callables()]


@pytest.mark.parametrize("qualname,function", CASES, ids=[q for q, _ in CASES])
def test_python_defaults_equal_the_cxx_defaults_and_the_docstring(qualname, function):
    signature = function.__signature__
    cxx = cxx_defaults(qualname)
    documented = doc_defaults(function)
    for name, parameter in signature.parameters.items():
        if parameter.default is inspect.Parameter.empty:
            continue
        python = repr(parameter.default)
        if name in documented and not documented[name].startswith("<"):  # <placeholder> for long texts
            assert _same(python, '"' + documented[name][1:-1] + '"' if documented[name][:1] in "'\"" else
                         documented[name]) or python == documented[name], \
                f"{qualname}: {name} defaults to {python} but the docstring says {documented[name]}"
        if name in cxx and (qualname, name) not in SHAPED:
            assert _same(python, cxx[name]), f"{qualname}: {name} defaults to {python} in Python, {cxx[name]} in C++"


def test_the_check_sees_the_defaults_it_guards():
    # The comparison must find the C++ side of the main operations, or it
    # would pass by finding nothing.
    for qualname, name in [("find_continuous_frames", "n_consecutive"), ("process_overlap_frames", "n_consecutive"),
                           ("initializer", "gdino_thr"), ("matcher", "max_attempts"),
                           ("generate_tracking_report", "intersection_thrr"), ("VideoProcessor.__init__", "time_step"),
                           ("Mask_Refinement.__init__", "max_prev_dist")]:
        assert name in cxx_defaults(qualname), (qualname, name)
    assert not _same("2", "3") and _same("3", "3") and _same("'Box ID'", '"Box ID"') and _same("None", "std::nullopt")
