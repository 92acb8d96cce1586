"""The module surface: registration, sum_as_string, constructors, subclassing,
signatures, help, re-import and the refusal of a second interpreter."""

import importlib
import inspect
import operator
import os
import pydoc
import subprocess
import sys
import textwrap

import pytest

import Lorvane
from Lorvane import FilteredIndex, Index, Indexable, PyQueryExpr, sum_as_string

CLASSES = [Index, Indexable, FilteredIndex, PyQueryExpr]
OUT_OF_RANGE = "out of range integral type conversion attempted"


def test_registration_order_and_names():
    public = [name for name in vars(Lorvane) if not name.startswith("__")]
    assert public == ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]
    assert Lorvane.__doc__ and "\n" not in Lorvane.__doc__.strip()


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_shape(cls):
    assert cls.__bases__ == (object,)
    assert cls.__name__ == cls.__qualname__ and "." not in cls.__name__
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    doc = cls.__doc__ or ""
    assert doc.strip() == ""


# ---- sum_as_string -------------------------------------------------------------


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "a, b, text",
    [
        (2, 3, "5"),
        (0, 0, "0"),
        (4294967295, 1, "0"),
        (4294967295, 4294967295, "4294967294"),
        (2**31, 2**31, "0"),
        (1, 4294967294, "4294967295"),
        (True, True, "2"),
        (Idx(7), Idx(4294967295), "6"),
    ],
)
def test_sum_as_string_wraps_modulo_2_32(a, b, text):
    assert sum_as_string(a, b) == text
    assert sum_as_string(b=b, a=a) == text
    assert type(sum_as_string(a, b)) is str


@pytest.mark.parametrize("bad", [-1, 4294967296, 2**63 - 1, -(2**63), Idx(-1), Idx(2**40)])
@pytest.mark.parametrize("position", ["a", "b"])
def test_sum_as_string_out_of_range_in_64_bits(bad, position):
    args = {"a": 1, "b": 1, position: bad}
    with pytest.raises(OverflowError) as info:
        sum_as_string(**args)
    assert type(info.value) is OverflowError
    assert str(info.value) == OUT_OF_RANGE  # unwrapped: no argument prefix


@pytest.mark.parametrize("bad", [2**64, 2**63, -(2**63) - 1, 10**40])
def test_sum_as_string_beyond_64_bits_is_overflow(bad):
    with pytest.raises(OverflowError) as info:
        sum_as_string(bad, 0)
    assert not str(info.value).startswith("argument")


def _index_error(obj):
    try:
        operator.index(obj)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{obj!r} converts")


@pytest.mark.parametrize("bad", ["1", 1.5, None, [1], b"1"], ids=repr)
def test_sum_as_string_type_errors_carry_the_argument_name(bad):
    with pytest.raises(TypeError) as info:
        sum_as_string(bad, 1)
    assert str(info.value) == "argument 'a': " + _index_error(bad)
    with pytest.raises(TypeError) as info:
        sum_as_string(1, b=bad)
    assert str(info.value) == "argument 'b': " + _index_error(bad)


def test_sum_as_string_reports_a_before_b():
    with pytest.raises(OverflowError):
        sum_as_string(-1, "x")
    with pytest.raises(TypeError, match="^argument 'a': "):
        sum_as_string("x", -1)


class _TypeErrorSubclass(TypeError):
    pass


def _raising_index(exc):
    class Raises:
        def __index__(self):
            raise exc

    return Raises()


def test_only_exact_type_errors_get_the_prefix():
    with pytest.raises(TypeError) as info:
        sum_as_string(_raising_index(TypeError("plain")), 0)
    assert type(info.value) is TypeError and str(info.value) == "argument 'a': plain"

    with pytest.raises(_TypeErrorSubclass) as info:
        sum_as_string(_raising_index(_TypeErrorSubclass("derived")), 0)
    assert str(info.value) == "derived"

    with pytest.raises(ValueError) as info:
        sum_as_string(0, _raising_index(ValueError("other")))
    assert str(info.value) == "other"

    with pytest.raises(TypeError, match=r"^argument 'a': __index__ returned non-int"):
        sum_as_string(Idx("x"), 0)


# A plain Python function of the same name and parameters: binding errors
# must read exactly as the interpreter's own.
_namespace = {}
exec("def sum_as_string(a, b):\n    pass", _namespace)
_reference_sum_as_string = _namespace["sum_as_string"]


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1,), {}), ((), {"b": 1}), ((1, 2, 3), {}), ((1, 2), {"c": 3}), ((1,), {"a": 2}),
     ((), {"a": 1, "b": 2, "c": 3}), ((1, 2), {"a": 3, "b": 4})],
)
def test_sum_as_string_binding_errors_match_the_interpreter(args, kwargs):
    with pytest.raises(TypeError) as expected:
        _reference_sum_as_string(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        sum_as_string(*args, **kwargs)
    assert str(got.value) == str(expected.value)


# ---- constructors and subclassing ---------------------------------------------------


def test_index_constructor():
    assert type(Index()) is Index
    with pytest.raises(TypeError, match="positional"):
        Index(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        Index(x=1)


@pytest.mark.parametrize("cls", [FilteredIndex, PyQueryExpr], ids=lambda c: c.__name__)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {"a": 2})])
def test_classes_without_constructor(cls, args, kwargs):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == "No constructor defined for " + cls.__name__


