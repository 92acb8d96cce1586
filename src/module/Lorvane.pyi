"""In-memory, queryable indexes of live Python objects."""

from typing import Any, final

def sum_as_string(a: int, b: int) -> str:
    """Formats the sum of two numbers as string."""

@final
class Index:
    def __init__(self) -> None: ...
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
    def collect(self) -> list[Any]:
        """The view's objects, in ascending id order."""

@final
class PyQueryExpr:
    """Made by its builder methods only; calling the class raises TypeError."""
