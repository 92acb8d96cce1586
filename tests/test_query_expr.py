"""PyQueryExpr: builders, printed form, argument errors, copies and the cycle collector."""

import gc
import inspect
import os
import re
import subprocess
import sys
import unicodedata
import weakref

import pytest

from conftest import PASS_THROUGH, IterRaiser, NextRaiser, PanicException, passes_through
from Lorvane import Index, Indexable, PyQueryExpr as Q


def V(obj, cast):
    """The printed form of a value captured from `obj`."""
    try:
        h = hash(obj)
    except TypeError:
        h = 0
    return f"PyValue {{ obj: Py({hex(id(obj))}), primitave: {cast}, hash: {h} }}"


def body(expr):
    text = repr(expr)
    assert text.startswith("<QueryExpr: ") and text.endswith(">")
    return text[len("<QueryExpr: ") : -1]


# Objects the expressions below print by address; kept alive by the module.
S, LST, NONE, BIG, ND = "é\u0301\t", [1], None, 12345678901, Indexable(a=1)
QA, QB = Q.eq("a", 1), Q.lt("b", 2.5)
A, B = body(QA), body(QB)

BUILDS = [
    (lambda: Q.eq("a", 1), f'Eq("a", {V(1, "Int(1)")})'),
    (lambda: Q.ne(attr='say "hi"', value=S), 'Ne("say \\"hi\\"", ' + V(S, 'Str("é\\u{301}\\t")') + ")"),
    (lambda: Q.gt("tab\there", 2.5), f'Gt("tab\\there", {V(2.5, "Float(2.5)")})'),
    (lambda: Q.ge("é", BIG), f'Ge("é", {V(BIG, "Int(12345678901)")})'),
    (lambda: Q.le("e\u0301\u200b\u00a0", 1e16), f'Le("e\\u{{301}}\\u{{200b}}\\u{{a0}}", {V(1e16, "Float(1e16)")})'),
    (lambda: Q.bt("x", -1, NONE), f'Bt("x", {V(-1, "Int(-1)")}, {V(NONE, "Unknown")})'),
    (lambda: Q.lt("nul\0cr\rnl\n\\", ND), f'Lt("nul\\0cr\\rnl\\n\\\\", {V(ND, "Ind(Py(" + hex(id(ND)) + "))")})'),
    (lambda: Q.in_("b.c", []), 'In("b.c", [])'),
    (lambda: Q.in_("", (1, 1, LST)), f'In("", [{V(1, "Int(1)")}, {V(1, "Int(1)")}, {V(LST, "Unknown")}])'),
    (lambda: Q.in_("..r", range(2)), f'In("..r", [{V(0, "Int(0)")}, {V(1, "Int(1)")}])'),
    (lambda: Q.in_("b", b"\x05"), f'In("b", [{V(5, "Int(5)")}])'),
    (lambda: Q.and_(), "And([])"),
    (lambda: Q.or_(), "Or([])"),
    (lambda: Q.and_(QA), f"And([{A}])"),
    (lambda: Q.or_(QA, QB, QA), f"Or([{A}, {B}, {A}])"),
    (lambda: Q.and_(QA, Q.not_(Q.in_("b.c", []))), f'And([{A}, Not(In("b.c", []))])'),
    (lambda: Q.not_(exprs=Q.and_(Q.and_(QA, QB), QA)), f"Not(And([And([{A}, {B}]), {A}]))"),
    (lambda: QA.or_(QB), f"Or([{B}])"),  # a builder called on an instance ignores it
]


@pytest.mark.parametrize("build, text", BUILDS, ids=range(len(BUILDS)))
def test_builders_and_their_printed_form(build, text):
    expr = build()
    assert type(expr) is Q
    assert body(expr) == text


def _escaped(text):
    """Code points of a printed string: which appear as \\u{..}, which as themselves."""
    escaped, plain = set(), set()
    for hexa, named, char in re.findall(r"\\u\{([0-9a-f]+)\}|\\(.)|(.)", text[1:-1], re.S):
        if hexa:
            escaped.add(int(hexa, 16))
        elif char:
            plain.add(ord(char))
    return escaped, plain


# Printable characters that extend a grapheme without being Mn or Me
# (spacing vowel signs and length marks, halfwidth sound marks, musical stems).
OTHER_EXTEND = {0x09BE, 0x09D7, 0x0B3E, 0x0B57, 0x0BBE, 0x0BD7, 0x0CC2, 0x0CD5, 0x0CD6, 0x0D3E, 0x0D57, 0x0DCF}
OTHER_EXTEND |= {0x0DDF, 0x1B35, 0x302E, 0x302F, 0xFF9E, 0xFF9F, 0x1133E, 0x11357, 0x114B0, 0x114BD, 0x115AF}
OTHER_EXTEND |= {0x11930, 0x1D165, *range(0x1D16E, 0x1D173)}


