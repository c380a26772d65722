"""Charts of the query benchmark: per data set, each query's median time per engine on a log scale.

matplotlib is a benchmark-only requirement (bench/requirements.txt); without it the charts are skipped.
"""

from __future__ import annotations

from pathlib import Path
from typing import Callable

# One colour per engine, Vostrel first and strongest.
COLOURS = ["#d62728", "#7f7f7f", "#bcbd22", "#1f77b4", "#2ca02c", "#9467bd", "#ff7f0e"]


def write_charts(report: list[dict], engines: tuple[str, ...], out_dir: Path,
                 log: Callable[[str], None]) -> list[Path]:
    """Writes chart_<slug>.png per data set of `report` into out_dir; returns the files written."""
    try:
        import matplotlib
    except ImportError:
        log("charts skipped: matplotlib is not installed (pip install -r bench/requirements.txt)")
        return []
    matplotlib.use("Agg")  # files only, no display
    import matplotlib.pyplot as plt

    written = []
    for entry in report:
        results = entry["results"]
        titles = [r["title"] + ("" if r["agree"] else "  (answers differ!)") for r in results]
        band = 0.84 / len(engines)
        fig, ax = plt.subplots(figsize=(10, 1.0 + 0.62 * len(results) * len(engines) / 4))
        for k, engine in enumerate(engines):
            times = [r["medians"][engine] for r in results]
            ys = [q - 0.42 + band * (k + 0.5) for q in range(len(results))]
            ax.barh(ys, times, height=band * 0.92, label=engine, color=COLOURS[k % len(COLOURS)])
            if k == 0:  # our times written on our bars
                for y, t in zip(ys, times):
                    ax.annotate(format_time(t), (t, y), xytext=(3, 0), textcoords="offset points",
                                va="center", fontsize=7)
        ax.set_xscale("log")
        ax.set_yticks(range(len(results)), titles, fontsize=8)
        ax.invert_yaxis()  # first query on top
        ax.set_xlabel("median time per query, seconds (log scale; shorter is faster)")
        ax.set_title(f"Query time, {entry['label']}")
        ax.grid(axis="x", which="major", alpha=0.3)
        ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0))  # outside: no bar hidden
        path = out_dir / f"chart_{entry['slug']}.png"
        fig.savefig(path, dpi=110, bbox_inches="tight")
        plt.close(fig)
        written.append(path)
        log(f"chart written to {path}")
    return written


def format_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:,.0f} us"
    if seconds < 1:
        return f"{seconds * 1e3:,.1f} ms"
    return f"{seconds:,.2f} s"
