"""In-memory, queryable indexes of live Python objects."""

from collections.abc import Sequence
from typing import Any, final

def sum_as_string(a: int, b: int) -> str:
    """Formats the sum of two numbers as string."""

@final
class Index:
    def __init__(self) -> None: ...
    def reduced(self, **kwargs: Any) -> FilteredIndex:
        """A view of the stored objects that satisfy every keyword condition."""
    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """A view of the objects matched by the query expression."""

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
    def reduced(self, **kwargs: Any) -> FilteredIndex:
        """A narrower view: this view's objects that satisfy every keyword condition."""
    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """A narrower view: this view's objects matched by the query expression."""
    def collect(self) -> list[Any]:
        """The view's objects, in ascending id order."""
    def rebase(self) -> Index:
        """A new Index of the view's objects, indexing every attribute, "_" names too (later writes of those do not reach it)."""

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
