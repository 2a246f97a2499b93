"""The benchmark harness at its tiny size: it runs, and what it writes is well formed.

Speed is never judged here; only the shape of the table and of results.json.
"""

import json
import math
import os
import subprocess
import sys
import types

import pytest

from bench import harness

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
COLUMNS = ("workload", "ours", "floor", "ratio", "target", "verdict")


@pytest.fixture(scope="module")
def tiny_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench") / "results.json"
    env = dict(os.environ, PYTHONPATH=ROOT)
    proc = subprocess.run(
        [sys.executable, "-m", "bench", "--size", "tiny", "--out", str(out)],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=240,
    )
    return proc, out


def test_runs_without_broken_workloads(tiny_run):
    proc, out = tiny_run
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert out.exists()


def test_results_are_well_formed(tiny_run):
    proc, out = tiny_run
    data = json.loads(out.read_text(encoding="utf-8"))
    assert data["size"] == "tiny" and data["elapsed_s"] > 0
    rows = data["rows"]
    names = [r["workload"] for r in rows]
    assert len(rows) >= 17 and len(set(names)) == len(names)
    for r in rows:
        assert r["group"] in ("bridge", "services")
        assert r["verdict"] in harness.VERDICTS, r
        assert r["verdict"] != "error", r
        if r["verdict"] == "skip":
            assert r["note"].startswith("not available yet: ") and r["ours_ns"] is None, r
            continue
        assert r["ours_ns"] > 0, r
        if r["verdict"] == "report":
            assert r["target"] is None, r
            continue
        assert r["floor_ns"] > 0, r
        assert math.isclose(r["ratio"], r["ours_ns"] / r["floor_ns"], rel_tol=1e-9), r
        assert (r["verdict"] == "ok") == (r["ratio"] <= r["target"]), r


def test_table_lists_every_row_aligned(tiny_run):
    proc, out = tiny_run
    rows = json.loads(out.read_text(encoding="utf-8"))["rows"]
    lines = proc.stdout.splitlines()
    header = lines[0].split()
    assert tuple(header) == COLUMNS
    body = lines[2 : 2 + len(rows)]
    for line, row in zip(body, rows):
        assert line.startswith(row["workload"]) and row["verdict"] in line
    # Right-aligned columns end at the same place on every line.
    ratio_end = lines[0].index("ratio") + len("ratio")
    assert all(line[ratio_end - 1] != " " for line in body), "\n".join(body)


def test_sides_alternate_and_keep_their_best():
    calls = []
    times = iter([5, 9, 3, 7, 4, 8])
    fake = harness._time_calls
    try:
        harness._time_calls = lambda fn, number: (fn(), next(times))[1]
        best = harness.best_alternating([lambda: calls.append("A"), lambda: calls.append("B")], 3, 1)
    finally:
        harness._time_calls = fake
    # One untimed warm-up call of each side, then A, B, A, B, A, B.
    assert calls == ["A", "B"] + ["A", "B"] * 3
    assert best == [3, 7]


def test_a_failing_workload_becomes_an_error_row_and_the_others_still_run():
    workloads, workload = harness.registry("bridge")

    @workload("broken {size}", 1.0)
    def broken(cfg):
        raise ValueError("boom")

    @workload("missing", 1.0)
    def missing(cfg):
        raise harness.Unavailable("proxwire.Thing")

    @workload("fine", 2.0)
    def fine(cfg):
        return 30.0, 10.0

    rows = [w.run(types.SimpleNamespace(size="tiny")) for w in workloads]
    assert [(r.workload, r.verdict) for r in rows] == [
        ("broken tiny", "error"), ("missing", "skip"), ("fine", "MISS")]
    assert rows[0].note == "ValueError: boom"
    assert rows[1].note == "not available yet: proxwire.Thing"
    assert rows[2].ratio == 3.0
