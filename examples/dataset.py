"""Seeded generator of realistic people records, as Indexable objects and as plain rows.

The demo, the benchmark and the smoke tests all draw from here so that every engine
(Vostrel, list comprehensions, pandas, SQLite) sees exactly the same data.
"""

from __future__ import annotations

import random
import unicodedata
from bisect import bisect
from itertools import accumulate
from typing import Iterable

import Vostrel


class Address(Vostrel.Indexable):
    """A postal address; nested inside a Person so dotted paths such as address.city work."""

    __slots__ = ()

    def __str__(self) -> str:
        return f"{self.street}, {self.zip} {self.city}"


class Person(Vostrel.Indexable):
    """One person; every attribute lives in the engine's attribute map, not in a __dict__."""

    __slots__ = ()

    def __str__(self) -> str:
        tags = ",".join(self.tags) or "-"
        state = "active" if self.active else "inactive"
        return (f"{self.name} <{self.email}>, {self.age} y, {self.salary:,.2f}/yr, "
                f"{self.city}, {state}, tags [{tags}], lives at {self.address}")


# Name pools by region (first names, last names, weight), so that names pair plausibly;
# several pools carry multi-byte UTF-8 text on purpose.
NAME_POOLS = [
    (["James", "Mary", "John", "Patricia", "Robert", "Jennifer", "Michael", "Linda", "William",
      "Elizabeth", "David", "Barbara", "Richard", "Susan", "Joseph", "Jessica", "Emma", "Olivia",
      "Noah", "Liam", "Sophia", "Mia", "Aarav", "Priya", "Mohammed", "Fatima", "Chinedu", "Amara"],
     ["Smith", "Johnson", "Williams", "Brown", "Jones", "Miller", "Davis", "Wilson", "Anderson",
      "Thomas", "Taylor", "Moore", "Jackson", "Martin", "Lee", "Thompson", "White", "Harris",
      "Clark", "O'Brien", "McAllister", "Patel", "Singh", "Okafor", "Haddad", "Cohen", "Nguyen"], 40),
    (["José", "María", "Sofía", "Andrés", "Joaquín", "Lucía", "Martín", "Valentina", "Ángel"],
     ["Garcia", "Rodríguez", "Martínez", "Hernández", "López", "González", "Pérez", "Nuñez",
      "Ibáñez", "Peña"], 14),
    (["Hugo", "Léa", "Chloé", "Zoë", "Renée", "Françoise", "Jérôme", "Lucas", "Émile"],
     ["Dubois", "Lefèvre", "Gauthier", "Martin", "Bernard", "Moreau", "Girard"], 10),
    (["Björn", "Søren", "Åsa", "Jürgen", "Günther", "Ólafur", "Þóra", "Ingrid", "Lars"],
     ["Müller", "Schröder", "Weiß", "Ødegaard", "Sørensen", "Åberg", "Jónsdóttir", "Becker"], 10),
    (["Łukasz", "Małgorzata", "Zuzana", "Tomáš", "Dóra", "Piotr", "Agnieszka"],
     ["Nowak", "Wiśniewski", "Dvořák", "Novák", "Horváth", "Kowalski"], 8),
    (["Иван", "Ольга", "Дмитрий", "Анна", "Сергей"], ["Петров", "Смирнова", "Иванов", "Кузнецова"], 4),
    (["Αλέξανδρος", "Ελένη", "Γιώργος", "Μαρία"], ["Παπαδόπουλος", "Νικολάου", "Γεωργίου"], 2),
    (["太郎", "花子", "伟", "芳", "Yuki", "Haruto", "Min-jun"],
     ["田中", "佐藤", "王", "李", "Tanaka", "Kim", "Suzuki"], 12),
]
FIRST_NAMES = [f for pool in NAME_POOLS for f in pool[0]]
LAST_NAMES = [l for pool in NAME_POOLS for l in pool[1]]

# City name, first postal code of its range; listed from the largest down, and drawn by Zipf's law on that
# rank (CITY_WEIGHTS), as real populations are: a few big cities, a long tail of small ones.
CITIES = [
    ("London", 10000), ("New York", 11000), ("Paris", 75000), ("Berlin", 12000),
    ("Madrid", 28000), ("Tokyo", 13000), ("São Paulo", 14000), ("Toronto", 15000),
    ("Sydney", 20000), ("Zürich", 80000), ("München", 81000), ("Kraków", 30000),
    ("Malmö", 21000), ("Reykjavík", 10100), ("Москва", 10500), ("東京", 16000),
    ("Lagos", 17000), ("Mumbai", 40000), ("Chicago", 60600), ("Austin", 78700),
]


def zipf_weights(n: int, s: float = 1.0) -> list[float]:
    """Zipf's law over ranks 1..n: the k-th most common value is drawn 1/k**s as often as the first."""
    return [1.0 / (k ** s) for k in range(1, n + 1)]


CITY_WEIGHTS = zipf_weights(len(CITIES))

STREET_NAMES = ["Main", "High", "Oak", "Maple", "Park", "Church", "Station", "Victoria", "Mill", "Elm",
                "Cedar", "King", "Queen", "River", "Hill"]
STREET_KINDS = ["Street", "Road", "Avenue", "Lane", "Way", "Place"]
# Local street names already carry their kind.
STREETS = [f"{name} {kind}" for name in STREET_NAMES for kind in STREET_KINDS] + [
    "Lindenstraße", "Rue de la Paix", "Calle Mayor", "Åsgatan", "ulica Łąkowa", "Tverskaya ulitsa",
    "Rua Augusta", "Bahnhofstrasse", "Nørregade",
]

