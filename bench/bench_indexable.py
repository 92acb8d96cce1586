"""Cost of Indexable objects against plain Python classes, measured in one
process: construction with 5 keyword attributes, an attribute read and an
attribute write. Each figure is the minimum over several timeit repeats."""

import json
import sys
import timeit

from Lorvane import Indexable

REPEATS = 9
NUMBER = 300_000


class Slots:
    __slots__ = ("a", "b", "c", "d", "e")

    def __init__(self, a, b, c, d, e):
        self.a = a
        self.b = b
        self.c = c
        self.d = d
        self.e = e


class Dict:
    def __init__(self, a, b, c, d, e):
        self.a = a
        self.b = b
        self.c = c
        self.d = d
        self.e = e


KINDS = {"Indexable": Indexable, "__slots__ class": Slots, "__dict__ class": Dict}
OPERATIONS = {
    "construct (5 keywords)": "cls(a=1, b='two', c=3.0, d=None, e=5)",
    "read attribute": "obj.c",
    "write attribute": "obj.c = 7",
}


def ns_per_op(stmt, cls):
    env = {"cls": cls, "obj": cls(a=1, b="two", c=3.0, d=None, e=5)}
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=REPEATS, number=NUMBER)) / NUMBER * 1e9


def measure():
    """{operation: {kind: ns per operation}}."""
    return {op: {kind: ns_per_op(stmt, cls) for kind, cls in KINDS.items()} for op, stmt in OPERATIONS.items()}


def main():
    if "--json" in sys.argv:
        print(json.dumps(measure()))
        return
    results = measure()
    header = f"{'operation':<24}" + "".join(f"{k + ' ns':>20}" for k in KINDS) + f"{'vs __slots__':>14}{'vs __dict__':>13}"
    print(f"Indexable against plain classes (ns/op, minimum of {REPEATS} x {NUMBER:,} runs)")
    print(header)
    print("-" * len(header))
    for op, row in results.items():
        ind = row["Indexable"]
        print(
            f"{op:<24}"
            + "".join(f"{row[k]:>20.1f}" for k in KINDS)
            + f"{ind / row['__slots__ class']:>13.2f}x{ind / row['__dict__ class']:>12.2f}x"
        )
    read = results["read attribute"]["Indexable"] / results["read attribute"]["__slots__ class"]
    build = results["construct (5 keywords)"]["Indexable"] / results["construct (5 keywords)"]["__dict__ class"]
    print()
    print(f"goal: read within 1.3x of __slots__          : {read:.2f}x  {'met' if read <= 1.3 else 'MISSED'}")
    print(f"goal: construction within 2x of __dict__ class: {build:.2f}x  {'met' if build <= 2.0 else 'MISSED'}")


if __name__ == "__main__":
    main()
