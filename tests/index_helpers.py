"""Shared helpers of the index suites: a brute-force reference for keyword
selection and a check for the internal-error exception."""

import contextlib

import pytest


def ids(objs):
    return [id(o) for o in objs]


def _accepts(kw_value):
    """The hashes a keyword value accepts: a str stands for itself, an iterable
    for its items, anything else for itself."""
    if isinstance(kw_value, str):
        return {hash(kw_value)}
    try:
        it = iter(kw_value)
    except TypeError:
        return {hash_of(kw_value)}
    return {hash_of(v) for v in it}


def hash_of(v):
    try:
        return hash(v)
    except TypeError:
        return 0  # unhashable values are captured with hash 0


def brute(objs, **kwargs):
    """The objects of `objs`, in their order, that satisfy every keyword: the
    reference for keyword selection. Objects created in list order have
    ascending ids, so the result is also the index's order."""
    if not kwargs:
        return []
    accepted = {name: _accepts(v) for name, v in kwargs.items()}
    out = []
    for o in objs:
        ok = True
        for name, hashes in accepted.items():
            if name.startswith("_"):
                ok = False
                break
            try:
                v = getattr(o, name)
            except AttributeError:
                ok = False
                break
            if hash_of(v) not in hashes:
                ok = False
                break
        if ok:
            out.append(o)
    return out


def same_objects(result, expected):
    """`result` holds exactly the objects of `expected`, once each, in the
    same order (Indexable compares by identity)."""
    assert ids(result) == ids(expected)


@contextlib.contextmanager
def raises_internal_error(match=None):
    """The internal-error exception derives from BaseException only."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    assert not isinstance(info.value, Exception)
    if match is not None:
        assert match in str(info.value), str(info.value)


def left_out(module):
    """Why the optional module cannot be used in this run, or None: it is not
    installed, or LORVANE_WITHOUT (names split by spaces) leaves it out, as
    the sanitizer runs do for Ray."""
    import importlib.util
    import os
    if module in os.environ.get("LORVANE_WITHOUT", "").split():
        return f"LORVANE_WITHOUT leaves {module} out of this run"
    if importlib.util.find_spec(module) is None:
        return f"{module} is not installed (make {module}-deps installs it)"
    return None
