// The Python side of the column methods: wraps the native buffers as numpy arrays, Arrow arrays, a pandas frame.
//
// Kept as Python source run once per interpreter, so numpy, pyarrow and pandas are imported only when a column
// method first needs them, and the module never links them. A column comes as the tuple
// (name, kind, rows, missing, values, valid, offsets, data, objects, large) that columns.cpp builds: typed kinds
// carry bytearrays in numpy's or Arrow's layout, the others a list of objects.
#pragma once

namespace vostrel::columns_helper {

inline constexpr const char* SOURCE = R"PY(
import importlib

_EXTRAS = {"numpy": "numpy", "pyarrow": "arrow", "pandas": "pandas"}
_NUMPY_TYPES = {"int": "int64", "float": "float64", "bool": "bool"}


def need(package, method):
    try:
        return importlib.import_module(package)
    except ImportError as error:
        raise ImportError(
            f"{method}() needs {package}: pip install {package} (or pip install \"Vostrel[{_EXTRAS[package]}]\")",
            name=package,
        ) from error


def has(package):
    try:
        importlib.import_module(package)
    except ImportError:
        return False
    return True


def numpy_column(column, dtype, fill, fill_given):
    np = need("numpy", "to_numpy")
    name, kind, rows, missing, values, valid, offsets, data, objects, large = column
    if objects is not None:
        array = np.fromiter(objects, dtype=object, count=rows)
        return array if dtype is None else array.astype(dtype)
    array = np.frombuffer(values, dtype=_NUMPY_TYPES[kind])
    if not missing:
        return array if dtype is None else array.astype(dtype, copy=False)
    present = np.frombuffer(valid, dtype=bool)
    if dtype is None:
        try:
            dtype = np.result_type(array.dtype, fill)
        except TypeError:
            dtype = object
    filled = array.astype(dtype)
    filled[~present] = fill
    return filled


def _arrow_array(pa, column, method, explicit):
    name, kind, rows, missing, values, valid, offsets, data, objects, large = column
    validity = pa.py_buffer(valid) if valid is not None else None
    if kind == "int":
        return pa.Array.from_buffers(pa.int64(), rows, [validity, pa.py_buffer(values)], null_count=missing)
    if kind == "float":
        return pa.Array.from_buffers(pa.float64(), rows, [validity, pa.py_buffer(values)], null_count=missing)
    if kind == "bool":
        return pa.Array.from_buffers(pa.bool_(), rows, [validity, pa.py_buffer(values)], null_count=missing)
    if kind == "text":
        text = pa.large_utf8() if large else pa.utf8()
        return pa.Array.from_buffers(text, rows, [validity, pa.py_buffer(offsets), pa.py_buffer(data)],
                                     null_count=missing)
    if kind == "missing":
        return pa.nulls(rows)
    if kind == "nested":
        if not explicit:
            return None
        raise TypeError(f"{method}(): attribute {name!r} holds Indexable objects, which an Arrow column does not "
                        "hold: leave it out of attrs")
    try:
        return pa.array(objects)
    except (pa.lib.ArrowException, TypeError, ValueError, OverflowError) as error:
        raise TypeError(f"{method}(): attribute {name!r} holds values that make no Arrow column: {error}") from None


def arrow_table(columns, explicit):
    pa = need("pyarrow", "to_arrow")
    arrays, names = [], []
    for column in columns:
        array = _arrow_array(pa, column, "to_arrow", explicit)
        if array is not None:
            arrays.append(array)
            names.append(column[0])
    return pa.Table.from_arrays(arrays, names=names)


def pandas_frame(columns, rows, through_arrow):
    pd = need("pandas", "to_pandas")
    np = need("numpy", "to_pandas")
    data = {}
    typed = []
    for column in columns:
        name, kind, _, missing, values, valid, offsets, data_bytes, objects, large = column
        if objects is not None:
            data[name] = np.fromiter(objects, dtype=object, count=rows)
        elif through_arrow:
            data[name] = None
            typed.append(column)
        else:
            data[name] = np.frombuffer(values, dtype=_NUMPY_TYPES[kind])
    if typed:
        pa = need("pyarrow", "to_pandas")
        arrays = [_arrow_array(pa, column, "to_pandas", True) for column in typed]
        frame = pa.Table.from_arrays(arrays, names=[column[0] for column in typed]).to_pandas()
        for column in typed:
            data[column[0]] = frame[column[0]]
    return pd.DataFrame(data, index=pd.RangeIndex(rows), columns=list(data))
)PY";

}  // namespace vostrel::columns_helper
