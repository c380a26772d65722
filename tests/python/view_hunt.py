"""Differential hunt over views with ids reused: random sequences of adds, batches, writes, reduce, union_with,
remove_object and dropped objects, with views kept across all of them and narrowed by random query trees.

Objects that leave an index and die give their ids back, and the engine hands them out again to new objects and to
list members, so a view made earlier lists ids that now belong to something else. The model keeps what a view held
as slots: an object and the index entry it had then. A slot whose object is still in that index under the same entry
is the object, with its current values; any other slot is a placeholder with no attribute. Each check compares a
narrowing with the model: `len`, the objects `collect()` lists (placeholders counted), `in` for every live object and
what `rebase()` holds.

`python view_hunt.py --sequences 1000` is the long run (`make hunt`); the tests run a fixed-seed slice.
"""

import argparse
import itertools
import math
import random
import sys
import time
import weakref

import Vostrel
from Vostrel import _debug
from model import (LINK_ATTRS, SCALAR_ATTRS, BadBound, Obj, TreeGen, ValueGen, build, describe, evaluate, kind,
                   members)

LAYERS = 3  # an object of a layer holds (links) only objects of lower layers: the graph stays acyclic


class Placeholder:
    """What the model evaluates a slot that no longer is its object as: no attribute at all."""


class ModelIndex:
    """The objects of one index, each with the entry (a number) it was added under."""

    def __init__(self, hunt):
        self.engine = Vostrel.Index()
        self.entries = {}  # id(obj) -> (obj, entry)
        self.hunt = hunt

    def add(self, obj):
        if id(obj) not in self.entries:
            self.entries[id(obj)] = (obj, next(self.hunt.entry_numbers))

    def remove(self, obj):
        del self.entries[id(obj)]

    def objects(self):
        return [obj for obj, _ in self.entries.values()]

    def slots(self):
        return [(weakref.ref(obj), entry, self) for obj, entry in self.entries.values()]


class ModelView:
    def __init__(self, engine, slots, text):
        self.engine, self.slots, self.text = engine, slots, text

    def scope(self):
        """(what the model evaluates each slot as, the slot's object when it still is one of the view's)"""
        out = []
        for ref, entry, index in self.slots:
            obj = ref()
            held = obj is not None and index.entries.get(id(obj), (None, None)) == (obj, entry)
            out.append((obj if held else Placeholder(), obj if held else None))
        return out


