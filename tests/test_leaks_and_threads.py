"""Reference leaks (repeat a scenario, compare counts) and threads started
together on shared objects."""

import gc
import sys
import threading

import pytest

from conftest import PanicException
from Lorvane import Indexable, sum_as_string

ROUNDS = 2000


class Unhashable:
    __hash__ = None


class HashRaises:
    def __hash__(self):
        raise RuntimeError("no hash")


def _scenario(values, bad):
    for _ in range(ROUNDS):
        obj = Indexable(a=values[0], b=values[1], c=values[2])
        obj.a = values[1]
        obj.d = values[0]
        for i in range(10):  # the ninth name moves the map to its hashed form
            setattr(obj, f"n{i}", values[i % len(values)])
        assert obj.b is values[1]
        obj.__dir__()
        repr(obj)
        try:
            obj.a = bad
        except PanicException:
            pass
        try:
            Indexable(x=values[0], y=bad)
        except PanicException:
            pass
        try:
            obj.missing
        except AttributeError:
            pass
        sum_as_string(1, 2)
        try:
            sum_as_string(values[0], 1)
        except TypeError:
            pass


@pytest.mark.parametrize("bad", [2**64, "\ud800"], ids=["huge int", "surrogate"])
def test_values_are_released(bad):
    values = [object(), "some text " * 3, 12345678901, 2.5, [1, 2], Unhashable(), HashRaises(), Indexable(z=1)]
    _scenario(values, bad)  # warm-up: caches settle
    gc.collect()
    before = [sys.getrefcount(v) for v in values + [bad]]
    _scenario(values, bad)
    gc.collect()
    after = [sys.getrefcount(v) for v in values + [bad]]
    assert after == before


def test_subclass_objects_release_their_values():
    class Sub(Indexable):
        def __init__(self, **kw):
            self.extra = kw.get("a")

    value = object()
    before = sys.getrefcount(value)
    objs = [Sub(a=value, b=value) for _ in range(1000)]
    assert sys.getrefcount(value) == before + 3 * 1000
    del objs
    gc.collect()
    assert sys.getrefcount(value) == before


@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="the interpreter's allocator is not in use")
def test_no_memory_growth():
    values = [object(), "text", 7, [1]]
    growth = []
    for _ in range(4):
        gc.collect()
        start = sys.getallocatedblocks()
        _scenario(values, 2**64)
        gc.collect()
        growth.append(sys.getallocatedblocks() - start)
    # A leak of one block per round would add ROUNDS blocks every pass.
    assert min(growth[1:]) < ROUNDS // 10, growth


# ---- threads ---------------------------------------------------------------------------------------

THREADS = 4
ITERATIONS = 3000


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_write_and_read_shared_objects(fast_switching):
    shared = [Indexable(shared=None, **{f"pre{i}": i for i in range(k)}) for k in range(12)]
    barrier = threading.Barrier(THREADS)
    errors = []

    def work(tid):
        own = f"t{tid}"
        try:
            barrier.wait()
            for i in range(ITERATIONS):
                obj = shared[i % len(shared)]
                mine = (tid, i)
                setattr(obj, own, mine)
                obj.shared = mine
                if getattr(obj, own) is not mine:  # only this thread writes `own`
                    errors.append(("own value lost", tid, i))
                seen = obj.shared
                if not (isinstance(seen, tuple) and len(seen) == 2):
                    errors.append(("torn shared value", seen))
                if i % 64 == 0:
                    names = obj.__dir__()
                    if names.count(own) != 1:
                        errors.append(("listing", names))
                    repr(obj)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for k, obj in enumerate(shared):
        last = max(i for i in range(ITERATIONS) if i % len(shared) == k)
        for tid in range(THREADS):
            assert getattr(obj, f"t{tid}") == (tid, last)
        assert obj.shared in {(tid, last) for tid in range(THREADS)}
        assert repr(obj) == f"<Indexable with {k + 1 + THREADS} attributes>"
        for i in range(k):
            assert getattr(obj, f"pre{i}") == i
