"""Interpreter exit while daemon threads are inside the bridge: requests running jedi or
waiting for it, warm-ups still running, diagnostics and module sync under way. Each case runs
in fresh interpreters, several times, and every run must exit cleanly."""
import os
import textwrap

import pytest

import support

# The sanitizer runtime misreads the stack of a thread parked mid-unwind (a false
# stack-buffer-underflow in its own sigaltstack handling), so these run in the plain build only.
pytestmark = pytest.mark.no_asan

PRELUDE = """
import random, threading, time
from quorvel_master.python_server import sensewell as sw
"""

# (script, runs): each script ends while its threads are busy, and the interpreter finalises
# under them.
CASES = {
    # Two threads per request method: one runs jedi, the others wait for the jedi lock.
    "requests_running_and_waiting_for_jedi": ("""
        bridge = sw.LSPBridge()
        code = "import os\\nos.path.join(\\nos."
        listed = "import os\\nx = os.pa"  # answered from a stored list, without jedi's lock
        def work(method, text, line, column):
            while True:
                getattr(bridge, method)(text, line, column)
        requests = (("get_completions", code, 3, 3), ("get_completions", listed, 2, 9),
                    ("get_hover", code, 2, 5), ("get_signature_help", code, 2, 13))
        for args in requests * 2:
            threading.Thread(target=work, args=args, daemon=True).start()
        time.sleep(0.3 + random.random() * 0.5)
    """, 10),
    # Two warm-ups at once, so one of them waits for the other's jedi run.
    "warmups_running": ("""
        bridges = [sw.LSPBridge(), sw.LSPBridge()]
        time.sleep(random.random() * 0.2)
    """, 6),
    # Diagnostics over clean text (pyflakes, then the import check with its find_spec calls
    # on missing and dotted names) and over broken text (the parser's error alone).
    "diagnostics_running": ("""
        bridge = sw.LSPBridge()
        bridge.sync_modules({"helper": "VALUE = 1\\n"})
        clean = ("import os, json.decoder, helper\\nimport no_such_module_xyz\\n"
                 "from email.mime import text\\nfrom .sub import y\\nx = undefined_name\\n"
                 "def f():\\n    import xml.dom.no_such_part\\n") * 20
        def work(code, module_name):
            while True:
                bridge.get_diagnostics(code, module_name)
        for args in ((clean, "mod"), (clean, None), ("def f(:\\n" * 50, "mod")) * 2:
            threading.Thread(target=work, args=args, daemon=True).start()
        time.sleep(0.2 + random.random() * 0.4)
    """, 8),
    # A failure in each handled step (pyflakes, the import check, a message's parse, the
    # whole request), each logged through a slow handler: threads stop in the failing calls
    # and in the logging that follows them.
    "diagnostics_failing_and_logging": ("""
        import logging, types
        class Slow(logging.Handler):
            def emit(self, record):
                time.sleep(0.001)
        sw.logger.addHandler(Slow())
        sw.logger.setLevel(logging.DEBUG)
        sw.logger.propagate = False
        def slow_failure(*args):
            time.sleep(0.001)
            raise ValueError("broken")
        sw.pyflakes_api.check = slow_failure
        sw.PYFLAKES_AVAILABLE = True
        sw.re = types.SimpleNamespace(match=slow_failure)
        bridge = sw.LSPBridge()
        bridge._can_resolve_import = slow_failure
        failing = sw.LSPBridge()
        failing._run_pyflakes = slow_failure
        def work():
            while True:
                bridge.get_diagnostics("import os\\n", "mod")
                bridge._parse_pyflakes_message("f.py:1:1: 'os' imported but unused", 4)
                failing.get_diagnostics("import os\\n", "mod")
        for _ in range(4):
            threading.Thread(target=work, daemon=True).start()
        time.sleep(0.2 + random.random() * 0.4)
    """, 8),
    # Module sync and deletes over the same names, so writes, replaces, stats and removes race
    # and some of them fail and are logged.
    "module_sync_running": ("""
        bridge = sw.LSPBridge()
        names = ["m%d" % i for i in range(6)]
        def sync(k):
            n = 0
            while True:
                n += 1
                bridge.sync_modules({name: "x = %d\\n" % n * 40 for name in names},
                                    {names[k]: "dirty = %d\\n" % n})
        def delete():
            while True:
                for name in names:
                    bridge.delete_module(name)
        for k in range(2):
            threading.Thread(target=sync, args=(k,), daemon=True).start()
            threading.Thread(target=delete, daemon=True).start()
        time.sleep(0.2 + random.random() * 0.4)
    """, 8),
}


@pytest.mark.parametrize("case", list(CASES))
def test_exit_with_daemon_threads_inside_the_bridge(case, tmp_path):
    body, runs = CASES[case][:2]
    # The runs' module directories go to tmp_path, where none may be left.
    failures = support.run_repeatedly(PRELUDE + textwrap.dedent(body), runs, timeout=120,
                                      TMPDIR=str(tmp_path))
    assert not failures, f"{len(failures)} of {runs} runs failed; first:\n{failures[0]}"
    assert os.listdir(tmp_path) == [], "a run left its module directory"
