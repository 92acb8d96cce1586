"""A program that uses the whole API, checked by `mypy --strict` against the
installed Lorvane-stubs (tests/test_typing.py), and run when the module has
every method it calls."""

from __future__ import annotations

from typing import Any

from Lorvane import FilteredIndex, Index, Indexable, PyQueryExpr, sum_as_string


class Author(Indexable):
    name: str
    born: int


class Book(Indexable):
    title: str
    genre: str
    year: int
    author: Author


def titles(objs: list[Any]) -> list[str]:
    return [b.title for b in objs]


def build() -> tuple[Index, list[Book]]:
    herbert = Author(name="Herbert", born=1920)
    books = [
        Book(title="Dune", genre="sf", year=1965, author=herbert),
        Book(title="Emma", genre="novel", year=1815),
        Book(title="Solaris", genre="sf", year=1961),
    ]
    index = Index()
    index.add_object_many(books)
    extra = Book(title="Ubik", genre="sf", year=1969)
    index.add_object(extra)
    books.append(extra)
    return index, books


def main() -> None:
    assert sum_as_string(2, 3) == "5"
    index, books = build()
    assert titles(index.collect()) == ["Dune", "Emma", "Solaris", "Ubik"]
    assert titles(index.get_by_attribute(genre="sf", year=[1961, 1965])) == ["Dune", "Solaris"]
    books[1].genre = "sf"
    assert "genre" in dir(books[1])

    q: PyQueryExpr = PyQueryExpr.and_(
        PyQueryExpr.eq("genre", "sf"),
        PyQueryExpr.not_(PyQueryExpr.in_("year", [1815])),
        PyQueryExpr.or_(PyQueryExpr.bt("year", 1960, 1966), PyQueryExpr.gt("year", 1968)),
    )
    view: FilteredIndex = index.reduced_query(q)
    assert titles(view.collect()) == ["Dune", "Solaris", "Ubik"]
    older = index.reduced_query(PyQueryExpr.or_(PyQueryExpr.lt("year", 1900), PyQueryExpr.le("author.born", 1920)))
    assert titles(older.collect()) == ["Dune", "Emma"]
    assert index.reduced_query(PyQueryExpr.ge("year", 1969)).collect() == [books[3]]
    assert index.reduced_query(PyQueryExpr.ne("genre", "sf")).collect() == []

    sf = index.reduced(genre="sf")
    narrower: FilteredIndex = sf.reduced(year=1961).reduced_query(PyQueryExpr.eq("title", "Solaris"))
    assert titles(narrower.collect()) == ["Solaris"]
    own: Index = sf.rebase()
    assert len(own.collect()) == 4

    groups: dict[Any, FilteredIndex] = index.group_by("year")
    assert titles(groups[1961].collect()) == ["Solaris"]

    other = Index()
    other.add_object(books[0])
    index.union_with(other)
    index.reduce(genre="sf")
    assert len(index.collect()) == 4


if __name__ == "__main__":
    main()
