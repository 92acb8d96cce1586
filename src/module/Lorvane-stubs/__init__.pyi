"""In-memory, queryable indexes of live Python objects.

Make ``Indexable`` objects (or instances of subclasses), add them to an
``Index`` and select them by keyword conditions or ``PyQueryExpr`` trees.
Later attribute writes reach every index that holds the object.
"""

# The one description of the module's types for type checkers and editors.
# It ships as the stub-only package Lorvane-stubs (a single-module extension
# cannot carry py.typed); the runtime keeps signature-only texts.

from collections.abc import Iterator, Sequence
from typing import Any, Self, final

def sum_as_string(a: int, b: int) -> str:
    """Formats the sum of two numbers as string."""

class Indexable:
    """An object whose attributes are indexed by every ``Index`` that holds it.

    Keyword arguments become attributes. Attributes live in the object's own
    map: a write never calls a subclass's property setter, and a stored name
    shadows a method of the same name. Names starting with ``_`` are stored
    but never indexed. Attributes cannot be deleted. Subclass it to give the
    objects a class of their own (and annotations for type checkers).
    """

    def __new__(cls, *_args: Any, **kwargs: Any) -> Self:
        """Sets each keyword as an attribute; positional arguments are ignored."""
    # Stub only: tells checkers that any attribute may be read (the runtime
    # answers reads in its own attribute lookup).
    def __getattr__(self, name: str, /) -> Any:
        """The attribute's value; AttributeError when it was never set."""
    def __setattr__(self, name: str, value: Any, /) -> None:
        """Stores the value and pushes it into every index holding the object.

        An int beyond 64 bits or a str with a lone surrogate is refused with
        the module's internal-error exception (a BaseException).
        """
    def __delattr__(self, name: str, /) -> None:
        """Always raises AttributeError: attributes cannot be deleted."""
    def __dir__(self) -> list[str]:
        """The stored attribute names with the class's own names."""
    def __getstate__(self) -> Any:
        """The attributes as a dict, in the order first set (``_`` names too).

        A subclass instance with anything in its ``__dict__`` or ``__slots__``
        gives ``(attributes, extra)``, extra as ``object.__getstate__`` words it.
        """
    def __setstate__(self, state: Any, /) -> None:
        """Sets the attributes of a state through the normal write path.

        Takes what ``__getstate__`` and ``__reduce__`` give; checks it all,
        and captures every value, before setting anything.
        """
    def __reduce__(self) -> tuple[Any, ...]:
        """``(copyreg.__newobj__, (cls,), state)``: loading never calls ``__init__``.

        The state names the attributes once per set of names, then the
        values; values are captured anew when loaded.
        """
    def __reduce_ex__(self, protocol: int, /) -> tuple[Any, ...]:
        """As ``__reduce__`` for every protocol (a subclass's own ``__reduce__`` wins)."""

@final
class Index:
    """An index of ``Indexable`` objects, kept up to date by their writes.

    Objects are added and removed by the index's own calls. Calls on one ``Index`` borrow it:
    a call from another thread while one runs raises RuntimeError
    ("Already borrowed" / "Already mutably borrowed") rather than waiting.

    ``len``, ``in``, ``iter`` and truth answer as for a list of ``collect()``;
    an Index pickles and copies as its objects (see ``__reduce__``).
    """

    def __init__(self) -> None:
        """An empty index."""
    def collect(self) -> list[Any]:
        """Every stored object, in creation order (even after ``reduce``)."""
    def reduced(self, **kwargs: Any) -> FilteredIndex:
        """A view of the objects that satisfy every keyword condition.

        Each keyword names an attribute (whole, no dotted paths); its value is
        one acceptable value, or a collection of them (a str is one value).
        No keywords select nothing.
        """
    def reduce(self, **kwargs: Any) -> None:
        """Narrows the index in place to the objects matching the keywords.

        Only keyword answers are narrowed: ``collect``, range tests and
        dotted paths still see every object, and a later write of an object
        that was left out brings it back under its new value.
        """
    def get_by_attribute(self, **kwargs: Any) -> list[Any]:
        """The objects that satisfy every keyword condition, in creation order.

        Each keyword names an attribute; its value is one acceptable value or
        a collection of them (a str is one value; bytes, sets, ranges and
        generators are collections). No keywords return ``[]``.
        """
    def add_object_many(self, objs: Sequence[Indexable]) -> None:
        """Adds every object of the sequence (not a str) in one batch.

        Releases the interpreter lock while indexing; large batches index
        their attributes on several cores.
        """
    def add_object(self, py_ref: Indexable) -> None:
        """Adds one object; adding it again changes nothing."""
    def remove_object(self, obj: Indexable) -> None:
        """Takes the object out of the index; nothing changes when it is not held.

        Views made earlier skip it from then on (and keep it alive until they
        go); a nested object stays reachable through its holders' paths.
        """
    def remove_object_many(self, objs: Sequence[Indexable]) -> None:
        """Removes every object of the sequence (not a str) in one batch.

        Objects the index does not hold are skipped. Lets go of the
        interpreter lock while it works, as ``add_object_many`` does.
        """
    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """A view of the objects matched by the query expression.

        Evaluated without the interpreter lock; the expression stays usable.
        """
    def group_by(self, attr: str) -> dict[Any, FilteredIndex]:
        """One view per distinct value of the attribute (a dotted path too).

        Equal-hash values form one group, keyed by a value one of its objects
        holds now; an attribute that is not indexed gives ``{}``. A group
        whose key cannot be a dict key raises TypeError.
        """
    def union_with(self, other: Index) -> None:
        """Merges the other index's value sets for the objects this one stores.

        The other index is unchanged; ``index.union_with(index)`` raises
        RuntimeError("Already mutably borrowed").
        """
    def __len__(self) -> int:
        """The number of objects ``collect()`` lists, counted without listing them."""
    def __bool__(self) -> bool:
        """Whether the index holds any object."""
    def __contains__(self, obj: object, /) -> bool:
        """Whether the index holds this very object (anything else: False)."""
    def __iter__(self) -> Iterator[Any]:
        """The objects in creation order, as listed when iteration starts."""
    def __repr__(self) -> str:
        """``<Index with N objects>`` ("objects" whatever N, as Indexable's repr)."""
    def __reduce__(self) -> tuple[Any, ...]:
        """``(Index, (), objects)``: pickles and copies as its objects in creation order.

        Loading makes a new Index of them (``add_object_many``); narrowing by
        ``reduce``, merges by ``union_with`` and ``_`` names indexed by
        ``rebase`` are not kept. Never unpickle data you do not trust.
        """
    def __setstate__(self, objs: Sequence[Indexable], /) -> None:
        """Adds the objects to this index, which must be empty (ValueError otherwise)."""

