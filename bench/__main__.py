"""`make bench`: every workload beside its floor, as a table and in bench/results.json.

`--size tiny` shrinks data and repeats so that the suite can run the harness in seconds.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass

from . import bridge, editor, services, store
from .harness import table, write_results

HERE = os.path.dirname(os.path.abspath(__file__))


@dataclass
class Config:
    size: str
    # Bridge: requests answered inside the send call, then through a listener thread; the
    # hand-off pairs get many short rounds, since their best is bimodal on two cores.
    inline_rounds: int
    inline_number: int
    handoff_blocks: int
    handoff_rounds: int
    handoff_number: int
    # Wire conversion.
    sheet: tuple
    frame: tuple
    array: int
    convert_rounds: int
    convert_number: int
    scaling: tuple
    scaling_budget: int
    scaling_rounds: int
    # Language services: median of at least `lsp_runs`, more while under `lsp_budget_s`.
    lsp_runs: int
    lsp_budget_s: float
    module_lines: int
    user_modules: int
    user_module_lines: int
    diag_lines: int
    startup_runs: int
    # Completion store: what the three first completions are made on.
    store_labels: tuple


SIZES = {
    "full": Config(
        size="full",
        inline_rounds=25,
        inline_number=2000,
        handoff_blocks=5,
        handoff_rounds=100,
        handoff_number=20,
        sheet=(200, 20),
        frame=(1000, 20),
        array=10_000,
        convert_rounds=25,
        convert_number=10,
        scaling=(1_000, 10_000, 100_000),
        scaling_budget=200_000,
        scaling_rounds=9,
        lsp_runs=9,
        lsp_budget_s=3.0,
        module_lines=300,
        user_modules=20,
        user_module_lines=200,
        diag_lines=2000,
        startup_runs=5,
        store_labels=tuple(label for label, _ in store.HEAVY),
    ),
    "tiny": Config(
        size="tiny",
        inline_rounds=2,
        inline_number=20,
        handoff_blocks=1,
        handoff_rounds=2,
        handoff_number=10,
        sheet=(10, 4),
        frame=(10, 4),
        array=100,
        convert_rounds=2,
        convert_number=2,
        scaling=(10, 100, 1_000),
        scaling_budget=1_000,
        scaling_rounds=2,
        lsp_runs=1,
        lsp_budget_s=0.0,
        module_lines=20,
        user_modules=2,
        user_module_lines=10,
        diag_lines=40,
        startup_runs=1,
        store_labels=tuple(label for label, _ in store.LIGHT),
    ),
}


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__)
    parser.add_argument("--size", choices=sorted(SIZES), default=os.environ.get("BENCH_SIZE", "full"))
    parser.add_argument("--out", default=os.path.join(HERE, "results.json"))
    parser.add_argument("--only", default="", help="run only workloads whose name holds this text")
    args = parser.parse_args(argv)
    cfg = SIZES[args.size]
    # The other workloads use a store of their own, without the warm-up's fill running beside
    # them; the store workloads set up their kernels themselves.
    store_dir = tempfile.mkdtemp(prefix="bench-store-")
    os.environ["QUORVEL_CACHE_DIR"] = store_dir
    os.environ["QUORVEL_COMPLETION_STORE"] = "nowarmup"

    start = time.perf_counter()
    rows = []
    for wl in bridge.WORKLOADS + services.WORKLOADS + editor.WORKLOADS + store.WORKLOADS:
        if args.only and args.only not in wl.title(cfg):
            continue
        began = time.perf_counter()
        rows.append(wl.run(cfg))
        took = time.perf_counter() - began
        print(f"  {rows[-1].verdict:>6} {took:6.1f} s  {rows[-1].workload}", file=sys.stderr, flush=True)
    elapsed = time.perf_counter() - start

    print(table(rows))
    print(f"\n{len(rows)} workloads in {elapsed:.1f} s ({args.size} size); results in {args.out}")
    write_results(args.out, rows, args.size, elapsed)
    shutil.rmtree(store_dir, ignore_errors=True)
    return 1 if any(r.verdict == "error" for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