class Hunt:
    def __init__(self, seed):
        self.seed = seed
        self.rng = random.Random(seed)
        self.values = ValueGen(self.rng)
        self.assigned = []
        self.trees = TreeGen(self.rng, self.values, lambda: self.assigned, self.fact)
        self.shadow = weakref.WeakKeyDictionary()  # obj -> attrs as assigned: the model never reads the engine
        self.layers = [[] for _ in range(LAYERS)]
        self.entry_numbers = itertools.count()
        self.indexes = [ModelIndex(self), ModelIndex(self)]
        self.views = []
        self.differences = []
        self.log = []

    # -- the world ---------------------------------------------------------------------------------------------

    def lower(self, layer):
        return [o for lay in self.layers[:layer] for o in lay]

    def remember(self, value):
        # Values queries ask for; never an Indexable, which this list would keep alive.
        for v in members(value) if kind(value) == "seq" else [value]:
            if kind(v) in ("num", "str", "bool"):
                self.assigned.append(v)
        del self.assigned[:-200]

    def value(self, layer, name):
        lower = self.lower(layer)
        if name in LINK_ATTRS:
            return self.values.link_value(lower)
        r = self.rng.random()
        if r < 0.4:  # lists of numbers and strings: members take reused ids, and order tests must ignore them
            make = self.values.number if self.rng.random() < 0.5 else self.values.scalar
            return self.rng.choice((list, tuple))(make() for _ in range(self.rng.randrange(1, 6)))
        return self.values.value(lower)

    def make(self):
        layer = self.rng.randrange(LAYERS)
        attrs = {}
        for name in SCALAR_ATTRS[:3] + LINK_ATTRS:
            if self.rng.random() < 0.6 and (name not in LINK_ATTRS or layer > 0):
                attrs[name] = self.value(layer, name)
        obj = Obj(**attrs)
        for v in attrs.values():
            self.remember(v)
        self.shadow[obj] = attrs
        self.layers[layer].append(obj)
        return obj

    def fact(self, wanted=None):
        """(path, value) some object holds (through one link now and then), of kind `wanted` if one turns up."""
        pool = self.pool()
        for _ in range(6):
            if not pool:
                return None
            obj, prefix = self.rng.choice(pool), ""
            if self.rng.random() < 0.3:
                links = [(n, v) for n, v in self.shadow[obj].items() if n in LINK_ATTRS and kind(v) == "ind"]
                if links:
                    name, obj = self.rng.choice(links)
                    prefix = name + "."
            attrs = self.shadow[obj]
            if not attrs:
                continue
            name, value = self.rng.choice(list(attrs.items()))
            if kind(value) == "seq":
                inner = list(members(value))
                value = self.rng.choice(inner) if inner else None
            if value is not None and kind(value) != "ind" and (wanted is None or kind(value) == wanted):
                return prefix + name, value
        return None

    def pool(self):
        return [o for lay in self.layers for o in lay]

    def attrs_of(self, obj):
        return {} if isinstance(obj, Placeholder) else self.shadow[obj]

    # -- steps -------------------------------------------------------------------------------------------------

    def step(self):
        rng = self.rng
        index = rng.choice(self.indexes)
        op = rng.choices(["new", "add", "batch", "write", "relist", "remove", "drop", "reduce", "union", "view",
                          "narrow"], [3, 3, 2, 5, 3, 2, 4, 1, 1, 3, 4])[0]
        pool = self.pool()
        if op == "new" or not pool:
            obj = self.make()
            if rng.random() < 0.7:
                index.engine.add_object(obj)
                index.add(obj)
        elif op == "add":
            obj = rng.choice(pool)
            index.engine.add_object(obj)
            index.add(obj)
        elif op == "batch":
            batch = [self.make() for _ in range(rng.randrange(3))] + rng.sample(pool, min(len(pool), 4))
            index.engine.add_object_many(batch)
            for obj in batch:
                index.add(obj)
        elif op == "write":
            obj = rng.choice(pool)
            layer = next(n for n, lay in enumerate(self.layers) if any(o is obj for o in lay))
            name = rng.choice(SCALAR_ATTRS[:3] + LINK_ATTRS[: 2 if layer else 0])
            value = self.value(layer, name)
            setattr(obj, name, value)
            self.shadow[obj][name] = value
            self.remember(value)
        elif op == "relist" and index.entries:
            # A list of numbers for an indexed object: its members take the lowest free ids, those of dead objects.
            obj = rng.choice(index.objects())
            name = rng.choice(SCALAR_ATTRS[:3])
            value = [self.values.number() for _ in range(rng.randrange(4, 12))]
            setattr(obj, name, value)
            self.shadow[obj][name] = value
            self.remember(value)
        elif op == "remove" and index.entries:
            obj = rng.choice(index.objects())
            index.engine.remove_object(obj)
            index.remove(obj)
        elif op == "drop":
            # Out of every index and of the pool: it dies once nothing holds it, and its id is free again.
            # Mostly an object of the top layer, which no other object holds.
            obj = rng.choice(self.layers[-1] if self.layers[-1] and rng.random() < 0.8 else pool)
            for other in self.indexes:
                if id(obj) in other.entries:
                    other.engine.remove_object(obj)
                    other.remove(obj)
            for lay in self.layers:
                lay[:] = [o for o in lay if o is not obj]
            del obj  # the graph is acyclic: it dies as the step returns, unless another object holds it
        elif op == "reduce" and index.entries:
            kw = {}
            for _ in range(rng.randrange(1, 3)):
                obj = rng.choice(index.objects())
                name = rng.choice(SCALAR_ATTRS[:3])
                value = self.shadow[obj].get(name)
                if value is not None and kind(value) in ("num", "str", "bool"):
                    kw[name] = value
            if kw:
                tree = ("and", [("eq", name, v) for name, v in kw.items()])
                keep = evaluate(tree, index.objects(), self.attrs_of)
                deferred = rng.random() < 0.5
                former = _debug.defer_prunes_from(1 if deferred else 1 << 30)
                try:
                    index.engine.reduce(**kw)
                finally:
                    _debug.defer_prunes_from(former)
                for obj in index.objects():
                    if id(obj) not in keep:
                        index.remove(obj)
                self.check_views()  # while the prune may still be pending
                if rng.random() < 0.5:
                    _debug.wait_for_prunes()
        elif op == "union":
            other = self.indexes[1] if index is self.indexes[0] else self.indexes[0]
            index.engine.union_with(other.engine)
            for obj in other.objects():
                index.add(obj)
        elif op == "view":
            # The whole index now and then: the more a view holds, the more of its ids die and come back.
            tree = ("and", []) if rng.random() < 0.4 else self.trees.tree(2)
            self.query(index.engine, [(o, o) for o in index.objects()], index.slots(), tree, "index")
        elif op == "narrow" and self.views:
            self.narrow(rng.choice(self.views))
        self.log.append(op)

    # -- checks ------------------------------------------------------------------------------------------------

    def fail(self, where, text):
        self.differences.append(f"seed {self.seed} after {' '.join(self.log[-12:])}: {where}: {text}")

    def query(self, source, scope, slots, tree, where):
        """Narrows `source` by `tree`, compares with the model over `scope` ((model item, object or None) per slot
        of `slots`), and keeps the narrowing as a view."""
        try:
            expected = evaluate(tree, [item for item, _ in scope], self.attrs_of)
        except BadBound:
            try:
                source.reduced_query(build(tree))
            except NotImplementedError:
                return
            self.fail(where, f"{describe(tree)}: no NotImplementedError")
            return
        keywords = tree[0] == "and" and tree[1] and all(t[0] == "eq" for t in tree[1])
        if keywords and len({t[1] for t in tree[1]}) == len(tree[1]) and self.rng.random() < 0.5:
            got = source.reduced(**{t[1]: t[2] for t in tree[1]})  # keyword selection: one equality per name
        else:
            got = source.reduced_query(build(tree))
        chosen = [at for at, (item, _) in enumerate(scope) if id(item) in expected]
        view = ModelView(got, [slots[at] for at in chosen], describe(tree))
        self.compare(view, where + " " + describe(tree))
        # Views live long, so that many of their objects die and their ids come back while they are kept.
        if len(self.views) < 8:
            self.views.append(view)
        elif self.rng.random() < 0.25:
            self.views[self.rng.randrange(8)] = view

    def narrow(self, view):
        tree = self.trees.tree(2)
        r = self.rng.random()
        if r < 0.4:  # a plain order test on a number some object holds, alone or in a list
            fact = self.fact("num")
            if fact is not None:
                tree = (self.rng.choice(["gt", "ge", "lt", "le"]), fact[0], self.values.near(fact[1]))
        elif r < 0.7:  # keyword selection
            facts = [self.fact() for _ in range(self.rng.randrange(1, 3))]
            kw = {path: value for path, value in (f for f in facts if f is not None)}
            tree = ("and", [("eq", path, value) for path, value in kw.items()])
        elif r < 0.85:  # any number held directly, under each name
            every = [("ge", -math.inf), ("le", math.inf), ("bt", -math.inf, math.inf)]
            tree = ("or", [(test[0], name) + test[1:] for name in SCALAR_ATTRS[:3] for test in [self.rng.choice(every)]])
        self.query(view.engine, view.scope(), view.slots, tree, f"view of {view.text}, narrowed by")

    def compare(self, view, where):
        scope = view.scope()
        held = {id(obj) for _, obj in scope if obj is not None}
        placeholders = sum(obj is None for _, obj in scope)
        engine = view.engine
        if len(engine) != len(scope):
            self.fail(where, f"len {len(engine)}, model {len(scope)}")
        listed = engine.collect()
        got = {id(o) for o in listed if type(o) is not Vostrel.Indexable}
        got_placeholders = sum(type(o) is Vostrel.Indexable for o in listed)
        if got != held or got_placeholders != placeholders:
            self.fail(where, f"collect: {len(got - held)} extra, {len(held - got)} missing objects; "
                             f"{got_placeholders} placeholders, model {placeholders}")
        for obj in self.pool():
            if (obj in engine) != (id(obj) in held):
                self.fail(where, f"`in` is {obj in engine} for an object the view {'holds' if id(obj) in held else 'never held'}")
                break
        if self.rng.random() < 0.2:
            rebased = {id(o) for o in engine.rebase().collect()}
            if rebased != held:
                self.fail(where, f"rebase: {len(rebased - held)} extra, {len(held - rebased)} missing")

    def check_views(self):
        for view in self.views:
            self.compare(view, f"view of {view.text}")


def run_sequence(seed, steps=150):
    hunt = Hunt(seed)
    for _ in range(12):
        obj = hunt.make()
        hunt.indexes[0].engine.add_object(obj)
        hunt.indexes[0].add(obj)
    for _ in range(steps):
        hunt.step()
        if hunt.differences:
            break
    if not hunt.differences:
        hunt.check_views()
    _debug.wait_for_prunes()
    return hunt.differences


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sequences", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--steps", type=int, default=150)
    args = parser.parse_args(argv)
    started = time.monotonic()
    failed = 0
    for n in range(args.sequences):
        differences = run_sequence(args.seed * 1_000_000 + n, args.steps)
        if differences:
            failed += 1
            if failed <= 5:
                print(differences[0], flush=True)
    print(f"{args.sequences} sequences, {failed} with a difference from the model "
          f"({time.monotonic() - started:.0f} s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