@final
class FilteredIndex:
    """A fixed set of an index's objects, made by filtering, never by calling.

    The set of objects is fixed when the view is made; their attribute values
    are read live from the index's tables, which the view keeps alive after
    the ``Index`` is gone. Calling the class raises TypeError. ``len``,
    ``in``, ``iter`` and truth answer as for a list of ``collect()``; pickling
    refuses (``rebase()`` first) and ``copy.copy`` gives the view itself.
    """

    def reduced(self, **kwargs: Any) -> FilteredIndex:
        """The view's objects that satisfy every keyword condition, as a new view."""
    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """The view's objects matched by the query expression, as a new view."""
    def collect(self) -> list[Any]:
        """The view's objects, in ascending id (creation) order."""
    def rebase(self) -> Index:
        """A new ``Index`` of exactly the view's objects, indexed afresh.

        Names starting with ``_`` are indexed here too; later writes of such
        names do not reach the new index. Other later writes reach both.
        """
    def __len__(self) -> int:
        """The number of objects ``collect()`` lists, counted without listing them."""
    def __bool__(self) -> bool:
        """Whether the view lists any object."""
    def __contains__(self, obj: object, /) -> bool:
        """Whether this very object is one of the view's (anything else: False)."""
    def __iter__(self) -> Iterator[Any]:
        """The view's objects in creation order, as listed when iteration starts."""
    def __repr__(self) -> str:
        """``<FilteredIndex with N objects>``."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Always raises TypeError: call ``rebase()`` and pickle the Index it makes."""
    def __reduce_ex__(self, protocol: int, /) -> tuple[Any, ...]:
        """Always raises TypeError, as ``__reduce__`` (so does ``copy.deepcopy``)."""
    def __copy__(self) -> Self:
        """The view itself: its set of objects never changes."""

@final
class PyQueryExpr:
    """An immutable query tree, made by its builder methods only.

    Calling the class raises TypeError. ``repr`` shows the whole tree.
    Attribute names may be dotted paths into nested objects (``"a.b"``).
    """

    @staticmethod
    def eq(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose attribute equals the value (equal hashes)."""
    @staticmethod
    def ne(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose attribute differs from the value, or that lack it."""
    @staticmethod
    def gt(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose int/float attribute is greater than the value."""
    @staticmethod
    def ge(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose int/float attribute is at least the value."""
    @staticmethod
    def le(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose int/float attribute is at most the value."""
    @staticmethod
    def bt(attr: str, lower: Any, upper: Any) -> PyQueryExpr:
        """Objects whose int/float attribute lies in [lower, upper], both ends included."""
    @staticmethod
    def lt(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose int/float attribute is less than the value."""
    @staticmethod
    def in_(attr: str, values: Sequence[Any]) -> PyQueryExpr:
        """Objects whose attribute equals one of the values."""
    @staticmethod
    def and_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects matched by every expression; ``and_()`` matches nothing."""
    @staticmethod
    def or_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects matched by any expression; ``or_()`` matches nothing."""
    @staticmethod
    def not_(exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects not matched by the expression, those lacking the attribute included."""
    def __reduce__(self) -> tuple[Any, ...]:
        """``(builder, args)``: the builder call that makes this tree again.

        Loading captures the values anew; ``copy.deepcopy`` copies them.
        """
    def __copy__(self) -> Self:
        """The expression itself: it never changes."""
