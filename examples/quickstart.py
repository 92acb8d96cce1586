"""A first look at Lorvane: objects whose attributes an index can follow."""

from Lorvane import Indexable

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