@pytest.mark.parametrize("cls", [Index, FilteredIndex, PyQueryExpr], ids=lambda c: c.__name__)
def test_only_indexable_can_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})

    class Derived(Indexable):
        pass

    assert isinstance(Derived(a=1), Indexable)


# ---- signatures and help --------------------------------------------------------------


@pytest.mark.parametrize(
    "obj, text",
    [(sum_as_string, "(a, b)"), (Index, "()"), (Indexable, "(*_args, **kwargs)"), (Indexable.__dir__, "($self)")],
    ids=["sum_as_string", "Index", "Indexable", "__dir__"],
)
def test_text_signatures(obj, text):
    assert obj.__text_signature__ == text
    if text != "($self)":
        assert str(inspect.signature(obj)) == text


def test_help_on_the_function():
    assert sum_as_string.__doc__ == "Formats the sum of two numbers as string."
    text = pydoc.render_doc(sum_as_string, renderer=pydoc.plaintext)
    assert "sum_as_string(a, b)" in text
    assert "Formats the sum of two numbers as string." in text


@pytest.mark.parametrize("cls", [Indexable, Index], ids=lambda c: c.__name__)
def test_help_on_a_class_documents_it(cls):
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    assert f"class {cls.__name__}(builtins.object)" in text


# ---- import -------------------------------------------------------------------------------


def test_reimport_returns_the_same_module():
    first = sys.modules["Lorvane"]
    assert importlib.import_module("Lorvane") is first
    del sys.modules["Lorvane"]
    try:
        again = importlib.import_module("Lorvane")
        assert again is first
        assert again.Indexable is Indexable
    finally:
        sys.modules["Lorvane"] = first


def test_second_interpreter_is_refused():
    # In a child process: the subinterpreter API differs between 3.12 and 3.13.
    code = textwrap.dedent(
        """
        import Lorvane
        probe = '''
        import os
        try:
            import Lorvane
            os.write(1, b"imported\\\\n")
        except ImportError:
            os.write(1, b"ImportError\\\\n")
        '''
        try:
            import _interpreters as interpreters
            iid = interpreters.create("legacy")
        except ImportError:
            import _xxsubinterpreters as interpreters
            iid = interpreters.create(isolated=False)
        interpreters.run_string(iid, probe)
        interpreters.destroy(iid)
        print(Lorvane.sum_as_string(1, 2))
        """
    )
    result = subprocess.run([sys.executable, "-W", "ignore", "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ImportError", "3"]


# Where the import puts objects: an arena the kernel was asked to back with
# huge pages ("hg" among the mapping's flags), unless switched off. Objects
# made and freed in rounds (arenas given back, then reused) keep their values.
HUGE_ARENAS_SCRIPT = textwrap.dedent("""
    import Lorvane
    def advised(address):
        lines = open("/proc/self/smaps").read().splitlines()
        inside = False
        for line in lines:
            head = line.split()[0]
            if "-" in head and ":" not in head:
                lo, hi = (int(x, 16) for x in head.split("-"))
                inside = lo <= address < hi
            elif inside and line.startswith("VmFlags:"):
                return "hg" in line.split()
    index = Lorvane.Index()
    for round in range(4):
        objs = [Lorvane.Indexable(n=i, round=round) for i in range(300_000)]
        index.add_object_many(objs[::1000])
        assert sum(o.n for o in objs) == 299_999 * 300_000 // 2
        assert len(index.get_by_attribute(round=round)) == 300
        del objs
    print(advised(id(Lorvane.Indexable(n=1))))
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="huge pages are asked of Linux only")
@pytest.mark.parametrize("setting", ["", "0"])
def test_objects_live_in_huge_page_arenas_unless_switched_off(setting):
    try:
        mode = open("/sys/kernel/mm/transparent_hugepage/enabled").read()
    except OSError:
        pytest.skip("this kernel does not report transparent huge pages")
    if os.environ.get("PYTHONMALLOC", "pymalloc") not in ("pymalloc", "pymalloc_debug"):
        pytest.skip("the interpreter's small-object allocator is off in this run")
    env = {k: v for k, v in os.environ.items() if k != "LORVANE_HUGE_ARENAS"}
    if setting:
        env["LORVANE_HUGE_ARENAS"] = setting
    out = subprocess.run([sys.executable, "-c", HUGE_ARENAS_SCRIPT], env=env, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str(setting == "" and "[never]" not in mode)
