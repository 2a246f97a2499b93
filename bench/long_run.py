"""A long mixed run of the language services: `python -m bench.long_run [requests]` makes
tens of thousands of requests (completions, hover, signature help, diagnostics) with module
syncs and deletes, names coming and going, and prints memory, open files and files on disk
after the warm-up and at the end."""

import ctypes
import gc
import os
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)


def figures(bridge, cache_home):
    with open("/proc/self/status") as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS"))
    pickles = sum(len(files) for _, _, files in os.walk(cache_home))
    return {
        "rss_kb": rss,
        "blocks": sys.getallocatedblocks(),
        "open_files": len(os.listdir("/proc/self/fd")),
        "module_files": len(os.listdir(bridge._temp_dir.name)),
        "parse_pickles": pickles,
    }


def main():
    total = int(sys.argv[1]) if len(sys.argv) > 1 else 30000
    cache_home = tempfile.mkdtemp()
    os.environ["XDG_CACHE_HOME"] = cache_home  # read when jedi is imported below
    from quorvel_master.python_server import sensewell as sw
    import logging
    logging.getLogger(sw.__name__).setLevel(logging.WARNING)
    bridge = sw.LSPBridge()
    errors = 0
    warmup = total // 10
    series = []  # resident MB after each tenth of the requests
    started = time.monotonic()
    for n in range(total):
        name, helper = f"mod_{n % 50}", f"helper_{n % 200}"
        modules = {helper: f"def scale(x, y={n}):\n    return x * y\n",
                   "shared": "import json\nVALUE = 1\n"}
        code = f"import {helper}, shared, os\n{helper}.scale(shared.VALUE, os.path.join("
        kind = n % 5
        if kind == 0:
            result = bridge.get_completions(code, 2, len(helper) + 1, name, modules)
        elif kind == 1:
            result = bridge.get_hover(code, 2, len(helper) + 3, name, modules)
        elif kind == 2:
            result = bridge.get_signature_help(code, 2, len(code.split("\n")[1]), name, modules)
        elif kind == 3:
            result = {"error": None}
            bridge.get_diagnostics(code, name)
        else:
            result = {"error": None}
            bridge.delete_module(helper)
        errors += result["error"] is not None
        if n + 1 == warmup:
            # The warm-up includes the completion store's fill, which loads numpy and pandas
            # once; the figures that must stay flat are taken after it.
            for thread in threading.enumerate():
                if thread.name == "LSP-quorvel-preload":
                    thread.join()
            gc.collect()
            after_warmup = figures(bridge, cache_home)
        if (n + 1) % warmup == 0:
            series.append(figures(bridge, cache_home)["rss_kb"] // 1024)
    gc.collect()
    end = figures(bridge, cache_home)
    # What of the resident size is memory freed but kept by the C allocator.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    trimmed = figures(bridge, cache_home)["rss_kb"] // 1024
    print(f"{total} requests in {time.monotonic() - started:.0f} s, {errors} errors")
    print("resident MB after each tenth:", " ".join(map(str, series)),
          f"({trimmed} once the C allocator returned what is free)")
    for key in end:
        print(f"{key}: {after_warmup[key]} after the warm-up ({warmup} requests), {end[key]} at the end")
    bridge.cleanup()


if __name__ == "__main__":
    main()
