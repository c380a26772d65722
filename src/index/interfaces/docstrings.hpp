// The documentation Python shows for the module, its classes and their methods (help(), inspect, IDEs).
//
// Each callable's text starts with its text signature ("name(args)\n--\n\n"), which CPython turns into
// __text_signature__ (so inspect.signature works) and strips from __doc__. Kept in one place so that the type
// stubs (stubs/Vostrel-stubs/__init__.pyi) are easy to hold in step with it.
#pragma once

namespace vostrel::docs {

// ---- module ----

inline constexpr const char* MODULE =
    "Vostrel is a Python module of in-memory attribute indexes over live Python objects.\n"
    "\n"
    "Objects of subclasses of Indexable are put into an Index; queries built with PyQueryExpr (or keyword\n"
    "equality) return FilteredIndex views, compressed sets of object ids that narrow again, count, iterate or\n"
    "collect the objects. Later attribute writes reach every index holding the object. The engine answers\n"
    "without calling back into Python and releases the interpreter lock for its work.\n"
    "\n"
    "    >>> import Vostrel\n"
    "    >>> from Vostrel import PyQueryExpr as Q\n"
    "    >>> class Person(Vostrel.Indexable): pass\n"
    "    >>> index = Vostrel.Index()\n"
    "    >>> for name, age in [(\"Ann\", 31), (\"Bob\", 45)]:\n"
    "    ...     index.add_object(Person(name=name, age=age))\n"
    "    >>> view = index.reduced_query(Q.gt(\"age\", 40) | Q.eq(\"name\", \"Ann\"))\n"
    "    >>> len(view), [p.name for p in view]\n"
    "    (2, ['Ann', 'Bob'])\n"
    "\n"
    "Semantics in brief: a view is a snapshot of ids (later writes change the objects, not the view's ids);\n"
    "eq(\"x\", 1) finds 1 and 1.0 but never True; members of list, tuple and set values match equality and\n"
    "string tests as their owner; order tests (gt, ge, lt, le, bt) ignore list members and NaN; ne and not_\n"
    "include objects without the attribute.\n"
    "\n"
    "Classes: Index, Indexable, FilteredIndex, PyQueryExpr. Functions: asdict, sum_as_string.\n"
    "Any value a plain attribute takes is stored: ints of any size, text with lone surrogates, unhashable\n"
    "objects (matched by identity). Errors: bad arguments raise TypeError; a range with a bound that is not a\n"
    "number raises NotImplementedError; a failure while a value is read (MemoryError, RecursionError, an\n"
    "interrupt) comes through. InternalError, a BaseException, means the module met a state of its own that it\n"
    "does not handle.";

inline constexpr const char* ASDICT =
    "asdict(obj)\n--\n\n"
    "Return the attributes of an Indexable as a new plain dict.\n\n"
    "Keys are the attribute names (in the order they were first set while the object has at most eight);\n"
    "values are what reading each attribute gives (plain int, float, str and bool for scalars, the very\n"
    "objects for lists, nested Indexables and other values; nothing is copied deeply). A module function,\n"
    "so it never shadows an attribute.\n\n"
    "Raises TypeError if obj is not an Indexable.\n\n"
    "    >>> Vostrel.asdict(Vostrel.Indexable(name=\"Ann\", age=31))\n"
    "    {'name': 'Ann', 'age': 31}";

// ---- Indexable ----

inline constexpr const char* INDEXABLE =
    "Indexable(*_args, **kwargs)\n--\n\n"
    "Base class of the objects an Index can hold.\n\n"
    "Keyword arguments become attributes (positional arguments are ignored). Values are captured when they\n"
    "are set, and a later `obj.name = value` reaches every index holding the object. Reading an attribute\n"
    "gives plain int, float, str and bool back for scalars (numpy scalars included) and the very object for\n"
    "anything else. Deleting an attribute raises AttributeError. Names with double underscores at both ends\n"
    "(__class__, __dict__, ...) are Python's own and are never stored as data. Instances pickle and copy\n"
    "(copy.copy, copy.deepcopy) into new objects that are in no index.\n\n"
    "Any value is accepted, ints of any size, text with lone surrogates and unhashable objects included.\n"
    "A failure while a value is read (MemoryError or RecursionError from its __hash__, an interrupt, a numpy\n"
    "scalar whose conversion fails) is raised, as is UnicodeEncodeError for a name with a lone surrogate;\n"
    "nothing changes then.\n\n"
    "    >>> class Person(Vostrel.Indexable): pass\n"
    "    >>> ann = Person(name=\"Ann\", age=31)\n"
    "    >>> ann.age += 1\n"
    "    >>> ann.age\n"
    "    32";

inline constexpr const char* INDEXABLE_DIR =
    "__dir__($self)\n--\n\n"
    "The names of the stored attributes, followed by those ordinary lookup knows (dir() sorts them).";

inline constexpr const char* INDEXABLE_SIZEOF =
    "__sizeof__($self)\n--\n\n"
    "Bytes of the object and of the blocks it alone owns (its attribute values); shared parts (long text,\n"
    "lists, nested objects, the key layout objects of a class share) are not counted. sys.getsizeof adds\n"
    "the collector's header.";

inline constexpr const char* INDEXABLE_REDUCE =
    "__reduce__($self)\n--\n\n"
    "Support for pickle and copy: the copy is a new object of the same class with the same attributes\n"
    "(a new id, in no index; __init__ is not called). The class must be importable to unpickle.";

// ---- Index ----

inline constexpr const char* INDEX =
    "Index()\n--\n\n"
    "An in-memory index of Indexable objects that answers attribute queries.\n\n"
    "The index holds its objects (strong references) and keeps their attribute values in per-attribute\n"
    "structures; attribute writes on a held object reach it. Queries return FilteredIndex views.\n"
    "len(index) counts the objects, `obj in index` tests membership, iter(index) yields the objects in\n"
    "ascending id order.\n\n"
    "    >>> index = Vostrel.Index()\n"
    "    >>> index.add_object(Vostrel.Indexable(city=\"Oslo\"))\n"
    "    >>> len(index.reduced(city=\"Oslo\"))\n"
    "    1";

inline constexpr const char* INDEX_ADD_OBJECT =
    "add_object($self, py_ref)\n--\n\n"
    "Add one Indexable to the index; adding an object already held changes nothing.\n\n"
    "From now on writes to its attributes reach this index. Raises TypeError if py_ref is not an Indexable.";

inline constexpr const char* INDEX_ADD_OBJECT_MANY =
    "add_object_many($self, objs)\n--\n\n"
    "Add every Indexable of the iterable objs (a list, a generator, a dict's values...), with the same\n"
    "result as add_object for each in turn, but much faster for many objects: values reach the index in groups.\n\n"
    "Raises TypeError, inserting nothing, if objs is a str, not iterable, or holds anything but Indexables.";

inline constexpr const char* INDEX_REMOVE_OBJECT =
    "remove_object($self, py_ref)\n--\n\n"
    "Take one object out of the index: its values (the members of its list values too) leave every\n"
    "structure, and later writes to it no longer reach this index. Views made earlier keep its id.\n\n"
    "Raises ValueError if the index does not hold the object, TypeError if py_ref is not an Indexable.";

inline constexpr const char* INDEX_COLLECT =
    "collect($self)\n--\n\n"
    "Return a new list of the objects held, in ascending id order.";

inline constexpr const char* INDEX_REDUCED =
    "reduced($self, **kwargs)\n--\n\n"
    "Return a FilteredIndex of the objects whose attributes equal every keyword (name=value; a dotted path\n"
    "goes through a dict: **{\"address.city\": \"Oslo\"}).\n\n"
    "Keyword arguments only. Raises the capture errors of Indexable for values that cannot be captured.\n\n"
    "    >>> index.reduced(city=\"Oslo\", age=31)";

inline constexpr const char* INDEX_REDUCED_QUERY =
    "reduced_query($self, query)\n--\n\n"
    "Return a FilteredIndex of the objects matching query, a PyQueryExpr.\n\n"
    "Raises TypeError if query is not a PyQueryExpr, NotImplementedError for a bt range with a bound that\n"
    "is not a number.\n\n"
    "    >>> index.reduced_query(Q.ge(\"age\", 18) & ~Q.eq(\"city\", \"Oslo\"))";

inline constexpr const char* INDEX_GET_BY_ATTRIBUTE =
    "get_by_attribute($self, **kwargs)\n--\n\n"
    "Return a new list of the objects whose attributes equal every keyword: reduced(**kwargs).collect().";

inline constexpr const char* INDEX_REDUCE =
    "reduce($self, **kwargs)\n--\n\n"
    "Keep only the objects whose attributes equal every keyword (as reduced); every other object leaves\n"
    "the index as with remove_object. Views made earlier keep their ids and list a placeholder Indexable\n"
    "for each removed one. A reduce dropping many objects returns once they have left every answer; a\n"
    "worker thread then lets them go, so they may outlive the call for a moment. Keyword arguments only;\n"
    "no keywords keep everything.";

inline constexpr const char* INDEX_UNION_WITH =
    "union_with($self, other)\n--\n\n"
    "Add every object of other (an Index) to this index, as add_object would: queries answer for them\n"
    "exactly, and later writes to them reach this index. other is not changed; merging an index with\n"
    "itself changes nothing. Raises TypeError if other is not an Index.";

// ---- answers (Index and FilteredIndex alike) ----

inline constexpr const char* ANSWER_SORTED_BY =
    "sorted_by($self, attr, *, reverse=False, limit=None, offset=0)\n--\n\n"
    "Return a list of the objects ordered by their value of attr: numbers by value, then text by code\n"
    "point (Python's str order), then every object whose value orders with neither (no such attribute,\n"
    "NaN, a bool, a list, another kind) in id order. reverse=True reverses numbers and text, which still\n"
    "come first and second; the rest stays last. Ties go in ascending id order, so the order is stable.\n"
    "limit and offset give a page (positions offset to offset + limit) without ordering the whole set: a\n"
    "top-10 costs what finding the ten costs. Raises TypeError if attr is not a str, ValueError for a\n"
    "negative limit or offset, NotImplementedError for a dotted path.";

inline constexpr const char* ANSWER_VALUE_COUNTS =
    "value_counts($self, attr)\n--\n\n"
    "Return a dict of each value of attr to the number of objects holding it, largest count first (ties\n"
    "in value order: numbers, text, False, True, other hashable values). Members of list, tuple and set\n"
    "values count as values of their object, as equality matches them. 1 and 1.0 are one value; NaN and\n"
    "nested objects are left out. A number comes back as an int while the attribute only ever held ints,\n"
    "as a float once it held a float. A dict holds True and 1 as one key: their counts are added. A dotted\n"
    "path counts each object once per value its nested objects hold at the end of the path.";

inline constexpr const char* ANSWER_GROUP_BY =
    "group_by($self, attr)\n--\n\n"
    "Return a dict of each value of attr (the keys of value_counts, in the same order) to a FilteredIndex\n"
    "of the objects holding it.";

inline constexpr const char* ANSWER_SUM =
    "sum($self, attr)\n--\n\n"
    "Return the sum of the numbers the objects hold directly in attr (list members and other kinds are\n"
    "skipped, NaN too): an exact int while the attribute only ever held ints, else the exact sum rounded\n"
    "once to a float (as math.fsum). 0 when there is no number.";

inline constexpr const char* ANSWER_MIN =
    "min($self, attr)\n--\n\n"
    "Return the smallest number the objects hold directly in attr (NaN skipped), or None when there is none.";

inline constexpr const char* ANSWER_MAX =
    "max($self, attr)\n--\n\n"
    "Return the largest number the objects hold directly in attr (NaN skipped), or None when there is none.";

inline constexpr const char* ANSWER_MEAN =
    "mean($self, attr)\n--\n\n"
    "Return sum(attr) divided by how many numbers were summed, as a float, or None when there is none.";

// ---- columns (Index and FilteredIndex alike) ----

inline constexpr const char* ANSWER_TO_NUMPY =
    "to_numpy($self, attr, *, dtype=None, fill=None, order_by=None, reverse=False, limit=None, offset=0)\n--\n\n"
    "Return a numpy array of each object's value of attr, in id order (or in order_by's order, as\n"
    "sorted_by orders it, paged by limit and offset). All ints give int64; ints and floats float64; all\n"
    "bools bool. Anything else gives an object array: text as str objects, lists and nested objects as\n"
    "themselves, and None where an object has no such attribute. With fill=, missing values take fill\n"
    "and a number or bool column keeps its numeric type (widened to hold fill, as numpy promotes); with\n"
    "dtype=, the array is converted to it (a column with missing values then needs fill=, else\n"
    "ValueError). Each object's values are read under its own lock, once, while writers may run; a number\n"
    "column every object holds, without an order, is read from the index's value map as one state of it.\n"
    "Raises ImportError naming the package when numpy is not installed.";

inline constexpr const char* ANSWER_TO_ARROW =
    "to_arrow($self, attrs=None, *, order_by=None, reverse=False, limit=None, offset=0)\n--\n\n"
    "Return a pyarrow.Table with one column per attribute of attrs (None: every attribute the objects\n"
    "hold, in first-seen order), one row per object in id order (or order_by's order). Ints give int64,\n"
    "ints with floats float64, bools bool, text utf8 built from the stored UTF-8 bytes; a missing value\n"
    "is null (NaN stays a NaN value). Lists and other values go through pyarrow.array (lists of scalars\n"
    "give list columns); an attribute whose values make no Arrow column raises TypeError naming it. An\n"
    "attribute holding nested Indexable objects is left out when attrs is None and raises TypeError when\n"
    "named. Raises ImportError naming the package when pyarrow is not installed.";

inline constexpr const char* ANSWER_TO_PANDAS =
    "to_pandas($self, attrs=None, *, order_by=None, reverse=False, limit=None, offset=0)\n--\n\n"
    "Return a pandas.DataFrame with the columns to_arrow would give (nested objects and values Arrow\n"
    "cannot hold stay as object columns), built through Arrow when pyarrow is installed and through numpy\n"
    "otherwise (a number column with missing values then gives float64 with NaN). Raises ImportError\n"
    "naming the package when pandas is not installed.";

inline constexpr const char* ANSWER_TO_DICTS =
    "to_dicts($self, attrs=None, *, order_by=None, reverse=False, limit=None, offset=0)\n--\n\n"
    "Return a list of plain dicts, one per object in id order (or order_by's order), of the attributes\n"
    "of attrs the object holds (None: all of them); an attribute an object lacks is left out of its dict.";

// ---- FilteredIndex ----

inline constexpr const char* FILTERED_INDEX =
    "A read-only view of some objects of an index, made by Index.reduced / reduced_query.\n\n"
    "A view is a fixed set of object ids: later writes change the objects it lists, not which ids it holds\n"
    "(narrowing it again consults the current values). len(view) counts without listing, bool(view) is\n"
    "False when it is empty, iter(view) yields the objects in ascending id order, `obj in view` tests\n"
    "membership. It stays usable after its Index is gone. Not constructible from Python.";

inline constexpr const char* FILTERED_INDEX_REDUCED =
    "reduced($self, **kwargs)\n--\n\n"
    "Return a new FilteredIndex of this view's objects whose attributes equal every keyword.";

inline constexpr const char* FILTERED_INDEX_REDUCED_QUERY =
    "reduced_query($self, query)\n--\n\n"
    "Return a new FilteredIndex of this view's objects matching query (a PyQueryExpr); always a subset of\n"
    "this view, also for ne and not_.\n\n"
    "Raises TypeError if query is not a PyQueryExpr, NotImplementedError for a bt range with a bound that\n"
    "is not a number.";

inline constexpr const char* FILTERED_INDEX_COLLECT =
    "collect($self)\n--\n\n"
    "Return a new list of the view's objects, in ascending id order.";

inline constexpr const char* FILTERED_INDEX_REBASE =
    "rebase($self)\n--\n\n"
    "Return a new Index holding the view's objects, registered with their current values. The new index\n"
    "is independent of the view and its index; later writes to the objects reach it too. Ids whose\n"
    "object left the index since the view was made are not carried over.";

inline constexpr const char* OBJECT_ITERATOR =
    "Iterator over the objects of an Index or FilteredIndex, in ascending id order (fetched in chunks).";
inline constexpr const char* OBJECT_STORE =
    "The objects an Index holds, shared with its views and iterators (internal: it tells the cycle collector about "
    "them).";

// ---- PyQueryExpr ----

inline constexpr const char* QUERY_EXPR =
    "An immutable query expression, built by the static methods and combined with &, | and ~.\n\n"
    "Leaves name an attribute (a dotted path such as \"address.city\" follows nested Indexable values, also\n"
    "inside lists) and capture their values when built. A value of another kind than the stored one does\n"
    "not match (no error). An expression has no truth value: use &, | and ~, not `and`, `or`, `not`.\n\n"
    "    >>> q = Q.eq(\"city\", \"Oslo\") & (Q.gt(\"age\", 30) | ~Q.in_(\"tags\", {\"vip\", \"staff\"}))\n\n"
    "Not constructible from Python.";

inline constexpr const char* QUERY_EQ =
    "eq(attr, value)\n--\n\n"
    "Objects whose attribute equals value. Numbers compare by value (1 finds 1 and 1.0, never True);\n"
    "strings, bools and other hashable values by equality of kind and content (other objects by identity).\n"
    "Members of list, tuple and set values match for their owner. A NaN value finds stored NaNs of the same\n"
    "bits.";

inline constexpr const char* QUERY_NE =
    "ne(attr, value)\n--\n\n"
    "Objects that eq(attr, value) does not match, those without the attribute included.";

inline constexpr const char* QUERY_GT =
    "gt(attr, value)\n--\n\n"
    "Objects whose numeric attribute is greater than the number value. NaN, list members and values that\n"
    "are not numbers never match; a value that is not a number matches nothing.";

inline constexpr const char* QUERY_GE =
    "ge(attr, value)\n--\n\n"
    "Objects whose numeric attribute is at least the number value (NaN and list members never match).";

inline constexpr const char* QUERY_LT =
    "lt(attr, value)\n--\n\n"
    "Objects whose numeric attribute is less than the number value (NaN and list members never match).";

inline constexpr const char* QUERY_LE =
    "le(attr, value)\n--\n\n"
    "Objects whose numeric attribute is at most the number value (NaN and list members never match).";

inline constexpr const char* QUERY_BT =
    "bt(attr, lower, upper)\n--\n\n"
    "Objects whose numeric attribute lies in the inclusive range [lower, upper]; empty when lower > upper.\n"
    "NaN and list members never match. Evaluating it raises NotImplementedError (\"not yet implemented: \"\n"
    "followed by which bound is not a number and what it was) when a bound is not a number.";

inline constexpr const char* QUERY_IN =
    "in_(attr, values)\n--\n\n"
    "Objects whose attribute equals any of values, an iterable (list, tuple, set, generator, ...).\n\n"
    "Raises TypeError for a str (a string is not taken as its characters) or a non-iterable.";

inline constexpr const char* QUERY_STARTS_WITH =
    "starts_with(attr, value)\n--\n\n"
    "Objects whose string attribute (or a string member of a list value) starts with the str value.";

inline constexpr const char* QUERY_ENDS_WITH =
    "ends_with(attr, value)\n--\n\n"
    "Objects whose string attribute (or a string member of a list value) ends with the str value.";

inline constexpr const char* QUERY_CONTAINS =
    "contains(attr, value)\n--\n\n"
    "Objects whose string attribute (or a string member of a list value) contains the str value.";

inline constexpr const char* QUERY_AND =
    "and_(*exprs)\n--\n\n"
    "Objects matching every expression (all objects for none). q1 & q2 is and_(q1, q2).";

inline constexpr const char* QUERY_OR =
    "or_(*exprs)\n--\n\n"
    "Objects matching any expression (none for none). q1 | q2 is or_(q1, q2).";

inline constexpr const char* QUERY_NOT =
    "not_(exprs)\n--\n\n"
    "Objects not matching the one expression, those without the attribute included. ~q is not_(q).";

// ---- pickling ----

inline constexpr const char* QUERY_REDUCE =
    "__reduce__($self, /)\n--\n\n"
    "Pickle support: the expression travels as its operators, attribute paths and values, and is built\n"
    "again on load (values captured anew, so they must pickle themselves).";

inline constexpr const char* INDEX_REDUCE_PICKLE =
    "__reduce__($self, /)\n--\n\n"
    "Pickle support: an index pickles as its objects and loads as a new Index holding copies of them,\n"
    "added with add_object_many. Object identity is per process: the loaded objects are new objects\n"
    "(objects shared within one pickle stay shared), in no other index.";

inline constexpr const char* FILTERED_INDEX_REDUCE_PICKLE =
    "__reduce__($self, /)\n--\n\n"
    "Pickle support: a view pickles as its objects and loads as a new Index (not a view) of copies of\n"
    "them, added with add_object_many; objects that left the index are left out. Object identity is per\n"
    "process: the loaded objects are new objects, in no other index.";

inline constexpr const char* QUERY_FROM_PARTS =
    "_query_from_parts(parts, /)\n--\n\n"
    "Builds a PyQueryExpr from the postfix parts list its __reduce__ gives (what unpickling calls).";

inline constexpr const char* INDEX_FROM_OBJECTS =
    "_index_from_objects(objects, /)\n--\n\n"
    "A new Index holding the objects, added with add_object_many (what unpickling an Index calls).";

}  // namespace vostrel::docs
