import contextlib
import os

import pytest

import Lorvane


def _internal_error_type():
    # The class is not exported by the module; the first capture failure shows it.
    try:
        Lorvane.Indexable(probe=2**64)
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("an int outside 64 bits was captured")


PanicException = _internal_error_type()

# The thread tests' loop counts are multiplied by LORVANE_THREAD_SCALE
# (default 1): a run under ThreadSanitizer, many times slower per step, takes
# a fraction of the rounds (`make tsan`).
THREAD_SCALE = float(os.environ.get("LORVANE_THREAD_SCALE", "1"))


def thread_rounds(n):
    """n rounds of a thread test, scaled by LORVANE_THREAD_SCALE (at least 1)."""
    return max(1, round(n * THREAD_SCALE))


def raises_internal_error(match=None):
    """pytest.raises for the module's internal-error exception."""
    return pytest.raises(PanicException, match=match)



class Interrupt(BaseException):
    pass


class Exhausted(MemoryError):
    pass


# Raised by user code while a value is captured or a query is built, these
# reach the caller unchanged: they are about the process, not the value.
PASS_THROUGH = [KeyboardInterrupt, SystemExit, GeneratorExit, Interrupt, MemoryError, Exhausted, RecursionError]


class HashRaiser:
    """Raises a fresh `kind` from __hash__; `raised` keeps each one."""

    def __init__(self, kind):
        self.kind, self.raised = kind, []

    def fail(self):
        self.raised.append(self.kind("raised by user code"))
        raise self.raised[-1]

    def __hash__(self):
        self.fail()


class IterRaiser(HashRaiser):
    __hash__ = object.__hash__

    def __iter__(self):
        self.fail()


class NextRaiser(IterRaiser):
    def __iter__(self):
        self.left = 1
        return self

    def __next__(self):  # 1, then the error
        self.left -= 1
        return 1 if self.left == 0 else self.fail()


@contextlib.contextmanager
def passes_through(raiser):
    """The very exception `raiser` raised last reaches the caller, traceback included."""
    with pytest.raises(raiser.kind) as info:
        yield
    assert info.value is raiser.raised[-1]
    assert info.traceback[-1].name == "fail"