def test_every_code_point_is_escaped_exactly_when_unprintable_or_combining():
    every = [c for c in range(0x80, 0x110000) if not 0xD800 <= c <= 0xDFFF]
    escaped, plain = _escaped(body(Q.eq("".join(map(chr, every)), 0)).split(", PyValue")[0][3:])
    assert escaped | plain == set(every) and not escaped & plain
    marks = {c for c in every if not chr(c).isprintable() or unicodedata.category(chr(c)) in ("Mn", "Me")}
    assert marks <= escaped
    assert escaped - marks == OTHER_EXTEND


def _sequence(raiser_class):
    class Seq(raiser_class):
        def __len__(self):
            return 1

        def __getitem__(self, i):
            return 1

    return Seq


class LenRaises(list):
    def __len__(self):  # sizes nothing: the items are what iteration gives
        raise ValueError("no length")


class OwnTypeError(TypeError):
    pass


def gen():
    yield 1


ERRORS = [
    (lambda: Q.eq("a"), TypeError, "PyQueryExpr.eq() missing 1 required positional argument: 'value'"),
    (lambda: Q.bt(), TypeError, "PyQueryExpr.bt() missing 3 required positional arguments: 'attr', 'lower', and 'upper'"),
    (lambda: Q.eq("a", 1, 2), TypeError, "PyQueryExpr.eq() takes 2 positional arguments but 3 were given"),
    (lambda: Q.ge("a", 1, value=2), TypeError, "PyQueryExpr.ge() got multiple values for argument 'value'"),
    (lambda: Q.in_(attr="a", vals=[1]), TypeError, "PyQueryExpr.in_() got an unexpected keyword argument 'vals'"),
    (lambda: Q.or_(QA, x=QA), TypeError, "PyQueryExpr.or_() got an unexpected keyword argument 'x'"),
    (lambda: Q.not_(QA, QA), TypeError, "PyQueryExpr.not_() takes 1 positional argument but 2 were given"),
    (lambda: Q.not_(), TypeError, "PyQueryExpr.not_() missing 1 required positional argument: 'exprs'"),
    (lambda: Q.eq(1, 1), TypeError, "argument 'attr': 'int' object cannot be converted to 'PyString'"),
    (lambda: Q.in_(b"a", [1]), TypeError, "argument 'attr': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: Q.lt(None, 1), TypeError, "argument 'attr': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: Q.in_("a", "ab"), TypeError, "argument 'values': Can't extract `str` to `Vec`"),
    (lambda: Q.in_("a", {1}), TypeError, "argument 'values': 'set' object cannot be converted to 'Sequence'"),
    (lambda: Q.in_("a", {1: 2}), TypeError, "argument 'values': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: Q.in_("a", gen()), TypeError, "argument 'values': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: Q.in_("a", 5), TypeError, "argument 'values': 'int' object cannot be converted to 'Sequence'"),
    (lambda: Q.and_(QA, 5), TypeError, "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
    (lambda: Q.or_("a"), TypeError, "argument 'exprs': 'str' object cannot be converted to 'PyQueryExpr'"),
    (lambda: Q.not_(exprs=Indexable()), TypeError, "argument 'exprs': 'Indexable' object cannot be converted to 'PyQueryExpr'"),
    # Errors raised while a str is read or a sequence iterated: only an exact TypeError is prefixed.
    (lambda: Q.eq("\ud800", 1), UnicodeEncodeError, "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    (lambda: Q.in_("a", _sequence(IterRaiser)(TypeError)), TypeError, "argument 'values': raised by user code"),
    (lambda: Q.in_("a", _sequence(NextRaiser)(OwnTypeError)), OwnTypeError, "raised by user code"),
    (lambda: Q.in_("a", _sequence(IterRaiser)(ValueError)), ValueError, "raised by user code"),
    # Values are captured as attributes are.
    (lambda: Q.eq("a", 2**64), PanicException, "Python int too large to convert to C long"),
    (lambda: Q.in_("a", [1, "\udc00"]), PanicException, "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udc00' in position 0: surrogates not allowed"),
    (lambda: Q.not_(_nest(1000)), RecursionError, "query expression nested deeper than 1000 levels"),
    (lambda: Q.and_(QA, _nest(1000)), RecursionError, "query expression nested deeper than 1000 levels"),
]


def _nest(depth):
    expr = QA
    for _ in range(depth - 1):
        expr = Q.not_(expr)
    return expr  # `depth` levels: the deepest a tree may be


@pytest.mark.parametrize("call, kind, message", ERRORS, ids=range(len(ERRORS)))
def test_argument_errors(call, kind, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is kind
    assert str(info.value) == message
    if kind is TypeError:
        assert info.value.__cause__ is None


@pytest.mark.parametrize("kind", PASS_THROUGH, ids=lambda k: k.__name__)
@pytest.mark.parametrize("raiser", [IterRaiser, NextRaiser], ids=["iter", "next"])
def test_interrupts_while_reading_values_pass_through(kind, raiser):
    values = _sequence(raiser)(kind)
    with passes_through(values):
        Q.in_("a", values)


@pytest.mark.parametrize("claimed", [10**17, 2**62, sys.maxsize, 2**63, 0])
def test_a_length_the_sequence_claims_allocates_nothing(claimed):
    objs = [Indexable(v=i) for i in range(5)]
    index = Index()
    index.add_object_many(objs)
    expr = Q.in_("v", type("ClaimsLength", (list,), {"__len__": lambda self: claimed})([1, 3, 3]))
    assert body(expr) == body(Q.in_("v", [1, 3, 3]))
    assert index.reduced_query(expr).collect() == [objs[1], objs[3]]


# Each call, with the address space capped a little above what the process
# maps, outgrows it in the module's own arrays (bytes iterate as cached small
# ints; a range's ints are freed as they are hashed) and leaves the index be.
EXHAUSTED = r"""
import resource
from Lorvane import Index, Indexable, PyQueryExpr as Q
index = Index()
index.add_object_many(objs := [Indexable(v=i) for i in range(4)])
view, zeros, many = index.reduced(v=[0, 1, 2, 3]), bytes(50_000_000), range(10**9)
calls = [lambda: Q.in_("v", zeros), lambda: index.get_by_attribute(v=many),
         lambda: view.reduced(v=many), lambda: index.reduce(v=many)]
mapped = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
for call in calls:
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (96 << 20), hard))
    try:
        call()
    except MemoryError:
        print("MemoryError")
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
objs[1].v = 7
assert index.get_by_attribute(v=[7, 3]) == index.reduced_query(Q.in_("v", [7, 3])).collect() == objs[1::2]
print("alive")
"""


@pytest.mark.skipif(re.search(r"lib[at]san", os.environ.get("LD_PRELOAD", "")) is not None,
                    reason="a sanitizer's shadow memory counts against the address-space cap")
def test_memory_running_out_while_building_a_query_raises_memory_error():
    proc = subprocess.run([sys.executable, "-c", EXHAUSTED], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MemoryError"] * 4 + ["alive"]


def test_deepest_tree_is_built_and_printed():
    deepest = Q.or_(_nest(999))
    assert body(deepest) == "Or([" + "Not(" * 998 + A + ")" * 998 + "])"


def test_in_reads_by_iteration_not_by_length():
    assert body(Q.in_("a", LenRaises([7]))) == f'In("a", [{V(7, "Int(7)")}])'


def test_copies_are_independent_and_inputs_reusable():
    obj = object()
    base = sys.getrefcount(obj)
    q = Q.eq("a", obj)
    text = body(q)
    both = Q.and_(q, q)
    nested = Q.or_(both, Q.not_(q))
    # Each tree holds references of its own: q 1, both 2, nested 3.
    assert sys.getrefcount(obj) == base + 6
    assert body(both) == f"And([{text}, {text}])"
    assert body(nested) == f"Or([And([{text}, {text}]), Not({text})])"
    del q
    gc.collect()
    assert body(both) == f"And([{text}, {text}])"
    del both
    assert body(nested) == f"Or([And([{text}, {text}]), Not({text})])"
    del nested
    assert sys.getrefcount(obj) == base


class Helper:
    pass


def _cycle_through_list(helper):
    lst = [helper]
    lst.append(Q.not_(Q.and_(Q.eq("a", lst), Q.eq("a", lst))))


def _cycle_through_in_list(helper):
    lst = [helper]
    q = Q.in_("a", [1, lst, lst])
    lst.append(Q.or_(q, q))


def _cycle_through_indexable(helper):
    obj = Indexable(h=helper)
    obj.q = Q.bt("a", 0, obj)


def _cycle_through_dict(helper):
    d = {"h": helper}
    d["q"] = Q.ne("a", d)


@pytest.mark.parametrize(
    "make_cycle", [_cycle_through_list, _cycle_through_in_list, _cycle_through_indexable, _cycle_through_dict]
)
def test_cycles_through_values_are_collected(make_cycle):
    helper = Helper()
    gone = weakref.ref(helper)
    make_cycle(helper)
    del helper
    gc.collect()  # several owners of copies must not make live objects look unreferenced, nor hide garbage
    assert gone() is None


def test_live_values_survive_collections():
    lst = []
    q = Q.eq("a", lst)
    trees = [Q.and_(q, q, q), Q.not_(q), Q.or_(Q.and_(q, q))]
    lst.append(trees)  # a cycle that is still referenced from here
    gc.collect()
    gc.collect()
    # Here and getrefcount's argument, q's box, and six boxes in the copies.
    assert lst[0] is trees and sys.getrefcount(lst) == 2 + 1 + 6
    assert body(trees[1]) == f"Not({body(q)})"


def test_class_surface():
    names = ["eq", "ne", "gt", "ge", "le", "bt", "lt", "in_", "and_", "or_", "not_"]
    assert [n for n in vars(Q) if not n.startswith("_")] == names
    signatures = ["(attr, value)"] * 5 + ["(attr, lower, upper)", "(attr, value)", "(attr, values)"]
    signatures += ["(*exprs)", "(*exprs)", "(exprs)"]
    for name, sig in zip(names, signatures):
        assert getattr(Q, name).__text_signature__ == sig
        assert str(inspect.signature(getattr(Q, name))) == sig
        assert not getattr(Q, name).__doc__
    with pytest.raises(AttributeError):
        QA.extra = 1
    assert not hasattr(QA, "__dict__")
