"""Timing primitives, result rows, the printed table and results.json.

Every figure is a ratio to a floor timed in the same run, alternately with it, so that a drift
of this shared machine hits both sides alike.
"""

import gc
import json
import os
import platform
import statistics
import sys
import time
from dataclasses import asdict, dataclass, field
from typing import Callable, List, Optional

perf_counter_ns = time.perf_counter_ns

VERDICTS = ("ok", "MISS", "report", "skip", "error")


@dataclass
class Row:
    """One line of the table: a workload beside its floor."""

    workload: str
    group: str
    ours_ns: Optional[float] = None
    floor_ns: Optional[float] = None
    ratio: Optional[float] = None
    target: Optional[float] = None
    verdict: str = "skip"
    note: str = ""
    detail: dict = field(default_factory=dict)

    def judge(self):
        """Fill ratio and verdict from the two times and the target."""
        if self.ours_ns is not None and self.floor_ns:
            self.ratio = self.ours_ns / self.floor_ns
        if self.target is None:
            self.verdict = "report"
        elif self.ratio is None:
            self.verdict = "error"
        else:
            self.verdict = "ok" if self.ratio <= self.target else "MISS"
        return self


class Unavailable(Exception):
    """What a workload needs is not built yet; the message names it."""


def skipped(workload, group, target, missing):
    return Row(workload, group, target=target, verdict="skip", note="not available yet: " + missing)


def failed(workload, group, target, exc):
    text = f"{type(exc).__name__}: {exc}".strip()
    return Row(workload, group, target=target, verdict="error", note=text[:300])


def _time_calls(fn: Callable[[], object], number: int) -> float:
    """Nanoseconds per call of `fn` over `number` back-to-back calls."""
    rng = range(number)
    start = perf_counter_ns()
    for _ in rng:
        fn()
    return (perf_counter_ns() - start) / number


class _GcPaused:
    """Keeps the cyclic collector out of the timed region, as timeit does."""

    def __enter__(self):
        self.was_enabled = gc.isenabled()
        gc.collect()
        gc.disable()

    def __exit__(self, *exc):
        if self.was_enabled:
            gc.enable()


def best_alternating(sides: List[Callable[[], object]], rounds: int, number: int) -> List[float]:
    """Best time per call of each side, timed A, B, A, B ... for `rounds` rounds."""
    best = [float("inf")] * len(sides)
    with _GcPaused():
        for fn in sides:  # warm caches and lazy imports before the first timed round
            fn()
        for _ in range(rounds):
            for i, fn in enumerate(sides):
                best[i] = min(best[i], _time_calls(fn, number))
    return best


def median_alternating(
    sides: List[Callable[[], object]], runs: int, budget_s: float = 0.0, max_runs: int = 60
) -> List[float]:
    """Median time of one call of each side after a warm-up call, timed alternately.

    At least `runs` rounds; short calls get more, until each side has had `budget_s` seconds
    or `max_runs` rounds, since a median of a few runs on a loaded machine wanders.
    """
    samples: List[List[float]] = [[] for _ in sides]
    for fn in sides:
        fn()
    # The collector stays on, but the heap built so far (jedi's caches above all) is set
    # aside, so that a collection costs what the calls themselves leave behind.
    gc.collect()
    gc.freeze()
    try:
        budget = budget_s * 1e9
        while True:
            for i, fn in enumerate(sides):
                start = perf_counter_ns()
                fn()
                samples[i].append(perf_counter_ns() - start)
            done = len(samples[0])
            if done >= max_runs or (done >= runs and all(sum(s) >= budget for s in samples)):
                break
    finally:
        gc.unfreeze()
    return [statistics.median(s) for s in samples]


def format_ns(ns: Optional[float]) -> str:
    if ns is None:
        return "-"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def format_target(row: Row) -> str:
    if row.target is None:
        return "report"
    text = f"{row.target:.2f}".rstrip("0")
    return f"<= {text}0x" if text.endswith(".") else f"<= {text}x"


def table(rows: List[Row]) -> str:
    """The aligned table, with the notes as numbered lines below it."""
    header = ("workload", "ours", "floor", "ratio", "target", "verdict")
    lines = []
    notes = []
    for row in rows:
        mark = ""
        if row.note:
            notes.append(row.note)
            mark = f" [{len(notes)}]"
        lines.append(
            (
                row.workload,
                format_ns(row.ours_ns),
                format_ns(row.floor_ns),
                "-" if row.ratio is None else f"{row.ratio:.2f}x",
                format_target(row),
                row.verdict + mark,
            )
        )
    widths = [max(len(r[i]) for r in [header] + lines) for i in range(len(header))]

    def fmt(cells):
        first = cells[0].ljust(widths[0])
        rest = [c.rjust(w) for c, w in zip(cells[1:-1], widths[1:-1])]
        return "  ".join([first] + rest + [cells[-1]]).rstrip()

    out = [fmt(header), "  ".join("-" * w for w in widths)]
    out += [fmt(cells) for cells in lines]
    if notes:
        out.append("")
        out += [f"[{i}] {n}" for i, n in enumerate(notes, 1)]
    return "\n".join(out)


def write_results(path: str, rows: List[Row], size: str, elapsed_s: float) -> None:
    data = {
        "size": size,
        "elapsed_s": round(elapsed_s, 3),
        "python": sys.version.split()[0],
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "rows": [asdict(r) for r in rows],
    }
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=2)
        f.write("\n")
    os.replace(tmp, path)


@dataclass
class Workload:
    """A named measurement; `fn(cfg)` returns (ours_ns, floor_ns[, note[, detail]])."""

    fn: Callable
    group: str
    name: str
    target: Optional[float]

    def title(self, cfg) -> str:
        return self.name.format(**vars(cfg))

    def run(self, cfg) -> Row:
        title = self.title(cfg)
        try:
            got = self.fn(cfg)
        except Unavailable as exc:
            return skipped(title, self.group, self.target, str(exc))
        except Exception as exc:  # a broken workload must not hide the others
            return failed(title, self.group, self.target, exc)
        ours, floor, *extra = got
        row = Row(title, self.group, ours, floor, target=self.target)
        if extra:
            row.note = extra[0]
        if len(extra) > 1:
            row.detail = extra[1]
        return row.judge()


def registry(group: str):
    """A list of workloads and the decorator that appends to it."""
    workloads: List[Workload] = []

    def workload(name: str, target: Optional[float]):
        def add(fn):
            workloads.append(Workload(fn, group, name, target))
            return fn

        return add

    return workloads, workload