TAGS = [
    "vip", "new", "beta", "admin", "remote", "intern", "manager", "sales", "dev", "ops",
    "design", "legal", "hr", "finance", "support", "qa", "data", "ml", "mobile", "web",
]

DOMAINS = ["example.com", "mail.test", "corp.example", "post.example.org", "inbox.test"]

ROW_FIELDS = ("email", "name", "age", "salary", "city", "active", "tags",
              "address_city", "address_street", "address_zip")


# Letters that Unicode decomposition does not reduce to ASCII.
_TRANSLITERATE = str.maketrans({"ø": "o", "Ø": "O", "æ": "ae", "Æ": "Ae", "ß": "ss", "þ": "th",
                                "Þ": "Th", "ð": "d", "ł": "l", "Ł": "L", "đ": "d", "Đ": "D"})


def _ascii_slug(text: str) -> str:
    """Lower-case ASCII form of a name for e-mail addresses ('' when nothing ASCII is left)."""
    decomposed = unicodedata.normalize("NFKD", text.translate(_TRANSLITERATE))
    kept = "".join(ch for ch in decomposed if ch.isascii() and ch.isalnum())
    return kept.lower()


def generate_rows(n: int, seed: int = 2024) -> list[dict]:
    """n plain-dict people rows (flat address_* columns, tags as a tuple), reproducible from seed.

    Every row's email is unique, so it serves as the key when answers are compared."""
    rng = random.Random(seed)
    rand = rng.random
    pools = rng.choices(range(len(NAME_POOLS)), weights=[p[2] for p in NAME_POOLS], k=n)
    city_names = [c[0] for c in CITIES]
    zip_base = {c[0]: c[1] for c in CITIES}
    cities = rng.choices(city_names, weights=CITY_WEIGHTS, k=n)
    # Names follow Zipf's law within their pool (the first listed is the most common), as real names do: a few
    # very common names and a long tail, so an equality on a name can be broad or rare.
    cumulative = [(list(accumulate(zipf_weights(len(firsts)))), list(accumulate(zipf_weights(len(lasts)))))
                  for firsts, lasts, _ in NAME_POOLS]
    domains = rng.choices(DOMAINS, k=n)
    streets = STREETS
    slug = {name: _ascii_slug(name) for name in FIRST_NAMES + LAST_NAMES}
    # Tag lists drawn from a seeded pool of combinations: far cheaper than a sample per row,
    # and still 0-4 distinct tags with fewer people carrying many.
    tag_pool = [tuple(rng.sample(TAGS, k)) for k in rng.choices((0, 1, 2, 3, 4), (30, 30, 20, 12, 8), k=2048)]
    tag_lists = rng.choices(tag_pool, k=n)
    # Salaries: log-normal around 55k; drawn in one go, adjusted by age below.
    lognormal = rng.lognormvariate
    gauss = rng.gauss
    n_cities, n_streets = len(city_names), len(streets)

    rows = []
    append = rows.append
    for i in range(n):
        firsts, lasts, _ = NAME_POOLS[pools[i]]
        first_cum, last_cum = cumulative[pools[i]]
        first = firsts[bisect(first_cum, rand() * first_cum[-1])]
        last = lasts[bisect(last_cum, rand() * last_cum[-1])]
        city = cities[i]
        # Ages: normal around 41 (sd 12), redrawn outside 18..99, so the tails are thin: a value far out
        # (80s, 90s) is rare, one near the middle is common.
        age = round(gauss(41.0, 12.0))
        while not 18 <= age <= 99:
            age = round(gauss(41.0, 12.0))
        salary = round(max(12000.0, 55000.0 * lognormal(0.0, 0.45) + (age - 18) * 350.0), 2)
        # Most people live in the city they work in; a few commute from elsewhere.
        home_city = city if rand() < 0.85 else city_names[int(rand() * n_cities)]
        append({
            "email": f"{'.'.join(filter(None, (slug[first], slug[last]))) or 'user'}{i}@{domains[i]}",
            "name": f"{first} {last}",
            "age": age,
            "salary": salary,
            "city": city,
            "active": rand() < 0.7,
            "tags": tag_lists[i],
            "address_city": home_city,
            "address_street": f"{1 + int(rand() * 250)} {streets[int(rand() * n_streets)]}",
            # Postal codes are text (some countries' start with 0): equality and prefix queries, never arithmetic.
            "address_zip": str(zip_base[home_city] + int(rand() * 900)),
        })
    return rows


def people_from_rows(rows: Iterable[dict]) -> list[Person]:
    """One Person (with its nested Address) per row; tags become a list as users would write them."""
    return [
        Person(
            name=r["name"], email=r["email"], age=r["age"], salary=r["salary"], city=r["city"],
            active=r["active"], tags=list(r["tags"]),
            address=Address(city=r["address_city"], street=r["address_street"], zip=r["address_zip"]),
        )
        for r in rows
    ]


def generate(n: int, seed: int = 2024) -> tuple[list[Person], list[dict]]:
    """n people as (Person objects, plain rows); people[i] and rows[i] describe the same person."""
    rows = generate_rows(n, seed)
    return people_from_rows(rows), rows


def person_row(p: Person) -> dict:
    """The plain row of a Person as it is now (reads the live attributes)."""
    a = p.address
    return {"email": p.email, "name": p.name, "age": p.age, "salary": p.salary, "city": p.city,
            "active": p.active, "tags": tuple(p.tags), "address_city": a.city,
            "address_street": a.street, "address_zip": a.zip}
