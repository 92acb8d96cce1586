"""A first look at Lorvane: objects whose attributes an index can follow."""

from Lorvane import Index, Indexable

# Keyword arguments become attributes, in the order given.
book = Indexable(title="Dune", author="Frank Herbert", year=1965)
print(book)                                    # <Indexable with 3 attributes>
print(book.title, "by", book.author, "-", book.year)

# Writes add or replace attributes; a read returns the very object stored.
book.year = 1966
book.tags = ["science fiction", "classic"]
book.tags.append("desert")
print(book.year, book.tags)
print(book)                                    # <Indexable with 4 attributes>

# dir() lists the object's own attributes along with the usual ones.
print([name for name in dir(book) if not name.startswith("__")])

# Attributes cannot be deleted.
try:
    del book.year
except AttributeError as exc:
    print("del book.year:", exc)


# Subclasses add behaviour; their writes go to the same attribute map.
class Point(Indexable):
    def __init__(self, x, y, **extra):
        self.x = x
        self.y = y

    def distance_to(self, other):
        return ((self.x - other.x) ** 2 + (self.y - other.y) ** 2) ** 0.5


a = Point(0, 0, label="origin")
b = Point(3, 4)
print(a, a.label, b)                           # <Indexable with 3 attributes> origin <Indexable with 2 attributes>
print("distance:", a.distance_to(b))


# An index follows its objects: later attribute writes are pushed into it.
library = Index()
books = [
    Indexable(title="Dune", author="Frank Herbert", year=1965, genre="sf"),
    Indexable(title="Emma", author="Jane Austen", year=1815, genre="novel"),
    Indexable(title="Solaris", author="Stanislaw Lem", year=1961, genre="sf"),
    Indexable(title="Persuasion", author="Jane Austen", year=1817, genre="novel"),
]
library.add_object_many(books)
library.add_object(book)

def titles(objs):
    return [o.title for o in objs]

print(titles(library.get_by_attribute(genre="sf")))                 # ['Dune', 'Solaris']
print(titles(library.get_by_attribute(author="Jane Austen", year=[1815, 1816])))  # ['Emma']

books[1].genre = "sf"                          # the index sees the write
print(titles(library.get_by_attribute(genre="sf")))                 # ['Dune', 'Emma', 'Solaris']

library.reduce(genre="sf")                     # narrow the index's value sets in place
print(titles(library.get_by_attribute(author="Jane Austen")))       # ['Emma']
print(len(library.collect()), "objects stored")                     # 5 objects stored
