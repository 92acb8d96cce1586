"""In-memory, queryable indexes of live Python objects."""

from collections.abc import Sequence
from typing import Any, final

def sum_as_string(a: int, b: int) -> str:
    """Formats the sum of two numbers as string."""

@final
class Index:
    def __init__(self) -> None: ...
    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """A view of the objects matched by the query expression."""
    def group_by(self, attr: str) -> dict[Any, FilteredIndex]:
        """A view per distinct value of `attr` (a name or a dotted path into
        nested objects) of the objects holding it; `{}` for an attribute no
        object has or a name beginning with "_". TypeError when a value cannot
        be a dict key (a list is one value with every unhashable value)."""
    def union_with(self, other: Index) -> None:
        """Merges `other`'s value sets into this index's, for the objects this
        index stores; `other` is not changed. Raises RuntimeError "Already
        mutably borrowed" when `other` is this index."""

class Indexable:
    def __init__(self, *_args: Any, **kwargs: Any) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...
    def __delattr__(self, name: str) -> None:
        """Always raises AttributeError: attributes cannot be deleted."""
    def __dir__(self) -> list[str]: ...

@final
class FilteredIndex:
    """Made by the index only; calling the class raises TypeError."""
    def collect(self) -> list[Any]:
        """The view's objects, in ascending id order."""

@final
class PyQueryExpr:
    """Made by its builder methods only; calling the class raises TypeError."""
    @staticmethod
    def eq(attr: str, value: Any) -> PyQueryExpr: ...
    @staticmethod
    def ne(attr: str, value: Any) -> PyQueryExpr: ...
    @staticmethod
    def gt(attr: str, value: Any) -> PyQueryExpr: ...
    @staticmethod
    def ge(attr: str, value: Any) -> PyQueryExpr: ...
    @staticmethod
    def le(attr: str, value: Any) -> PyQueryExpr: ...
    @staticmethod
    def bt(attr: str, lower: Any, upper: Any) -> PyQueryExpr: ...
    @staticmethod
    def lt(attr: str, value: Any) -> PyQueryExpr: ...
    @staticmethod
    def in_(attr: str, values: Sequence[Any]) -> PyQueryExpr: ...
    @staticmethod
    def and_(*exprs: PyQueryExpr) -> PyQueryExpr: ...
    @staticmethod
    def or_(*exprs: PyQueryExpr) -> PyQueryExpr: ...
    @staticmethod
    def not_(exprs: PyQueryExpr) -> PyQueryExpr: ...
