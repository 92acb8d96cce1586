// How the types that hold Python objects take part in the cycle collector.
//
// One collection visits every tracked object several times with the
// interpreter lock held throughout: once to subtract the references that
// tracked objects hold to each other, once to mark what is still reachable
// (and again for whatever finalizers resurrected). Two rules keep it sound
// while threads without the interpreter lock index, copy values and hold our
// locks meanwhile:
//
// (a) Every pass reports the same references. A traversal reports only
//     references that are put and cleared with the interpreter lock held, and
//     reads them without taking or waiting for any lock of ours (it runs with
//     the interpreter lock held, so a lock holder that waits for it would
//     never let go; skipping a busy structure instead would make one pass
//     report less than another and free live objects). So:
//       - an object's value slots (and its shape) are replaced only under
//         the interpreter lock (writes replace them under it, also after
//         waiting for the object's mutex without it);
//       - a core's item slots are filled and emptied only under the
//         interpreter lock (the slots are stored before the lock is let go
//         for attribute indexing), and the slot pages never move, so a slot
//         read is safe while other threads only read the table.
//     What threads without the lock do change (value tables, id sets, a
//     value box's own count, references they queue) is never consulted.
//
// (b) Each Python reference is reported once, by one owner, and the choice
//     never depends on state that threads without the lock change:
//       - a stored object's reference (one per item slot) is reported by the
//         Index that owns the core;
//       - a value box's reference is reported by the object whose slot holds
//         the box. Boxes are made for one object's write (or construction)
//         and are shared only with value tables, so at most one slot holds a
//         given box. Values held without a box (ints, floats, strings,
//         bools, None: engine/value.hpp) are objects the collector never
//         tracks; each holder owns a reference of its own and none reports
//         it. Indexable and every other object a cycle may run through are
//         always boxed.
//       - a value box of a query expression is reported by the PyQueryExpr
//         whose tree holds it. Builders capture new boxes, and give every
//         tree they take in from another expression boxes of its own, so no
//         box is in two expressions (bindings/query_expr.cpp).
//     Boxes that only value tables or values being retired still hold are
//     reported by nobody: their objects look referenced from outside, which keeps them
//     alive (never the other way round). This is what stays uncollected: a
//     cycle that runs through such a box, e.g. an object that was assigned an
//     index equal to one it held before, while that index holds the object
//     (the index's value table keeps the earlier box).
//
// (c) A core's item table is shared: its Index holds it through the core, and
//     every FilteredIndex made from that core holds it directly; each of them
//     may outlive the others. Rule (b) asks for one reporter, but no single
//     holder will do: when the holder that reports is garbage and another is
//     alive, the collector subtracts the table's references, finds the stored
//     objects reachable from nothing alive, and clears them while the live
//     holder still lists them. So once a table has a view, the table gets a
//     Python object of its own, its keeper (an internal type): the keeper
//     reports the stored objects, and the Index and every view report one
//     reference each to the keeper, which they own. The Python references then
//     mirror the real ownership exactly: the stored objects are reachable
//     exactly when some live holder is, and a cycle through any of the holders
//     (a view stored on one of its objects, with or without the Index) is
//     collected like a cycle through a list. An Index whose table never had a
//     view reports the stored objects itself and makes no keeper. The switch
//     happens under the interpreter lock when the first view is made, between
//     collections. Threads without the lock may hold counted copies of the
//     table pointer for a moment (a query making a view); they are not
//     holders: the call that makes them holds a reference to its receiver,
//     which keeps the keeper reachable.

// What is collected: cycles through attributes among objects in no index
// (`a.peer = b; b.peer = a`, a child holding its parent), an index stored on
// one of its own objects, indexed objects that point at each other once
// their index is gone, and views stored on their own objects.
#pragma once

#include <Python.h>

#include <memory>

#include "engine/index_api.hpp"
#include "bindings/indexable.hpp"
#include "bindings/value_capture.hpp"

namespace lorvane {

// Reports the Python object of every value the object holds.
inline int traverse_attrs(const ObjectState& state, visitproc visit, void* arg) {
  int rc = 0;
  state.for_each([&](std::string_view, ValueRef v) {
    if (rc == 0) rc = visit(py_object(v), arg);
  });
  return rc;
}

// A new keeper of `items` (rule (c) above): a Python object that holds one
// counted copy of the table pointer and reports the stored objects. Only the
// Index and the views of that table hold references to it.
PyObject* new_table_keeper(std::shared_ptr<ItemLock> items);

// Reports every object stored in a core's item table. Reads the slots without
// the table's lock: see (a) above.
int traverse_items(const ItemTable& items, visitproc visit, void* arg);

}  // namespace lorvane
